// The slice cache: one worker decodes through LoadPicture, the least recently used
// slices go when the budget is reached.
#include "imaging/slice_cache.h"

#include "imaging/errors.h"
#include "imaging/loader.h"
#include "platform/guarded.h"

#include <QFileInfo>
#include <QMetaObject>

#include <algorithm>
#include <cstring>
#include <vector>

namespace kelvo::imaging {

TPicture FramePicture(TPicture whole, int32_t frame) {
    if (whole.Frames() <= 1) return whole;
    const size_t bytes = whole.SamplesPerFrame() * SampleBytes(whole.SampleType());
    // Waits for this frame alone: the file's others may still be arriving.
    const uint8_t* from = whole.FrameData(frame);
    std::vector<uint8_t> values(from, from + bytes);
    const int32_t w = whole.Width(), h = whole.Height(), samples = whole.SamplesPerPixel(), bits = whole.BitsStored();
    const TSampleType type = whole.SampleType();
    // As the one frame of its picture, the frame's own rescale and window become the
    // picture's; frame 1's would give its values wrong.
    if (size_t(frame) < whole.FrameModality.size()) {
        const TPicture::TFrameModality own = whole.FrameModality[size_t(frame)];
        whole.Slope = own.Slope;
        whole.Intercept = own.Intercept;
        if (own.Window) whole.FileWindow = own.Window;
    }
    whole.FrameModality.clear();
    TPicture one = std::move(whole);
    one.Allocate(w, h, 1, samples, type, bits);
    std::memcpy(one.Data(), values.data(), bytes);
    one.ComputeRange();
    return one;
}

TPicture SlicePicture(const TSlice& slice) {
    TPicture whole = LoadPicture(slice.File);
    // Such a frame holds zeros, which are no values: showing them would be a wrong picture.
    if (whole.FrameFailed(slice.Frame)) {
        throw EImageError(TLoadError::Corrupt, QStringLiteral("Frame %1 of \"%2\" cannot be shown: %3")
                                                   .arg(slice.Frame + 1)
                                                   .arg(QFileInfo(slice.File).fileName(), whole.LateError()));
    }
    return FramePicture(std::move(whole), slice.Frame);
}

TSliceCache::TSliceCache(TStack stack, uint64_t budgetBytes)
    : stack_(std::move(stack)), budget_(budgetBytes), context_(std::make_unique<QObject>()),
      worker_([this] { Work(); }) {}

TSliceCache::~TSliceCache() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    worker_.join();
}

uint64_t TSliceCache::Budget() const {
    const std::lock_guard lock(mutex_);
    return budget_;
}

void TSliceCache::SetBudget(uint64_t bytes) {
    const std::lock_guard lock(mutex_);
    budget_ = bytes;
    Trim(budget_);
}

int32_t TSliceCache::Prefetch() const {
    const std::lock_guard lock(mutex_);
    return prefetch_;
}

void TSliceCache::SetPrefetch(int32_t slices) {
    const std::lock_guard lock(mutex_);
    prefetch_ = std::max(0, slices);
}

uint64_t TSliceCache::HeldBytes() const {
    const std::lock_guard lock(mutex_);
    return bytes_;
}

uint64_t TSliceCache::PeakBytes() const {
    const std::lock_guard lock(mutex_);
    return peak_;
}

int32_t TSliceCache::HeldCount() const {
    const std::lock_guard lock(mutex_);
    return int32_t(held_.size());
}

uint64_t TSliceCache::SliceBytesGuess() const {
    if (sliceBytes_ != 0) return sliceBytes_;
    const uint64_t samples = stack_.Photometric.startsWith(QLatin1String("MONOCHROME")) ? 1 : 3;
    return std::max<uint64_t>(1, uint64_t(stack_.Rows) * uint64_t(stack_.Columns) * samples * 2);
}

void TSliceCache::Touch(int32_t index) {
    auto it = held_.find(index);
    if (it != held_.end()) recent_.splice(recent_.begin(), recent_, it->second.second);
}

void TSliceCache::Trim(uint64_t budget) {
    while (bytes_ > budget && !recent_.empty()) {
        const auto it = held_.find(recent_.back());
        bytes_ -= it->second.first->DataBytes();
        held_.erase(it);
        recent_.pop_back();
    }
}

void TSliceCache::Keep(int32_t index, const TSlicePicture& picture) {
    sliceBytes_ = picture->DataBytes();
    if (held_.count(index) != 0 || picture->DataBytes() > budget_) return;
    Trim(budget_ - picture->DataBytes());
    recent_.push_front(index);
    held_.emplace(index, std::make_pair(picture, recent_.begin()));
    bytes_ += picture->DataBytes();
    peak_ = std::max(peak_, bytes_);
}

TSliceCache::TSlicePicture TSliceCache::Request(int32_t index) {
    if (index < 0 || index >= Count()) return nullptr;
    TSlicePicture held;
    {
        const std::lock_guard lock(mutex_);
        queue_.clear();
        if (auto it = held_.find(index); it != held_.end()) {
            held = it->second.first;
            Touch(index);
        } else {
            queue_.push_back(index);
        }
        // Neighbours, nearest first, as many as fit beside the slice asked for.
        const int64_t room = int64_t(budget_ / SliceBytesGuess()) - 1;
        const int32_t ahead = int32_t(std::clamp<int64_t>(room / 2, 0, prefetch_));
        for (int32_t d = 1; d <= ahead; ++d) {
            for (const int32_t n : {index + d, index - d}) {
                if (n >= 0 && n < Count() && held_.count(n) == 0) queue_.push_back(n);
            }
        }
    }
    wake_.notify_one();
    return held;
}

TSliceCache::TSlicePicture TSliceCache::Decode(int32_t index) {
    {
        const std::lock_guard lock(mutex_);
        if (auto it = held_.find(index); it != held_.end()) {
            Touch(index);
            return it->second.first;
        }
    }
    const TSlice& slice = stack_.Slices.at(size_t(index));
    auto picture = std::make_shared<const TPicture>(SlicePicture(slice));
    const std::lock_guard lock(mutex_);
    Keep(index, picture);
    return picture;
}

void TSliceCache::Work() {
    for (;;) {
        int32_t index = 0;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            index = queue_.front();
            queue_.pop_front();
            if (held_.count(index) != 0) continue;
        }
        const TSlice& slice = stack_.Slices[size_t(index)];
        TSlicePicture picture;
        QString failure;
        try {
            picture = std::make_shared<const TPicture>(SlicePicture(slice));
        } catch (const EImageError& e) {
            failure = e.Text();
        } catch (const std::bad_alloc&) {
            failure = LoadErrorText(TLoadError::TooLarge, slice.File);
        }
        if (picture) {
            const std::lock_guard lock(mutex_);
            Keep(index, picture);
        }
        // Delivered on the owner's thread; a cache destroyed meanwhile takes the post
        // with its context.
        QMetaObject::invokeMethod(
            context_.get(),
            [this, index, picture, failure] {
                Guarded("TSliceCache", [&] {
                    if (picture) {
                        if (auto handler = OnSliceReady) handler(index, picture);
                    } else if (auto handler = OnSliceFailed) {
                        handler(index, failure);
                    }
                });
            },
            Qt::QueuedConnection);
    }
}

} // namespace kelvo::imaging
