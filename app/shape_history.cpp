// Undo and redo of the canvas's shapes: the recorded steps and the diff that finds the run a change altered.
#include "app/shape_history.h"

#include <QUndoCommand>

#include <algorithm>
#include <memory>

namespace kelvo {

class TShapeChange : public QUndoCommand {
public:
    TShapeChange(TShapeHistory* history, size_t first, std::vector<TAnnotation> before, std::vector<TAnnotation> after,
                 uint64_t run)
        : history_(history), first_(first), before_(std::move(before)), after_(std::move(after)), run_(run) {
        setText(after_.size() > before_.size()   ? QStringLiteral("Add")
                : after_.size() < before_.size() ? QStringLiteral("Delete")
                                                 : QStringLiteral("Change"));
    }
    // The change is on the canvas already when it is pushed.
    void redo() override {
        if (done_) {
            history_->Apply(first_, before_.size(), after_);
        }
        done_ = true;
    }
    void undo() override { history_->Apply(first_, after_.size(), before_); }
    // Every change of a run shares one id; mergeWith tells the runs apart.
    int id() const override { return run_ == 0 ? -1 : kRunId; }
    bool mergeWith(const QUndoCommand* other) override {
        const auto* next = dynamic_cast<const TShapeChange*>(other);
        if (next == nullptr || next->run_ != run_ || next->first_ != first_ || next->before_.size() != after_.size() ||
            next->after_.size() != after_.size()) {
            return false;
        }
        after_ = next->after_;
        setObsolete(after_ == before_);
        return true;
    }

private:
    TShapeHistory* history_;
    size_t first_;
    std::vector<TAnnotation> before_;
    std::vector<TAnnotation> after_;
    uint64_t run_;
    bool done_ = false;
    static constexpr int kRunId = 1;
};

TShapeHistory::TShapeHistory(TMyCAD* canvas) : canvas_(canvas) { recorded_ = Current(); }

std::vector<TAnnotation> TShapeHistory::Current() const {
    std::vector<TAnnotation> out;
    out.reserve(size_t(canvas_->ShapeCount()));
    for (int32_t i = 0; i < canvas_->ShapeCount(); ++i) {
        if (std::optional<TAnnotation> a = ToAnnotation(*canvas_->Shape(i))) {
            out.push_back(std::move(*a));
        }
    }
    return out;
}

bool TShapeHistory::Record(uint64_t run) {
    std::vector<TAnnotation> now = Current();
    const std::vector<TAnnotation>& was = recorded_;
    size_t prefix = 0;
    while (prefix < was.size() && prefix < now.size() && was[prefix] == now[prefix]) ++prefix;
    size_t suffix = 0;
    while (suffix < was.size() - prefix && suffix < now.size() - prefix &&
           was[was.size() - 1 - suffix] == now[now.size() - 1 - suffix]) {
        ++suffix;
    }
    if (prefix == was.size() && prefix == now.size()) {
        return false;
    }
    std::vector<TAnnotation> before(was.begin() + ptrdiff_t(prefix), was.end() - ptrdiff_t(suffix));
    std::vector<TAnnotation> after(now.begin() + ptrdiff_t(prefix), now.end() - ptrdiff_t(suffix));
    recorded_ = std::move(now);
    stack_.push(new TShapeChange(this, prefix, std::move(before), std::move(after), run));
    return true;
}

void TShapeHistory::Reset() {
    stack_.clear();
    recorded_ = Current();
}

void TShapeHistory::Apply(size_t first, size_t count, const std::vector<TAnnotation>& shapes) {
    std::vector<std::unique_ptr<TMyShape>> made;
    made.reserve(shapes.size());
    for (const TAnnotation& a : shapes) {
        made.push_back(MakeShape(a));
    }
    canvas_->ReplaceShapes(int32_t(first), int32_t(count), std::move(made));
    recorded_.erase(recorded_.begin() + ptrdiff_t(first), recorded_.begin() + ptrdiff_t(first + count));
    recorded_.insert(recorded_.begin() + ptrdiff_t(first), shapes.begin(), shapes.end());
}

} // namespace kelvo
