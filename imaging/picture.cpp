// Pictures from files: stored and modality values, their range and default window, and their rendering through a window.
#include "imaging/picture.h"

#include "imaging/errors.h"
#include "imaging/palette.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <utility>

namespace kelvo::imaging {

size_t SampleBytes(TSampleType type) {
    switch (type) {
    case TSampleType::U8:
    case TSampleType::S8:
        return 1;
    case TSampleType::U16:
    case TSampleType::S16:
        return 2;
    case TSampleType::U32:
    case TSampleType::S32:
        return 4;
    }
    return 1;
}

std::optional<uint64_t> CheckedProduct(std::initializer_list<uint64_t> factors) {
    uint64_t product = 1;
    for (const uint64_t f : factors) {
        if (__builtin_mul_overflow(product, f, &product)) {
            return std::nullopt;
        }
    }
    return product;
}

namespace {

// One frame's smallest and largest stored value, padding left out (Lo > Hi: nothing
// but padding) and in (All).
struct TFrameRange {
    int64_t Lo = std::numeric_limits<int64_t>::max();
    int64_t Hi = std::numeric_limits<int64_t>::min();
    int64_t AllLo = std::numeric_limits<int64_t>::max();
    int64_t AllHi = std::numeric_limits<int64_t>::min();
};

// What turns the frames' ranges into the picture's: its description as the loader
// left it, copied so that a worker can finish the range on its own.
struct TRangeRule {
    TSampleType Type = TSampleType::U8;
    size_t PerFrame = 0;
    bool Colour = false;
    std::optional<TPicture::TPadding> Padding; // monochrome only
    std::shared_ptr<const TPicture::TModalityLut> Lut;
    double Slope = 1.0;
    double Intercept = 0.0;
    // The rescales of the frames that have their own, from the first on.
    std::vector<std::pair<double, double>> Own;

    // TPicture::ModalityOf for this description.
    double Value(size_t frame, int64_t stored) const {
        if (Colour) return double(stored);
        if (Lut != nullptr) return Lut->ValueOf(stored);
        const auto [slope, intercept] = frame < Own.size() ? Own[frame] : std::pair(Slope, Intercept);
        return double(stored) * slope + intercept;
    }
};

// Blocks of a fixed count let the compiler keep the running minimum and maximum in
// vector registers; the tail goes one by one.
constexpr size_t kBlock = 64;

template <typename T>
TFrameRange ScanValues(const T* v, size_t n, const std::optional<TPicture::TPadding>& padding) {
    constexpr T top = std::numeric_limits<T>::max();
    constexpr T bottom = std::numeric_limits<T>::lowest();
    TFrameRange r;
    T allLo = top;
    T allHi = bottom;
    size_t i = 0;
    if (!padding || padding->To < int64_t(bottom) || padding->From > int64_t(top)) {
        for (; i + kBlock <= n; i += kBlock) {
            for (size_t k = 0; k < kBlock; ++k) {
                allLo = std::min(allLo, v[i + k]);
                allHi = std::max(allHi, v[i + k]);
            }
        }
        for (; i < n; ++i) {
            allLo = std::min(allLo, v[i]);
            allHi = std::max(allHi, v[i]);
        }
        if (n > 0) r = {allLo, allHi, allLo, allHi};
        return r;
    }
    // The padding's ends within what T holds: the same values fall between them.
    const T from = T(std::max(padding->From, int64_t(bottom)));
    const T to = T(std::min(padding->To, int64_t(top)));
    T lo = top;
    T hi = bottom;
    const auto step = [&](T x) {
        const bool padded = x >= from && x <= to;
        lo = std::min(lo, padded ? top : x);
        hi = std::max(hi, padded ? bottom : x);
        allLo = std::min(allLo, x);
        allHi = std::max(allHi, x);
    };
    for (; i + kBlock <= n; i += kBlock) {
        for (size_t k = 0; k < kBlock; ++k) step(v[i + k]);
    }
    for (; i < n; ++i) step(v[i]);
    if (n == 0) return r;
    r.AllLo = allLo;
    r.AllHi = allHi;
    // A value outside the padding leaves lo <= it <= hi; none leaves lo above hi.
    if (lo <= hi) {
        r.Lo = lo;
        r.Hi = hi;
    }
    return r;
}

TFrameRange ScanFrame(const TRangeRule& rule, const uint8_t* values) {
    const std::optional<TPicture::TPadding>& padding = rule.Padding;
    const size_t n = rule.PerFrame;
    switch (rule.Type) {
    case TSampleType::U8:
        return ScanValues(values, n, padding);
    case TSampleType::S8:
        return ScanValues(reinterpret_cast<const int8_t*>(values), n, padding);
    case TSampleType::U16:
        return ScanValues(reinterpret_cast<const uint16_t*>(values), n, padding);
    case TSampleType::S16:
        return ScanValues(reinterpret_cast<const int16_t*>(values), n, padding);
    case TSampleType::U32:
        return ScanValues(reinterpret_cast<const uint32_t*>(values), n, padding);
    case TSampleType::S32:
        return ScanValues(reinterpret_cast<const int32_t*>(values), n, padding);
    }
    return {};
}

// The picture's smallest and largest modality value from its frames' ranges. Frames
// with a rescale of their own count one by one; the rest, which share Slope and
// Intercept, as one run (the last, from frame `own` on). Padding is left out unless
// that is all there is.
std::pair<double, double> MergeRanges(const TRangeRule& rule, const std::vector<TFrameRange>& frames) {
    const size_t own = std::min(rule.Own.size(), frames.size());
    const size_t runs = own + (own < frames.size() ? 1 : 0);
    std::vector<TFrameRange> ranges(frames.begin(), frames.begin() + ptrdiff_t(own));
    if (own < frames.size()) {
        TFrameRange last;
        for (size_t f = own; f < frames.size(); ++f) {
            last.Lo = std::min(last.Lo, frames[f].Lo);
            last.Hi = std::max(last.Hi, frames[f].Hi);
            last.AllLo = std::min(last.AllLo, frames[f].AllLo);
            last.AllHi = std::max(last.AllHi, frames[f].AllHi);
        }
        ranges.push_back(last);
    }
    const bool any = std::any_of(ranges.begin(), ranges.end(), [](const TFrameRange& r) { return r.Lo <= r.Hi; });
    const auto lowOf = [any](const TFrameRange& r) { return any ? r.Lo : r.AllLo; };
    const auto highOf = [any](const TFrameRange& r) { return any ? r.Hi : r.AllHi; };
    if (own > 0) {
        // A negative slope turns the order round.
        double lo = std::numeric_limits<double>::infinity();
        double hi = -lo;
        for (size_t r = 0; r < runs; ++r) {
            if (lowOf(ranges[r]) > highOf(ranges[r])) continue; // all padding
            for (const double v : {rule.Value(r, lowOf(ranges[r])), rule.Value(r, highOf(ranges[r]))}) {
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
        }
        return {lo, hi};
    }
    const int64_t low = lowOf(ranges[0]);
    const int64_t high = highOf(ranges[0]);
    if (!rule.Colour && rule.Lut != nullptr) {
        // A table need not rise: its values between those of the smallest and the
        // largest stored value.
        double lo = std::numeric_limits<double>::infinity();
        double hi = -lo;
        const int64_t last = int64_t(rule.Lut->Values.size()) - 1;
        const int64_t from = std::clamp<int64_t>(low - rule.Lut->First, 0, last);
        const int64_t to = std::clamp<int64_t>(high - rule.Lut->First, 0, last);
        for (int64_t i = from; i <= to; ++i) {
            lo = std::min(lo, rule.Lut->Values[size_t(i)]);
            hi = std::max(hi, rule.Lut->Values[size_t(i)]);
        }
        return {lo, hi};
    }
    // A negative slope turns the order round.
    const double a = rule.Value(0, low);
    const double b = rule.Value(0, high);
    return {std::min(a, b), std::max(a, b)};
}

struct TFreeBytes {
    void operator()(uint8_t* p) const { std::free(p); }
};

} // namespace

// How readers and the worker share a store: the worker alone calls Fill and writes a
// late frame's values and range, then sets its Ready flag (release, under Lock); a
// reader touches a frame only after seeing its flag (acquire), so it sees the values.
// Min, Max and Error are written before AllIn is set the same way. Wanted and Stop are
// only touched under Lock. The thread's start orders everything the loader wrote
// before it, and the store's end joins the worker before the values go.
struct TFrameStore::TImpl {
    ~TImpl() {
        if (Worker.joinable()) {
            {
                const std::lock_guard<std::mutex> guard(Lock);
                Stop = true;
            }
            Worker.join();
        }
    }

    uint8_t* Frame(int32_t frame) const { return Bytes.get() + size_t(frame) * FrameBytes; }

    void WaitFor(int32_t frame) {
        if (Ready == nullptr || Ready[size_t(frame)].load(std::memory_order_acquire)) return;
        std::unique_lock<std::mutex> lock(Lock);
        Wanted.push_back(frame);
        Arrived.wait(lock, [&] { return Ready[size_t(frame)].load(std::memory_order_acquire); });
    }

    void WaitAll() {
        if (AllIn.load(std::memory_order_acquire)) return;
        std::unique_lock<std::mutex> lock(Lock);
        Arrived.wait(lock, [&] { return AllIn.load(std::memory_order_acquire); });
    }

    // The worker: the frame asked for first, else the next in order.
    void Run(int32_t next) {
        QString error;
        for (;;) {
            int32_t frame = -1;
            {
                const std::lock_guard<std::mutex> guard(Lock);
                if (Stop) break;
                while (frame < 0 && !Wanted.empty()) {
                    const int32_t wanted = Wanted.back();
                    Wanted.pop_back();
                    if (!Ready[size_t(wanted)].load(std::memory_order_relaxed)) frame = wanted;
                }
                while (frame < 0 && next < Frames && Ready[size_t(next)].load(std::memory_order_relaxed)) ++next;
                if (frame < 0 && next == Frames) break;
                if (frame < 0) frame = next;
            }
            if (error.isEmpty()) {
                try {
                    Fill(frame, Frame(frame));
                } catch (const EImageError& e) {
                    error = e.Text();
                } catch (const std::exception& e) {
                    error = QString::fromLocal8Bit(e.what());
                }
            }
            // A frame that could not be read holds no values: its zeros stay out of the
            // range, and readers are told it failed rather than shown them.
            const bool failed = !error.isEmpty();
            if (failed) {
                std::memset(Frame(frame), 0, FrameBytes);
            } else {
                Ranges[size_t(frame)] = ScanFrame(Rule, Frame(frame));
            }
            Failed[size_t(frame)] = failed ? 1 : 0;
            {
                const std::lock_guard<std::mutex> guard(Lock);
                Ready[size_t(frame)].store(true, std::memory_order_release);
            }
            Arrived.notify_all();
        }
        // The file and the decoder's state go with the last frame.
        Fill = nullptr;
        if (next < Frames) return; // stopped
        std::tie(Min, Max) = MergeRanges(Rule, Ranges);
        TPicture::TCompletion done;
        {
            const std::lock_guard<std::mutex> guard(Lock);
            Error = error;
            AllIn.store(true, std::memory_order_release);
            done = std::move(Done);
        }
        Arrived.notify_all();
        if (done) done();
    }

    // The range of the frames in so far (a frame that failed has none).
    std::pair<double, double> RangeSoFar() const {
        if (AllIn.load(std::memory_order_acquire)) return {Min, Max};
        std::vector<TFrameRange> ready(static_cast<size_t>(Frames));
        for (size_t f = 0; f < ready.size(); ++f) {
            if (Ready[f].load(std::memory_order_acquire)) ready[f] = Ranges[f];
        }
        return MergeRanges(Rule, ready);
    }

    std::unique_ptr<uint8_t, TFreeBytes> Bytes;
    size_t Size = 0;
    size_t FrameBytes = 0;
    int32_t Frames = 0;
    std::vector<TFrameRange> Ranges;
    // Written before AllIn is set, read after it is seen.
    double Min = 0.0;
    double Max = 0.0;
    QString Error;

    // Frames still arriving: each one's flag is set once its values and range are in.
    std::unique_ptr<std::atomic<bool>[]> Ready;
    // Written with a frame's values, before its Ready flag.
    std::vector<char> Failed;
    std::atomic<bool> AllIn{true};
    std::mutex Lock;
    std::condition_variable Arrived;
    std::vector<int32_t> Wanted;
    bool Stop = false;
    TPicture::TFrameFill Fill;
    TPicture::TCompletion Done; // under Lock
    TRangeRule Rule;
    std::thread Worker;
};

TFrameStore::TFrameStore() = default;
TFrameStore::~TFrameStore() = default;
TFrameStore::TFrameStore(TFrameStore&& other) noexcept = default;
TFrameStore& TFrameStore::operator=(TFrameStore&& other) noexcept = default;

TFrameStore::TFrameStore(const TFrameStore& other) {
    if (other.Impl == nullptr) return;
    other.Impl->WaitAll();
    Impl = std::make_unique<TImpl>();
    Impl->Bytes.reset(static_cast<uint8_t*>(std::malloc(std::max<size_t>(other.Impl->Size, 1))));
    if (Impl->Bytes == nullptr) throw std::bad_alloc();
    std::memcpy(Impl->Bytes.get(), other.Impl->Bytes.get(), other.Impl->Size);
    Impl->Size = other.Impl->Size;
    Impl->FrameBytes = other.Impl->FrameBytes;
    Impl->Frames = other.Impl->Frames;
    Impl->Ranges = other.Impl->Ranges;
    Impl->Min = other.Impl->Min;
    Impl->Max = other.Impl->Max;
    Impl->Error = other.Impl->Error;
    Impl->Failed = other.Impl->Failed;
}

TFrameStore& TFrameStore::operator=(const TFrameStore& other) {
    if (this != &other) *this = TFrameStore(other);
    return *this;
}

void TPicture::Allocate(int32_t width, int32_t height, int32_t frames, int32_t samples, TSampleType type,
                        int32_t bitsStored) {
    const std::optional<uint64_t> bytes = width < 0 || height < 0 || frames < 0 || samples < 0
                                              ? std::nullopt
                                              : CheckedProduct({uint64_t(width), uint64_t(height), uint64_t(samples),
                                                                uint64_t(frames), SampleBytes(type)});
    if (!bytes || *bytes > std::numeric_limits<size_t>::max() / 2) {
        throw std::length_error("picture storage beyond memory");
    }
    auto impl = std::make_unique<TFrameStore::TImpl>();
    // calloc: large blocks come as fresh pages, zero already, so nothing is written
    // before the loader's own values.
    impl->Bytes.reset(static_cast<uint8_t*>(std::calloc(std::max<size_t>(size_t(*bytes), 1), 1)));
    if (impl->Bytes == nullptr) throw std::bad_alloc();
    impl->Size = size_t(*bytes);
    impl->Frames = frames;
    impl->FrameBytes = frames == 0 ? 0 : impl->Size / size_t(frames);
    impl->Ranges.resize(size_t(frames));
    store_.Impl = std::move(impl);
    width_ = width;
    height_ = height;
    frames_ = frames;
    samples_ = samples;
    type_ = type;
    bitsStored_ = bitsStored;
}

uint8_t* TPicture::Data() {
    if (store_.Impl == nullptr) return nullptr;
    store_.Impl->WaitAll();
    return store_.Impl->Bytes.get();
}

const uint8_t* TPicture::Data() const {
    if (store_.Impl == nullptr) return nullptr;
    store_.Impl->WaitAll();
    return store_.Impl->Bytes.get();
}

size_t TPicture::DataBytes() const { return store_.Impl == nullptr ? 0 : store_.Impl->Size; }

const uint8_t* TPicture::Bytes(int32_t frame) const {
    store_.Impl->WaitFor(frame);
    return store_.Impl->Bytes.get();
}

const uint8_t* TPicture::FrameData(int32_t frame) const {
    if (frame < 0 || frame >= frames_) return nullptr;
    return Bytes(frame) + size_t(frame) * SamplesPerFrame() * SampleBytes(type_);
}

bool TPicture::FrameReady(int32_t frame) const {
    if (frame < 0 || frame >= frames_) return false;
    const auto& impl = *store_.Impl;
    return impl.Ready == nullptr || impl.Ready[size_t(frame)].load(std::memory_order_acquire);
}

bool TPicture::FrameFailed(int32_t frame) const {
    if (frame < 0 || frame >= frames_ || store_.Impl == nullptr) return false;
    store_.Impl->WaitFor(frame);
    return !store_.Impl->Failed.empty() && store_.Impl->Failed[size_t(frame)] != 0;
}

QString TPicture::LateError() const {
    if (store_.Impl == nullptr) return QString();
    store_.Impl->WaitAll();
    const std::lock_guard<std::mutex> guard(store_.Impl->Lock);
    return store_.Impl->Error;
}

bool TPicture::Complete() const { return store_.Impl == nullptr || store_.Impl->AllIn.load(std::memory_order_acquire); }

void TPicture::WhenComplete(TCompletion done) const {
    if (store_.Impl != nullptr && !store_.Impl->AllIn.load(std::memory_order_acquire)) {
        const std::lock_guard<std::mutex> guard(store_.Impl->Lock);
        if (!store_.Impl->AllIn.load(std::memory_order_relaxed)) {
            store_.Impl->Done = std::move(done);
            return;
        }
    }
    if (done) done();
}

std::pair<double, double> TPicture::RangeSoFar() const {
    if (store_.Impl == nullptr) return {0.0, 0.0};
    return store_.Impl->RangeSoFar();
}

double TPicture::MinValue() const {
    if (store_.Impl == nullptr) return 0.0;
    store_.Impl->WaitAll();
    return store_.Impl->Min;
}

double TPicture::MaxValue() const {
    if (store_.Impl == nullptr) return 0.0;
    store_.Impl->WaitAll();
    return store_.Impl->Max;
}

int64_t TPicture::At(size_t i) const {
    const uint8_t* p = store_.Impl->Bytes.get();
    switch (type_) {
    case TSampleType::U8:
        return p[i];
    case TSampleType::S8:
        return int8_t(p[i]);
    case TSampleType::U16: {
        uint16_t v;
        std::memcpy(&v, p + i * 2, 2);
        return v;
    }
    case TSampleType::S16: {
        int16_t v;
        std::memcpy(&v, p + i * 2, 2);
        return v;
    }
    case TSampleType::U32: {
        uint32_t v;
        std::memcpy(&v, p + i * 4, 4);
        return v;
    }
    case TSampleType::S32: {
        int32_t v;
        std::memcpy(&v, p + i * 4, 4);
        return v;
    }
    }
    return 0;
}

int64_t TPicture::Stored(int32_t frame, int32_t x, int32_t y, int32_t sample) const {
    if (frame < 0 || frame >= frames_ || x < 0 || x >= width_ || y < 0 || y >= height_ || sample < 0 ||
        sample >= samples_) {
        return 0;
    }
    store_.Impl->WaitFor(frame);
    return At(size_t(frame) * SamplesPerFrame() + (size_t(y) * size_t(width_) + size_t(x)) * size_t(samples_) +
              size_t(sample));
}

double TPicture::ModalityValue(int32_t frame, int32_t x, int32_t y) const {
    return ModalityOf(frame, Stored(frame, x, y, 0));
}

double TPicture::Luma(int32_t frame, int32_t x, int32_t y) const {
    if (!IsColour()) {
        return ModalityValue(frame, x, y);
    }
    if (Photometric.startsWith(QLatin1String("YBR"))) {
        return double(Stored(frame, x, y, 0));
    }
    return 0.299 * double(Stored(frame, x, y, 0)) + 0.587 * double(Stored(frame, x, y, 1)) +
           0.114 * double(Stored(frame, x, y, 2));
}

namespace {

TRangeRule RangeRuleOf(const TPicture& p) {
    TRangeRule rule;
    rule.Type = p.SampleType();
    rule.PerFrame = p.SamplesPerFrame();
    rule.Colour = p.IsColour();
    rule.Padding = p.IsColour() ? std::nullopt : p.Padding;
    rule.Lut = p.IsColour() ? nullptr : p.ModalityLut;
    rule.Slope = p.Slope;
    rule.Intercept = p.Intercept;
    if (!p.IsColour() && p.ModalityLut == nullptr) {
        const size_t own = std::min(p.FrameModality.size(), size_t(p.Frames()));
        for (size_t f = 0; f < own; ++f) rule.Own.emplace_back(p.FrameModality[f].Slope, p.FrameModality[f].Intercept);
    }
    return rule;
}

} // namespace

void TPicture::ComputeRange() { FillLater(frames_, nullptr); }

void TPicture::FillLater(int32_t ready, TFrameFill fill) {
    if (store_.Impl == nullptr || SamplesPerFrame() * size_t(frames_) == 0) {
        if (store_.Impl != nullptr) store_.Impl->Min = store_.Impl->Max = 0.0;
        return;
    }
    TFrameStore::TImpl& impl = *store_.Impl;
    impl.Rule = RangeRuleOf(*this);
    ready = std::clamp(ready, 1, frames_);
    for (int32_t f = 0; f < ready; ++f) impl.Ranges[size_t(f)] = ScanFrame(impl.Rule, impl.Frame(f));
    if (ready == frames_ || !fill) {
        std::tie(impl.Min, impl.Max) = MergeRanges(impl.Rule, impl.Ranges);
        return;
    }
    impl.Ready = std::make_unique<std::atomic<bool>[]>(size_t(frames_));
    impl.Failed.assign(size_t(frames_), 0);
    for (int32_t f = 0; f < ready; ++f) impl.Ready[size_t(f)].store(true, std::memory_order_relaxed);
    impl.AllIn.store(false, std::memory_order_relaxed);
    impl.Fill = std::move(fill);
    impl.Worker = std::thread([&impl, ready] { impl.Run(ready); });
}

double TPicture::ColourTop() const {
    // Signed colour, which no writer should make, keeps its positive half.
    const bool isSigned = type_ == TSampleType::S8 || type_ == TSampleType::S16 || type_ == TSampleType::S32;
    const int typeBits = int(SampleBytes(type_)) * 8 - (isSigned ? 1 : 0);
    return double((int64_t(1) << std::min({bitsStored_, typeBits, 31})) - 1);
}

TWindow TPicture::DefaultWindow(int32_t frame) const {
    // Colour is shown as it is stored: the window that maps 0..top onto 0..255 (PS3.3
    // C.11.2.1.2), whatever a file names, since windows are for grey pictures.
    if (IsColour()) {
        const double top = ColourTop();
        return TWindow{(top + 1.0) / 2.0, top + 1.0};
    }
    if (OwnFrame(frame) && FrameModality[size_t(frame)].Window.has_value()) {
        return *FrameModality[size_t(frame)].Window;
    }
    if (FileWindow.has_value()) {
        return *FileWindow;
    }
    if (DisplayTable != nullptr && !DisplayTable->Levels.empty()) {
        const double span = double(DisplayTable->Levels.size());
        return TWindow{double(DisplayTable->First) + span / 2.0, std::max(1.0, span), true};
    }
    // The linear window maps [c - 0.5 - (w-1)/2, c - 0.5 + (w-1)/2] onto the grey
    // range; this centre and width put the smallest value at black and the largest at white.
    const auto [low, high] = RangeSoFar();
    const double width = std::max(1.0, high - low + 1.0);
    return TWindow{low + width / 2.0, width};
}

namespace {

// The window functions of DICOM (PS3.3 C.11.2.1.2, C.11.2.1.3) onto 0..255.
inline uint8_t Windowed(double value, double center, double width, TVoiFunction function) {
    if (function == TVoiFunction::Sigmoid) {
        return uint8_t(
            std::clamp(std::nearbyint(255.0 / (1.0 + std::exp(-4.0 * (value - center) / width))), 0.0, 255.0));
    }
    if (function == TVoiFunction::LinearExact) {
        if (value <= center - width / 2.0) {
            return 0;
        }
        if (value > center + width / 2.0) {
            return 255;
        }
        return uint8_t(std::clamp(std::nearbyint(((value - center) / width + 0.5) * 255.0), 0.0, 255.0));
    }
    const double lower = center - 0.5 - (width - 1.0) / 2.0;
    const double upper = center - 0.5 + (width - 1.0) / 2.0;
    if (value <= lower) {
        return 0;
    }
    if (value > upper) {
        return 255;
    }
    const double y = ((value - (center - 0.5)) / (width - 1.0) + 0.5) * 255.0;
    return uint8_t(std::clamp(std::nearbyint(y), 0.0, 255.0));
}

// The window's width as its function takes it: LINEAR_EXACT any width above 0 (its
// formula divides by the width itself), the others at least 1.
double MinimalWidth(const TPicture& p, double width) {
    if (p.VoiFunction == TVoiFunction::LinearExact && !p.IsColour() && width > 0.0) {
        return width;
    }
    return std::max(1.0, width);
}

// One lookup table over the range of stored values of the picture, so that a
// re-render costs one table read per sample.
class TLookup {
public:
    TLookup(const TPicture& p, int32_t frame, TWindow w, bool invert) {
        double center = w.Center;
        double width = MinimalWidth(p, w.Width);
        if (!std::isfinite(center) || !std::isfinite(width)) {
            center = 128.0;
            width = 256.0;
        }
        base_ = std::numeric_limits<int64_t>::min();
        switch (p.SampleType()) {
        case TSampleType::U8:
            base_ = 0;
            size_ = 256;
            break;
        case TSampleType::S8:
            base_ = -128;
            size_ = 256;
            break;
        case TSampleType::U16:
            base_ = 0;
            size_ = 65536;
            break;
        case TSampleType::S16:
            base_ = -32768;
            size_ = 65536;
            break;
        case TSampleType::U32:
        case TSampleType::S32:
            size_ = 0; // computed per sample
            break;
        }
        colour_ = p.IsColour();
        function_ = colour_ ? TVoiFunction::Linear : p.VoiFunction;
        slope_ = p.SlopeOf(frame);
        intercept_ = p.InterceptOf(frame);
        modalityLut_ = colour_ ? nullptr : p.ModalityLut.get();
        display_ = colour_ || !w.FileTable ? nullptr : p.DisplayTable.get();
        if (display_ != nullptr && display_->Levels.empty()) display_ = nullptr;
        center_ = center;
        width_ = width;
        invert_ = invert;
        table_.resize(size_t(size_));
        for (int64_t i = 0; i < size_; ++i) {
            table_[size_t(i)] = Compute(base_ + i);
        }
    }
    uint8_t operator()(int64_t stored) const {
        if (size_ > 0) {
            return table_[size_t(stored - base_)];
        }
        return Compute(stored);
    }

private:
    uint8_t Compute(int64_t stored) const {
        const double v = colour_                   ? double(stored)
                         : modalityLut_ != nullptr ? modalityLut_->ValueOf(stored)
                                                   : double(stored) * slope_ + intercept_;
        const uint8_t g = display_ != nullptr ? FromTable(v) : Windowed(v, center_, width_, function_);
        return invert_ ? uint8_t(255 - g) : g;
    }
    // The display table's grey level for a modality value.
    uint8_t FromTable(double v) const {
        const double last = double(display_->Levels.size() - 1);
        return display_->Levels[size_t(std::clamp(std::nearbyint(v) - double(display_->First), 0.0, last))];
    }
    int64_t base_ = 0;
    int64_t size_ = 0;
    bool colour_ = false;
    TVoiFunction function_ = TVoiFunction::Linear;
    double slope_ = 1.0;
    double intercept_ = 0.0;
    const TPicture::TModalityLut* modalityLut_ = nullptr;
    const TPicture::TDisplayTable* display_ = nullptr;
    double center_ = 0.0;
    double width_ = 1.0;
    bool invert_ = false;
    std::vector<uint8_t> table_;
};

template <typename T>
void RenderGrey(const T* src, int32_t stride, const TLookup& lut, QImage& target, int32_t x, int32_t y, int32_t w,
                int32_t h) {
    for (int32_t row = y; row < y + h; ++row) {
        const T* s = src + size_t(row) * size_t(stride) + size_t(x);
        auto* d = reinterpret_cast<QRgb*>(target.scanLine(row)) + x;
        for (int32_t i = 0; i < w; ++i) {
            const uint32_t g = lut(int64_t(s[i]));
            d[i] = 0xff000000u | (g << 16) | (g << 8) | g;
        }
    }
}

// Rows y0..y1 and columns x0..x1 of the stretched picture, each from the stored value
// the stretch picks, into target at (x - ox, y - oy).
template <typename T>
void RenderGreyZoomed(const T* src, int32_t sw, int32_t sh, const TLookup& lut, QImage& target, QPoint origin,
                      const QRect& area, QSize zoomed) {
    const int32_t cols = area.width();
    std::vector<int32_t> xmap(static_cast<size_t>(cols));
    for (int32_t k = 0; k < cols; ++k) {
        xmap[size_t(k)] = int32_t(int64_t(area.left() + k) * sw / zoomed.width());
    }
    int32_t lastSy = -1;
    const QRgb* lastRow = nullptr;
    for (int32_t y = area.top(); y <= area.bottom(); ++y) {
        const auto sy = int32_t(int64_t(y) * sh / zoomed.height());
        auto* d = reinterpret_cast<QRgb*>(target.scanLine(y - origin.y())) + (area.left() - origin.x());
        if (sy == lastSy) {
            std::copy(lastRow, lastRow + cols, d);
            continue;
        }
        const T* s = src + size_t(sy) * size_t(sw);
        for (int32_t k = 0; k < cols; ++k) {
            const uint32_t g = lut(int64_t(s[xmap[size_t(k)]]));
            d[k] = 0xff000000u | (g << 16) | (g << 8) | g;
        }
        lastSy = sy;
        lastRow = d;
    }
}

} // namespace

void TPicture::RenderZoomed(QImage& target, QPoint origin, QRect area, int32_t frame, TWindow window,
                            QSize zoomed) const {
    if (frame < 0 || frame >= frames_ || zoomed.isEmpty() || target.format() != QImage::Format_RGB32) {
        return;
    }
    area = area.intersected(QRect(QPoint(0, 0), zoomed)).intersected(QRect(origin, target.size()));
    if (area.isEmpty()) {
        return;
    }
    if (IsColour() || Palette) {
        // Colour pixels need their conversion per sample (or their palette lookup):
        // rendered whole, then stretched.
        const QImage whole = Render(frame, window);
        for (int32_t y = area.top(); y <= area.bottom(); ++y) {
            const auto sy = int32_t(int64_t(y) * height_ / zoomed.height());
            const auto* s = reinterpret_cast<const QRgb*>(whole.constScanLine(sy));
            auto* d = reinterpret_cast<QRgb*>(target.scanLine(y - origin.y())) - origin.x();
            for (int32_t x = area.left(); x <= area.right(); ++x) {
                d[x] = s[int64_t(x) * width_ / zoomed.width()];
            }
        }
        return;
    }
    const TLookup lut(*this, frame, window, Photometric == QLatin1String("MONOCHROME1"));
    const uint8_t* base = FrameData(frame);
    switch (type_) {
    case TSampleType::U8:
        RenderGreyZoomed(base, width_, height_, lut, target, origin, area, zoomed);
        break;
    case TSampleType::S8:
        RenderGreyZoomed(reinterpret_cast<const int8_t*>(base), width_, height_, lut, target, origin, area, zoomed);
        break;
    case TSampleType::U16:
        RenderGreyZoomed(reinterpret_cast<const uint16_t*>(base), width_, height_, lut, target, origin, area, zoomed);
        break;
    case TSampleType::S16:
        RenderGreyZoomed(reinterpret_cast<const int16_t*>(base), width_, height_, lut, target, origin, area, zoomed);
        break;
    case TSampleType::U32:
        RenderGreyZoomed(reinterpret_cast<const uint32_t*>(base), width_, height_, lut, target, origin, area, zoomed);
        break;
    case TSampleType::S32:
        RenderGreyZoomed(reinterpret_cast<const int32_t*>(base), width_, height_, lut, target, origin, area, zoomed);
        break;
    }
}

void TPicture::RenderInto(QImage& target, int32_t frame, TWindow window, int32_t x, int32_t y, int32_t w,
                          int32_t h) const {
    if (frame < 0 || frame >= frames_ || target.format() != QImage::Format_RGB32) {
        return;
    }
    // Clip to the picture and the target.
    const int32_t x0 = std::max(0, x);
    const int32_t y0 = std::max(0, y);
    const auto x1 = int32_t(std::min({int64_t(x) + w, int64_t(width_), int64_t(target.width())}));
    const auto y1 = int32_t(std::min({int64_t(y) + h, int64_t(height_), int64_t(target.height())}));
    if (x1 <= x0 || y1 <= y0) {
        return;
    }
    if (Palette) {
        RenderPaletteInto(*this, *Palette, target, frame, x0, y0, x1 - x0, y1 - y0);
        return;
    }
    const bool invert = Photometric == QLatin1String("MONOCHROME1");
    const TLookup lut(*this, frame, window, invert);
    const size_t frameStart = size_t(frame) * SamplesPerFrame();
    store_.Impl->WaitFor(frame);
    if (!IsColour()) {
        const uint8_t* base = FrameData(frame);
        switch (type_) {
        case TSampleType::U8:
            RenderGrey(base, width_, lut, target, x0, y0, x1 - x0, y1 - y0);
            break;
        case TSampleType::S8:
            RenderGrey(reinterpret_cast<const int8_t*>(base), width_, lut, target, x0, y0, x1 - x0, y1 - y0);
            break;
        case TSampleType::U16:
            RenderGrey(reinterpret_cast<const uint16_t*>(base), width_, lut, target, x0, y0, x1 - x0, y1 - y0);
            break;
        case TSampleType::S16:
            RenderGrey(reinterpret_cast<const int16_t*>(base), width_, lut, target, x0, y0, x1 - x0, y1 - y0);
            break;
        case TSampleType::U32:
            RenderGrey(reinterpret_cast<const uint32_t*>(base), width_, lut, target, x0, y0, x1 - x0, y1 - y0);
            break;
        case TSampleType::S32:
            RenderGrey(reinterpret_cast<const int32_t*>(base), width_, lut, target, x0, y0, x1 - x0, y1 - y0);
            break;
        }
        return;
    }
    // Colour: YBR_FULL (also as left by 4:2:2 decoding, which restores full
    // resolution) is turned into RGB (PS3.3 C.7.6.3.1.2), then each channel windowed.
    const bool ybr = Photometric.startsWith(QLatin1String("YBR_FULL"));
    // The conversion's results stay within what the samples can hold, and so within
    // the window's table.
    const double full = ColourTop();
    const double half = std::floor(full / 2.0) + 1.0;
    for (int32_t row = y0; row < y1; ++row) {
        auto* d = reinterpret_cast<QRgb*>(target.scanLine(row));
        for (int32_t col = x0; col < x1; ++col) {
            const size_t i = frameStart + (size_t(row) * size_t(width_) + size_t(col)) * 3;
            int64_t r = At(i);
            int64_t g = At(i + 1);
            int64_t b = At(i + 2);
            if (ybr) {
                const double Y = double(r);
                const double cb = double(g) - half;
                const double cr = double(b) - half;
                r = int64_t(std::clamp(std::nearbyint(Y + 1.402 * cr), 0.0, full));
                g = int64_t(std::clamp(std::nearbyint(Y - 0.344136 * cb - 0.714136 * cr), 0.0, full));
                b = int64_t(std::clamp(std::nearbyint(Y + 1.772 * cb), 0.0, full));
            }
            d[col] = qRgb(lut(r), lut(g), lut(b));
        }
    }
}

QImage TPicture::Render(int32_t frame, TWindow window) const {
    if (frame < 0 || frame >= frames_) {
        return QImage();
    }
    QImage image(width_, height_, QImage::Format_RGB32);
    if (image.isNull()) {
        return image;
    }
    RenderInto(image, frame, window, 0, 0, width_, height_);
    return image;
}

} // namespace kelvo::imaging
