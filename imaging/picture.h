// A picture loaded from a file: stored and modality values per frame, its spacing and identity, and its rendering for a window.
#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace kelvo::imaging {

struct TPalette;

// The stored values of a picture's frames, some of which may still be arriving from a
// worker thread (see TPicture::FillLater). A copy waits for every frame; a store that
// goes stops its worker first.
class TFrameStore {
public:
    TFrameStore();
    ~TFrameStore();
    TFrameStore(const TFrameStore& other);
    TFrameStore& operator=(const TFrameStore& other);
    TFrameStore(TFrameStore&& other) noexcept;
    TFrameStore& operator=(TFrameStore&& other) noexcept;

    struct TImpl;
    std::unique_ptr<TImpl> Impl;
};

// Where the physical pixel spacing came from. Pixel Spacing (0028,0030) is the
// patient-plane spacing; Imager Pixel Spacing (0018,1164) the detector's, used only
// when the first is absent: divided by the Estimated Radiographic Magnification Factor
// (0018,1114) when the file gives one, it is the spacing at the patient
// (CorrectedImagerPixelSpacing), otherwise it holds at the detector only.
enum class TSpacingSource : uint8_t { None, PixelSpacing, ImagerPixelSpacing, CorrectedImagerPixelSpacing };

// The width of one stored sample in memory; signed kinds hold values already
// sign-extended from Bits Stored.
enum class TSampleType : uint8_t { U8, S8, U16, S16, U32, S32 };

// How a window maps values onto grey (VOI LUT Function, PS3.3 C.11.2.1.3).
enum class TVoiFunction : uint8_t { Linear, LinearExact, Sigmoid };

struct TWindow {
    double Center = 0.0;
    double Width = 1.0; // at least 1
    // Shown through the file's display table (VOI LUT Sequence) instead; Center and
    // Width then span the table's values, where a drag starts from.
    bool FileTable = false;
    bool operator==(const TWindow&) const = default;
};

class TPicture {
public:
    // An empty picture (no frames); filled by the loaders through Allocate.
    TPicture() = default;

    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    int32_t Frames() const { return frames_; }
    int32_t SamplesPerPixel() const { return samples_; }
    TSampleType SampleType() const { return type_; }
    int32_t BitsStored() const { return bitsStored_; }
    bool IsColour() const { return samples_ == 3; }
    // Shown in colours of its own: three samples, or indices through a palette. Such a
    // frame is cheaper kept rendered than rendered again for every part shown.
    bool ShowsInColour() const { return IsColour() || Palette != nullptr; }
    bool IsEmpty() const { return frames_ == 0; }

    // The stored value of one sample, as the file holds it.
    int64_t Stored(int32_t frame, int32_t x, int32_t y, int32_t sample = 0) const;
    // The stored value with the frame's rescale or the modality table applied
    // (monochrome only; colour returns Stored).
    double ModalityValue(int32_t frame, int32_t x, int32_t y) const;
    double ModalityOf(int32_t frame, int64_t stored) const {
        if (IsColour()) return double(stored);
        if (ModalityLut != nullptr) return ModalityLut->ValueOf(stored);
        return double(stored) * SlopeOf(frame) + InterceptOf(frame);
    }
    // The rescale of one frame: its own where the file gives frames their own, else
    // Slope and Intercept.
    double SlopeOf(int32_t frame) const { return OwnFrame(frame) ? FrameModality[size_t(frame)].Slope : Slope; }
    double InterceptOf(int32_t frame) const {
        return OwnFrame(frame) ? FrameModality[size_t(frame)].Intercept : Intercept;
    }
    // The brightness of a colour pixel: Y where the samples are YBR (its luma as
    // stored), else 0.299 R + 0.587 G + 0.114 B. Monochrome gives ModalityValue.
    double Luma(int32_t frame, int32_t x, int32_t y) const;
    // Smallest and largest modality value over all frames (colour: over all samples);
    // they wait for frames still arriving.
    double MinValue() const;
    double MaxValue() const;

    // The window stated in the file for the frame (its first centre/width pair), else
    // its display table, else the full range; for colour, the window that shows the
    // samples as they are. It never waits: while frames are still arriving, the range
    // is that of the frames in so far, so that the first can be shown at once; once
    // Complete, it is the full range (see WhenComplete).
    TWindow DefaultWindow(int32_t frame = 0) const;
    // Whether every frame is in (or failed); never waits.
    bool Complete() const;
    // Calls `done` once every frame is in: on the worker's thread as the last frame
    // arrives, or at once here when the picture is complete already. Not called when
    // the picture goes first.
    using TCompletion = std::function<void()>;
    void WhenComplete(TCompletion done) const;
    // The frame rendered for a window onto grey or colour RGB32 pixels. MONOCHROME1 is
    // shown inverted; YBR colour is converted to RGB; a palette picture shows its palette's
    // colours whatever the window. A window narrower than 1 counts as 1, but under
    // LINEAR_EXACT, which takes any width above 0.
    QImage Render(int32_t frame, TWindow window) const;
    // Renders only the rectangle (x, y, w, h) of the frame into `target` at (x, y);
    // the target must be RGB32 and at least as large as the picture.
    void RenderInto(QImage& target, int32_t frame, TWindow window, int32_t x, int32_t y, int32_t w, int32_t h) const;
    // Renders the frame stretched to `zoomed` (whole pixels repeated or dropped, as
    // the display stretch does), only its pixels within `area`, into `target`, whose
    // top-left pixel is the point `origin` of the stretched picture. Only the area is
    // read and written, so a view of a large picture costs what it shows. The target
    // must be RGB32 and hold the area; pixels of the area beyond the picture stay.
    void RenderZoomed(QImage& target, QPoint origin, QRect area, int32_t frame, TWindow window, QSize zoomed) const;

    // Millimetres per pixel along a row (between columns) and along a column (between
    // rows); both zero when the file gives no spacing.
    double ColumnSpacing = 0.0;
    double RowSpacing = 0.0;
    TSpacingSource SpacingSource = TSpacingSource::None;
    bool HasSpacing() const { return SpacingSource != TSpacingSource::None; }

    // The rescale and window of the first frame, and of every frame unless
    // FrameModality gives one its own.
    double Slope = 1.0;
    double Intercept = 0.0;
    // Enhanced multi-frame files may give each frame its own rescale and window
    // (Pixel Value Transformation and Frame VOI LUT per frame). Empty when all frames
    // share Slope, Intercept and FileWindow; else the frames from the first on, and
    // frames beyond its end use those.
    struct TFrameModality {
        double Slope = 1.0;
        double Intercept = 0.0;
        std::optional<TWindow> Window;
        bool operator==(const TFrameModality&) const = default;
    };
    std::vector<TFrameModality> FrameModality;
    // A Modality LUT (0028,3000), which a file gives instead of a rescale: stored values
    // from First on map to Values; those beyond either end, to the end's value.
    struct TModalityLut {
        int64_t First = 0;
        std::vector<double> Values;
        double ValueOf(int64_t stored) const {
            const int64_t i = std::clamp<int64_t>(stored - First, 0, int64_t(Values.size()) - 1);
            return Values[size_t(i)];
        }
    };
    std::shared_ptr<const TModalityLut> ModalityLut;
    // The unit of modality values when known ("HU" for CT), else empty.
    QString Unit;
    std::optional<TWindow> FileWindow;
    // Every centre/width pair the file lists (for its first frame), with the text that
    // explains it ("BRAIN"; empty when the file gives none), in the file's order.
    struct TNamedWindow {
        TWindow Window;
        QString Explanation;
        bool operator==(const TNamedWindow&) const = default;
    };
    std::vector<TNamedWindow> FileWindows;
    // The file's function for its windows, which also shapes the windows set by hand.
    TVoiFunction VoiFunction = TVoiFunction::Linear;
    // A VOI LUT Sequence's first table (0028,3010): modality values from First on map
    // to grey levels; values beyond either end take the end's level.
    struct TDisplayTable {
        int64_t First = 0;
        std::vector<uint8_t> Levels;
    };
    std::shared_ptr<const TDisplayTable> DisplayTable;
    // Stored values that mark pixels as no part of the picture (Pixel Padding Value,
    // to Pixel Padding Range Limit): left out of the range (monochrome only).
    struct TPadding {
        int64_t From = 0;
        int64_t To = 0;
    };
    std::optional<TPadding> Padding;
    QString Photometric;
    // PALETTE COLOR: the stored values stay the palette's indices (statistics and the
    // value under the cursor speak of them); only rendering looks the colours up.
    std::shared_ptr<const TPalette> Palette;
    QString PatientName;
    QString StudyDate;
    QString Modality;
    QString SeriesDescription;
    // The SOP Instance UID (0008,0018), naming the image in exports; empty outside DICOM.
    QString SopInstanceUid;
    // How the file was read, for messages and the title: "DICOM" or Qt's format name.
    QString Format;
    // The frames per second the file recommends for playing its frames: Recommended
    // Display Frame Rate (0008,2144), else Cine Rate (0018,0040); 0 when it gives none.
    double FrameRate = 0.0;

    // For the loaders: sets the geometry and allocates zeroed storage (pages the system
    // hands out zeroed, so a loader that writes every value pays for no zero fill).
    // Frames are stored one after the other, each row-major with samples interleaved.
    // Throws std::length_error for a size beyond memory (the loaders refuse those first).
    void Allocate(int32_t width, int32_t height, int32_t frames, int32_t samples, TSampleType type, int32_t bitsStored);
    // Raw storage of all frames, element size by SampleType; waits for frames still arriving.
    uint8_t* Data();
    const uint8_t* Data() const;
    size_t DataBytes() const;
    size_t SamplesPerFrame() const { return size_t(width_) * size_t(height_) * size_t(samples_); }
    // The stored values of one frame, once it is in (it waits for that frame alone).
    const uint8_t* FrameData(int32_t frame) const;
    // Whether the frame's values are in: frames after the first may arrive after the
    // picture is shown. Every reader of a frame waits for it (asking for it next).
    bool FrameReady(int32_t frame) const;
    // Waits for the frame; true when it came late and could not be read (it then holds
    // zeros, which are no values: nothing may show or measure them).
    bool FrameFailed(int32_t frame) const;
    // Waits for every frame; what went wrong reading a frame that came late, which then
    // holds zeros (empty when nothing did).
    QString LateError() const;
    // Computes MinValue/MaxValue, leaving out padding unless that is all there is; the
    // loaders call it once the values are in.
    void ComputeRange();
    // Instead of ComputeRange, for a loader that has filled the frames before `ready`:
    // `fill` writes each further frame's values (into the pointer it is given) on a
    // worker thread, the frame a reader waits for first, else in order; the picture
    // keeps each frame's range, and MinValue/MaxValue wait for the last. The picture's
    // description (modality, padding, colour) must be complete before. A fill that
    // throws leaves zeros in that frame and the next, and its message in LateError.
    using TFrameFill = std::function<void(int32_t frame, uint8_t* values)>;
    void FillLater(int32_t ready, TFrameFill fill);

private:
    bool OwnFrame(int32_t frame) const { return frame >= 0 && size_t(frame) < FrameModality.size(); }
    // The largest colour sample value the picture can hold.
    double ColourTop() const;
    int64_t At(size_t index) const;
    // The storage once `frame` is in.
    const uint8_t* Bytes(int32_t frame) const;
    // MinValue and MaxValue, or while frames are arriving those of the frames in so far.
    std::pair<double, double> RangeSoFar() const;

    int32_t width_ = 0;
    int32_t height_ = 0;
    int32_t frames_ = 0;
    int32_t samples_ = 1;
    TSampleType type_ = TSampleType::U8;
    int32_t bitsStored_ = 8;
    TFrameStore store_;
};

// The byte size of one sample of the type.
size_t SampleBytes(TSampleType type);

// The product of the factors, or nothing when it does not fit 64 bits. Sizes from a
// file's header are multiplied only through this: a product that wraps would pass
// any limit and leave storage far smaller than the picture it claims to hold.
std::optional<uint64_t> CheckedProduct(std::initializer_list<uint64_t> factors);

} // namespace kelvo::imaging
