// Slices of a stack decoded on demand on a worker thread, with their neighbours fetched ahead, and kept under a memory budget.
//
// The window asks for the slice it shows (Request) and gets it at once when it is
// held, otherwise it is told on its own thread when it is ready (OnSliceReady). The
// cache holds decoded slices while their bytes fit the budget, dropping the least
// recently asked for first, so a stack of 2,000 slices costs what the budget allows
// and opens as fast as one of 20. A slice handed out stays valid as long as its
// holder keeps it, even after the cache has dropped it.
#pragma once

#include "imaging/picture.h"
#include "imaging/study_index.h"

#include <QObject>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace kelvo::imaging {

class TSliceCache {
public:
    using TSlicePicture = std::shared_ptr<const TPicture>;

    // Serves `stack`, decoding on a worker of its own. Its handlers run on the thread
    // that made the cache (its event loop must run).
    explicit TSliceCache(TStack stack, uint64_t budgetBytes = uint64_t(512) << 20);
    ~TSliceCache();
    TSliceCache(const TSliceCache&) = delete;
    TSliceCache& operator=(const TSliceCache&) = delete;

    const TStack& Stack() const { return stack_; }
    int32_t Count() const { return int32_t(stack_.Slices.size()); }

    // The most bytes of decoded slices the cache keeps; lowering it drops slices at once.
    uint64_t Budget() const;
    void SetBudget(uint64_t bytes);
    // How many slices on each side of the one asked for are decoded ahead (as the
    // budget allows).
    int32_t Prefetch() const;
    void SetPrefetch(int32_t slices);

    // The slice when held (it becomes the most recently used); otherwise null, and it
    // is decoded before anything else. Either way its neighbours are queued, and what
    // an earlier request queued and has not started is dropped.
    TSlicePicture Request(int32_t index);
    // The slice, decoded here when not held (for a caller that can wait); throws
    // EImageError as LoadPicture does.
    TSlicePicture Decode(int32_t index);

    // Bytes of the decoded slices held now, and the most they have been.
    uint64_t HeldBytes() const;
    uint64_t PeakBytes() const;
    int32_t HeldCount() const;

    // A slice is decoded (the one asked for or a neighbour); the picture comes along,
    // so a slice larger than the whole budget can still be shown.
    std::function<void(int32_t index, const TSlicePicture& picture)> OnSliceReady;
    // The slice could not be decoded: the loader's sentence.
    std::function<void(int32_t index, const QString& text)> OnSliceFailed;

private:
    void Work();
    // With the lock held: keeps `picture` as slice `index` when it fits the budget.
    void Keep(int32_t index, const TSlicePicture& picture);
    void Trim(uint64_t budget);
    void Touch(int32_t index);
    uint64_t SliceBytesGuess() const;

    const TStack stack_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<int32_t> queue_;
    std::unordered_map<int32_t, std::pair<TSlicePicture, std::list<int32_t>::iterator>> held_;
    std::list<int32_t> recent_; // most recently used first
    uint64_t budget_;
    uint64_t bytes_ = 0;
    uint64_t peak_ = 0;
    uint64_t sliceBytes_ = 0; // of the last slice decoded
    int32_t prefetch_ = 4;
    bool stopping_ = false;
    std::unique_ptr<QObject> context_;
    std::thread worker_;
};

// One frame of a decoded file as a picture of its own.
TPicture FramePicture(TPicture whole, int32_t frame);
// The slice's frame of its file; throws EImageError as LoadPicture does, and for a frame
// that came late and could not be read.
TPicture SlicePicture(const TSlice& slice);

} // namespace kelvo::imaging
