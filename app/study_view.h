// Studies in the main window: opening a folder or DICOMDIR, indexing it in the background, showing its series as stacks of slices that the wheel, the keys and a slider step through, with each shape on the slice it was drawn on.
#pragma once

#include "canvas/measurements.h"
#include "imaging/slice_cache.h"
#include "imaging/study_index.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QPushButton;
class QSlider;
class QWidget;

namespace kelvo {

class TForm1;
class TSeriesBrowser;

// Where the slice cache's budget is kept (QSettings "kelvo"/"kelvo"), in MiB.
constexpr const char* kSliceBudgetKey = "studies/slice_cache_mib";
constexpr int kDefaultSliceBudgetMiB = 512;

class TStudyView : public QObject {
    Q_OBJECT
public:
    explicit TStudyView(TForm1& form);
    ~TStudyView() override;

    // A folder, or a file named DICOMDIR: what Open takes rather than OpenFile.
    static bool IsStudyPath(const QString& path);

    // Starts indexing `path` in the background; the window's picture and shapes stay
    // until the first series can be shown (and the user agreed to drop the shapes).
    // An index that finds nothing is explained, and nothing changes.
    void Open(const QString& path);
    void Cancel();
    bool Indexing() const { return scan_.Running(); }
    // A single picture took the window's place: the study is forgotten.
    void Leave();

    // Whether a series is shown (then the wheel, the keys and the slider step through it).
    bool Active() const { return cache_ != nullptr; }
    const imaging::TStudyIndex& Index() const { return index_; }
    const QString& ShownSeries() const { return seriesUid_; }
    int32_t SliceCount() const;
    // The slice asked for last (shown once decoded), and the one on screen.
    int32_t SliceIndex() const { return wanted_; }
    int32_t ShownSlice() const { return shown_; }
    // The file of the slice on screen, which a report refers to (empty when none is shown).
    QString ShownFile() const { return cache_ && shown_ >= 0 ? cache_->Stack().Slices.at(size_t(shown_)).File : QString(); }
    // Shows the series' first slice; false for a series not in the index.
    bool ShowSeries(const QString& seriesUid, int32_t slice = 0);
    // Asks for a slice (clamped to the stack); it shows at once when the cache holds
    // it, else when decoded. Window, level and zoom stay.
    void ShowSlice(int32_t index);
    void Step(int32_t delta) { ShowSlice(wanted_ + delta); }
    // "slice 37 / 412 · 12.5 mm".
    QString SliceText() const;

    // Where a measurement was taken, for the list: "slice 12", "series 3 slice 4"; empty
    // for the single picture.
    QString PlaceOf(const TMeasurement& m) const;
    // Gives each measurement its shape's image (UID, frame, file) and measures regions
    // of other slices on their own slice's values.
    void PlaceMeasurements(std::vector<TMeasurement>& list);
    // Shows the slice (and series) a shape was drawn on, then selects it; false when
    // its image is not in the index.
    bool ShowShapeImage(int32_t shapeIndex);

    // The picture cache of the series shown (null when none).
    imaging::TSliceCache* Cache() const { return cache_.get(); }

    QPushButton* OpenFolderBtn = nullptr;
    QSlider* SliceSlider = nullptr;
    // A tool window beside the main window, shown once a study is opened.
    TSeriesBrowser* Browser = nullptr;

    // Empty = Qt's dialogs: the folder to open (empty = cancelled); the list of files
    // skipped.
    std::function<QString()> FolderDialog;
    std::function<void(const QString& summary, const QString& list)> ShowDetails;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Indexed(const imaging::TStudyIndex& index, bool finished);
    // Shows the first series of a fresh index in the window; false when it could not be
    // shown or the user kept the shapes shown.
    bool Adopt(const imaging::TStudyIndex& index);
    // Makes the cache for the series and keeps the slice lookup.
    void UseSeries(const imaging::TSeries& series, std::unique_ptr<imaging::TSliceCache> cache = nullptr);
    void Apply(int32_t index, const imaging::TSliceCache::TSlicePicture& picture);
    void SliceFailed(int32_t index, const QString& text);
    void Tell(const QString& message);
    void Details();
    void QueueThumbnails();
    void MakeThumbnail();
    const imaging::TSeries* FindSeries(const QString& uid) const;
    void ShowControls(bool shown);
    // A run that gave nothing to show leaves the study shown (if any) as it was.
    void KeepShownStudy();

    TForm1& form_;
    imaging::TStudyScan scan_;
    imaging::TStudyIndex index_;
    QString path_;      // being indexed
    QString shownPath_; // of the study shown
    bool adopted_ = false;
    bool adopting_ = false;
    // The end of a run that came while the user was asked whether to drop the shapes.
    std::unique_ptr<imaging::TStudyIndex> lateFinal_;
    QString seriesUid_;
    std::unique_ptr<imaging::TSliceCache> cache_;
    int32_t wanted_ = -1;
    int32_t shown_ = -1;
    int32_t selectAfter_ = -1; // a shape to select once its slice is shown
    // A slice of the series was shown: its window is kept for the next.
    bool seriesWindow_ = false;
    // "uid#frame" to (series UID, slice of its stack), over the whole index.
    struct TPlace {
        QString Series;
        int32_t Slice = 0;
    };
    QHash<QString, TPlace> places_;
    std::vector<QString> thumbnailsToMake_;
    QHash<QString, bool> thumbnailsTried_;
    TRegionStatsCache otherSlices_;
};

// A series' stacks as one stack, in the index's order.
imaging::TStack SeriesStack(const imaging::TSeries& series);

} // namespace kelvo
