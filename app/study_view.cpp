// Studies in the main window: the background index, the series shown as a stack, and the shapes bound to its slices.
#include "app/study_view.h"

#include "app/main_window.h"
#include "app/series_browser.h"
#include "canvas/annotations.h"
#include "imaging/errors.h"
#include "platform/guarded.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QShortcut>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>

namespace kelvo {
namespace {

QString PlaceKey(const QString& uid, int32_t frame) { return uid + QLatin1Char('#') + QString::number(frame); }

int32_t SliceBudgetMiB() {
    const QSettings settings(QStringLiteral("kelvo"), QStringLiteral("kelvo"));
    bool ok = false;
    const int mib = settings.value(QLatin1String(kSliceBudgetKey), kDefaultSliceBudgetMiB).toInt(&ok);
    return ok && mib > 0 ? mib : kDefaultSliceBudgetMiB;
}

uint64_t SliceBudgetBytes() { return uint64_t(SliceBudgetMiB()) << 20; }

} // namespace

bool TStudyView::IsStudyPath(const QString& path) {
    const QFileInfo info(path);
    return info.isDir() || info.fileName().compare(QLatin1String("DICOMDIR"), Qt::CaseInsensitive) == 0;
}

TStudyView::TStudyView(TForm1& form) : QObject(&form), form_(form) {
    // Beside "Open…", in the row the window's buttons share.
    OpenFolderBtn = new QPushButton(QStringLiteral("Open folder…"), &form);
    OpenFolderBtn->setObjectName(QStringLiteral("OpenFolderBtn"));
    OpenFolderBtn->setGeometry(270, 576, 78, 33);
    OpenFolderBtn->setToolTip(QStringLiteral("Open a folder of DICOM files or a DICOMDIR (Ctrl+Shift+O)"));
    OpenFolderBtn->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    connect(OpenFolderBtn, &QPushButton::clicked, this, [this] {
        Guarded("open folder", [&] {
            const QString dir =
                FolderDialog ? FolderDialog()
                             : QFileDialog::getExistingDirectory(&form_, QStringLiteral("Open folder"),
                                                                 QFileInfo(form_.OpenedFile()).path());
            if (!dir.isEmpty()) Open(dir);
        });
    });

    // In the zoom and style frame's free foot.
    SliceSlider = new QSlider(Qt::Horizontal, form.Panel1);
    SliceSlider->setObjectName(QStringLiteral("SliceSlider"));
    SliceSlider->setGeometry(16, 503, 97, 20);
    SliceSlider->setFocusPolicy(Qt::NoFocus);
    SliceSlider->hide();
    connect(SliceSlider, &QSlider::valueChanged, this, [this](int value) {
        if (value != wanted_) Guarded("slice", [&] { ShowSlice(value); });
    });

    Browser = new TSeriesBrowser(&form);
    Browser->setWindowFlag(Qt::Tool);
    Browser->setWindowTitle(QStringLiteral("Series"));
    Browser->resize(300, 460);
    Browser->OnSeriesChosen = [this](const QString& uid, int32_t stack) { (void)ShowStack(uid, stack); };
    Browser->OnCancel = [this] { Cancel(); };
    Browser->OnDetails = [this] { Details(); };
    {
        const QSignalBlocker quiet(Browser->BudgetBox);
        Browser->BudgetBox->setValue(SliceBudgetMiB());
    }
    // Kept for the next start; the series shown gives back what it holds beyond it now.
    Browser->OnBudgetChanged = [this](int32_t mib) {
        QSettings(QStringLiteral("kelvo"), QStringLiteral("kelvo")).setValue(QLatin1String(kSliceBudgetKey), mib);
        if (cache_) cache_->SetBudget(uint64_t(mib) << 20);
    };

    const std::pair<Qt::Key, int> keys[] = {{Qt::Key_Home, -1}, {Qt::Key_End, 1}};
    for (const auto& [key, end] : keys) {
        auto* shortcut = new QShortcut(QKeySequence(key), &form);
        shortcut->setObjectName(end < 0 ? QStringLiteral("FirstSliceKey") : QStringLiteral("LastSliceKey"));
        connect(shortcut, &QShortcut::activated, this, [this, end = end] {
            if (Active()) Guarded("slice", [&] { ShowSlice(end < 0 ? 0 : SliceCount() - 1); });
        });
    }
    // The plain wheel steps through a series wherever it turns over the picture's box;
    // with a modifier, or over a single picture, it keeps its old work.
    form.MyCAD1->installEventFilter(this);
    form.ScrollBox1->viewport()->installEventFilter(this);

    scan_.OnProgress = [this](const imaging::TIndexProgress& p) { Browser->ShowProgress(p); };
    scan_.OnSnapshot = [this](const imaging::TStudyIndex& index) { Indexed(index, false); };
    scan_.OnFinished = [this](const imaging::TStudyIndex& index) { Indexed(index, true); };
}

TStudyView::~TStudyView() = default;

bool TStudyView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Wheel || !Active()) return QObject::eventFilter(watched, event);
    auto* wheel = static_cast<QWheelEvent*>(event);
    if (wheel->modifiers() != Qt::NoModifier) return QObject::eventFilter(watched, event);
    const int delta = wheel->angleDelta().y();
    if (delta != 0) Guarded("slice", [&] { Step(delta < 0 ? 1 : -1); });
    wheel->accept();
    return true;
}

int32_t TStudyView::SliceCount() const { return cache_ ? cache_->Count() : 0; }

void TStudyView::Open(const QString& path) {
    path_ = QDir::cleanPath(path);
    adopted_ = false;
    // The study shown stays listed until the new one can be shown.
    Browser->ShowProgress({});
    if (!Browser->isVisible()) {
        Browser->move(form_.frameGeometry().right() + 8, form_.frameGeometry().top());
        Browser->show();
    }
    scan_.Start(path_, IndexOptions);
}

void TStudyView::Cancel() { scan_.Cancel(); }

void TStudyView::Leave() {
    scan_.Cancel();
    cache_.reset();
    index_ = {};
    places_.clear();
    seriesUid_.clear();
    stack_ = 0;
    wanted_ = shown_ = selectAfter_ = -1;
    otherSlices_.Clear();
    ShowControls(false);
    Browser->Clear();
    Browser->hide();
}

void TStudyView::ShowControls(bool shown) {
    SliceSlider->setVisible(shown);
    if (!shown) form_.FrameLabel->setFixedWidth(form_.Panel1->width());
}

void TStudyView::Indexed(const imaging::TStudyIndex& index, bool finished) {
    if (adopting_) {
        // The user is being asked about the shapes shown: the run's end waits for the answer.
        if (finished) lateFinal_ = std::make_unique<imaging::TStudyIndex>(index);
        return;
    }
    const bool cancelled = index.Problem == imaging::TStudyProblem::Cancelled;
    if (!adopted_) {
        if (index.FirstSeries() == nullptr || cancelled) {
            // Nothing to show (yet): at the end, the reason, unless the user cancelled.
            if (!finished) return;
            if (!cancelled) Tell(index.ProblemText.isEmpty() ? SummaryText(index) : index.ProblemText);
            // The run is over: the study shown is the window's again, and its rows choose
            // its series.
            adopted_ = Active();
            KeepShownStudy();
            return;
        }
        if (!Adopt(index)) {
            scan_.Cancel();
            lateFinal_.reset();
            KeepShownStudy();
            return;
        }
    }
    if (finished) {
        Browser->Finished(cancelled ? SummaryText(index) + QStringLiteral(" (indexing cancelled)") : SummaryText(index),
                          !index.Skipped.empty());
    }
    index_ = index;
    places_.clear();
    for (const imaging::TPatient& p : index_.Patients) {
        for (const imaging::TStudy& s : p.Studies) {
            for (const imaging::TSeries& series : s.Series) {
                for (size_t k = 0; k < series.Stacks.size(); ++k) {
                    const std::vector<imaging::TSlice>& slices = series.Stacks[k].Slices;
                    for (size_t i = 0; i < slices.size(); ++i) {
                        places_.insert(PlaceKey(slices[i].SopInstanceUid, slices[i].Frame),
                                       TPlace{series.Uid, int32_t(k), int32_t(i)});
                    }
                }
            }
        }
    }
    Browser->ShowIndex(index_);
    // The stack shown may have grown (or moved among its series' stacks, which go by
    // size) since it was first shown: it stays at the slice on screen.
    const imaging::TSlice was = cache_->Stack().Slices.at(size_t(std::max(0, shown_)));
    const TPlace at = places_.value(PlaceKey(was.SopInstanceUid, was.Frame));
    if (const imaging::TSeries* series = FindSeries(seriesUid_);
        series != nullptr && at.Series == seriesUid_ &&
        (at.Stack != stack_ || int32_t(series->Stacks.at(size_t(at.Stack)).Slices.size()) != SliceCount())) {
        UseSeries(*series, at.Stack);
        shown_ = -1;
        ShowSlice(at.Slice);
    }
    Browser->MarkSeries(seriesUid_, stack_);
    QueueThumbnails();
    if (lateFinal_) {
        const std::unique_ptr<imaging::TStudyIndex> final = std::move(lateFinal_);
        Indexed(*final, true);
    }
}

void TStudyView::KeepShownStudy() {
    if (!Active()) {
        Browser->hide();
        return;
    }
    Browser->ShowIndex(index_);
    Browser->Finished(SummaryText(index_), !index_.Skipped.empty());
}

bool TStudyView::Adopt(const imaging::TStudyIndex& index) {
    adopting_ = true;
    bool done = false;
    Guarded("open folder", [&] {
        const imaging::TSeries& series = *index.FirstSeries();
        auto cache = std::make_unique<imaging::TSliceCache>(series.Stacks.front(), SliceBudgetBytes());
        imaging::TSliceCache::TSlicePicture first;
        try {
            first = cache->Decode(0);
        } catch (const imaging::EImageError& e) {
            Tell(e.Text());
            return;
        }
        const imaging::TSlice& slice = cache->Stack().Slices.front();
        // A DICOMDIR stands for its folder: either way of opening finds the same shapes.
        const QFileInfo opened(path_);
        const QString study = opened.isDir() ? path_ : opened.path();
        if (!form_.AdoptPicture(study, std::const_pointer_cast<imaging::TPicture>(first),
                                TImageRef{slice.SopInstanceUid, slice.Frame})) {
            return;
        }
        adopted_ = true;
        shownPath_ = path_;
        Browser->Clear();
        thumbnailsTried_.clear();
        thumbnailsToMake_.clear();
        UseSeries(series, 0, std::move(cache));
        wanted_ = shown_ = 0;
        seriesWindow_ = true;
        (void)cache_->Request(0);
        done = true;
    });
    adopting_ = false;
    return done;
}

void TStudyView::UseSeries(const imaging::TSeries& series, int32_t stack, std::unique_ptr<imaging::TSliceCache> cache) {
    seriesUid_ = series.Uid;
    stack_ = stack;
    cache_ = cache ? std::move(cache)
                   : std::make_unique<imaging::TSliceCache>(series.Stacks.at(size_t(stack)), SliceBudgetBytes());
    cache_->OnSliceReady = [this](int32_t index, const imaging::TSliceCache::TSlicePicture& picture) {
        if (index == wanted_ && index != shown_) Apply(index, picture);
    };
    cache_->OnSliceFailed = [this](int32_t index, const QString& text) {
        if (index == wanted_) SliceFailed(index, text);
    };
    otherSlices_.Clear();
    const QSignalBlocker quiet(SliceSlider);
    SliceSlider->setRange(0, std::max(0, cache_->Count() - 1));
    SliceSlider->setPageStep(std::max(1, cache_->Count() / 10));
    ShowControls(true);
    form_.FrameLabel->setFixedWidth(form_.ScrollBox1->x() - form_.FrameLabel->x());
}

const imaging::TSeries* TStudyView::FindSeries(const QString& uid) const {
    for (const imaging::TPatient& p : index_.Patients) {
        for (const imaging::TStudy& s : p.Studies) {
            for (const imaging::TSeries& series : s.Series) {
                if (series.Uid == uid) return &series;
            }
        }
    }
    return nullptr;
}

bool TStudyView::ShowStack(const QString& seriesUid, int32_t stack, int32_t slice) {
    const imaging::TSeries* series = FindSeries(seriesUid);
    if (series == nullptr || !adopted_ || stack < 0 || size_t(stack) >= series->Stacks.size()) return false;
    if (seriesUid != seriesUid_ || stack != stack_) {
        UseSeries(*series, stack);
        // Another series, or pictures of another kind, open in their own window.
        shown_ = -1;
        seriesWindow_ = false;
    }
    Browser->MarkSeries(seriesUid_, stack_);
    ShowSlice(slice);
    return true;
}

void TStudyView::ShowSlice(int32_t index) {
    // A shape being drawn or dragged belongs to the slice it was begun on.
    if (!cache_ || cache_->Count() == 0 || form_.MyCAD1->DragState() != DragNone) return;
    wanted_ = std::clamp(index, 0, cache_->Count() - 1);
    {
        const QSignalBlocker quiet(SliceSlider);
        SliceSlider->setValue(wanted_);
    }
    if (wanted_ == shown_) {
        (void)cache_->Request(wanted_);
        return;
    }
    if (const imaging::TSliceCache::TSlicePicture held = cache_->Request(wanted_)) {
        Apply(wanted_, held);
    } else {
        // The number moves at once; the picture follows when decoded.
        form_.FrameLabel->setText(SliceText());
    }
}

void TStudyView::Apply(int32_t index, const imaging::TSliceCache::TSlicePicture& picture) {
    TMyCAD& cad = *form_.MyCAD1;
    const imaging::TSlice& slice = cache_->Stack().Slices.at(size_t(index));
    const imaging::TWindow window = cad.Window();
    const bool keepWindow = seriesWindow_;
    cad.SetShownImage(slice.SopInstanceUid, slice.Frame);
    if (!cad.SetPicture(picture)) {
        SliceFailed(index, QStringLiteral("not enough memory to show it"));
        return;
    }
    if (keepWindow) cad.SetWindow(window);
    seriesWindow_ = true;
    shown_ = index;
    if (selectAfter_ >= 0) {
        cad.SelectShape(std::exchange(selectAfter_, -1));
        form_.RefreshMeasurements();
    }
    form_.FrameLabel->setText(SliceText());
}

void TStudyView::SliceFailed(int32_t index, const QString& text) {
    form_.FrameLabel->setText(QStringLiteral("slice %1 / %2 cannot be shown").arg(index + 1).arg(SliceCount()));
    form_.FrameLabel->setToolTip(text);
    // Told as a single file's frame is: the slice before stays on screen, which the
    // label alone would leave the user to take for the one asked for.
    Tell(text);
}

QString TStudyView::SliceText() const {
    if (!cache_ || wanted_ < 0) return QString();
    QString text = QStringLiteral("slice %1 / %2").arg(wanted_ + 1).arg(cache_->Count());
    const imaging::TSlice& slice = cache_->Stack().Slices.at(size_t(wanted_));
    if (slice.Position) text += QStringLiteral(" · %1 mm").arg(*slice.Position, 0, 'f', 1);
    return text;
}

QString TStudyView::PlaceOf(const TMeasurement& m) const {
    if (m.SopInstanceUid.isEmpty() || !Active()) return QString();
    const auto it = places_.constFind(PlaceKey(m.SopInstanceUid, m.Frame));
    if (it == places_.constEnd()) return QStringLiteral("image not in this study");
    if (it->Series == seriesUid_ && it->Stack == stack_) return QStringLiteral("slice %1").arg(it->Slice + 1);
    const imaging::TSeries* series = FindSeries(it->Series);
    const QString stack = series != nullptr && series->Stacks.size() > 1
                              ? QStringLiteral(" (%1 of %2)").arg(it->Stack + 1).arg(series->Stacks.size())
                              : QString();
    return QStringLiteral("series %1%2 slice %3")
        .arg(series != nullptr && series->Number ? QString::number(*series->Number) : QStringLiteral("?"), stack)
        .arg(it->Slice + 1);
}

void TStudyView::PlaceMeasurements(std::vector<TMeasurement>& list) {
    if (!Active()) return;
    TMyCAD& cad = *form_.MyCAD1;
    for (size_t i = 0; i < list.size() && int32_t(i) < cad.ShapeCount(); ++i) {
        const TMyShape& shape = *cad.Shape(int32_t(i));
        TMeasurement& m = list[i];
        if (shape.ImageUid.isEmpty()) continue;
        m.SopInstanceUid = shape.ImageUid;
        m.Frame = shape.ImageFrame;
        if (cad.OnView(shape)) continue;
        // The statistics were taken on the slice shown; they belong to their own.
        if (!m.Stats) continue;
        m.Stats.reset();
        const auto place = places_.constFind(PlaceKey(shape.ImageUid, shape.ImageFrame));
        if (place == places_.constEnd() || place->Series != seriesUid_ || place->Stack != stack_) continue;
        const imaging::TSlice& slice = cache_->Stack().Slices.at(size_t(place->Slice));
        m.File = QFileInfo(slice.File).fileName();
        TMeasureContext context;
        try {
            context.Picture = cache_->Decode(place->Slice);
        } catch (const imaging::EImageError&) {
            continue;
        }
        context.Cache = &otherSlices_;
        context.Spacing = m.Spacing;
        MeasureRegion(shape, m, context);
    }
}

bool TStudyView::ShowShapeImage(int32_t shapeIndex) {
    const TMyShape* shape = form_.MyCAD1->Shape(shapeIndex);
    if (shape == nullptr || !Active() || form_.MyCAD1->OnView(*shape)) return false;
    const auto place = places_.constFind(PlaceKey(shape->ImageUid, shape->ImageFrame));
    if (place == places_.constEnd()) return false;
    selectAfter_ = shapeIndex;
    return ShowStack(place->Series, place->Stack, place->Slice);
}

void TStudyView::Tell(const QString& message) {
    if (form_.ShowError) {
        form_.ShowError(message);
    } else {
        QMessageBox::warning(&form_, QStringLiteral("Open folder"), message);
    }
}

void TStudyView::Details() {
    Guarded("details", [&] {
        QString list;
        for (const imaging::TSkippedFile& skipped : index_.Skipped) {
            list += QStringLiteral("%1: %2\n").arg(QDir(shownPath_).relativeFilePath(skipped.Path), SkipReasonText(skipped));
        }
        const QString summary = SummaryText(index_);
        if (ShowDetails) {
            ShowDetails(summary, list);
            return;
        }
        QMessageBox box(QMessageBox::Information, QStringLiteral("Files skipped"), summary, QMessageBox::Ok, &form_);
        box.setInformativeText(QStringLiteral("These files gave no image:"));
        box.setDetailedText(list);
        box.exec();
    });
}

void TStudyView::QueueThumbnails() {
    const bool idle = thumbnailsToMake_.empty();
    for (const imaging::TPatient& p : index_.Patients) {
        for (const imaging::TStudy& s : p.Studies) {
            for (const imaging::TSeries& series : s.Series) {
                for (const imaging::TStack& stack : series.Stacks) {
                    const QString key = StackKey(series.Uid, stack);
                    if (!thumbnailsTried_.contains(key)) {
                        thumbnailsTried_.insert(key, true);
                        thumbnailsToMake_.push_back({series.Uid, key});
                    }
                }
            }
        }
    }
    // One a turn of the event loop, so that the window answers while they are made.
    if (idle && !thumbnailsToMake_.empty()) QTimer::singleShot(0, this, [this] { MakeThumbnail(); });
}

void TStudyView::MakeThumbnail() {
    if (thumbnailsToMake_.empty()) return;
    const auto [uid, key] = thumbnailsToMake_.front();
    thumbnailsToMake_.erase(thumbnailsToMake_.begin());
    Guarded("thumbnail", [&] {
        const imaging::TSeries* series = FindSeries(uid);
        if (series == nullptr) return;
        const auto stack = std::find_if(series->Stacks.begin(), series->Stacks.end(),
                                        [&](const imaging::TStack& s) { return StackKey(uid, s) == key; });
        if (stack == series->Stacks.end() || stack->Slices.empty()) return;
        const imaging::TSlice& middle = stack->Slices[stack->Slices.size() / 2];
        try {
            const imaging::TPicture picture = imaging::SlicePicture(middle);
            const QImage image = picture.Render(0, picture.DefaultWindow(0));
            Browser->SetThumbnail(key, QIcon(QPixmap::fromImage(image.scaled(TSeriesBrowser::kThumbnailSide,
                                                                              TSeriesBrowser::kThumbnailSide,
                                                                              Qt::KeepAspectRatio,
                                                                              Qt::SmoothTransformation))));
        } catch (const imaging::EImageError&) {
            // The row stays without a picture; the slice tells why when it is shown.
        }
    });
    if (!thumbnailsToMake_.empty()) QTimer::singleShot(0, this, [this] { MakeThumbnail(); });
}

} // namespace kelvo
