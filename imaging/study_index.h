// Studies rather than single files: a folder or DICOMDIR indexed from the files' headers into patients, studies, series and stacks of slices ordered in space.
//
// IndexStudy does the work where it is called; TStudyScan runs it on a worker thread
// for a window, reporting progress and snapshots of the index on the thread that
// made the scan, so that the first series can be shown while the rest is read.
#pragma once

#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace kelvo::imaging {

// One picture of a stack: a frame of a file.
struct TSlice {
    QString File;
    int32_t Frame = 0; // 0-based, within a multi-frame file
    QString SopInstanceUid;
    // Along the stack's normal, in mm: Image Position (Patient) · (row × column).
    std::optional<double> Position;
    std::optional<int32_t> InstanceNumber;
};

// Slices that share a size, photometric interpretation and orientation, in order
// along the normal (by Instance Number when positions are missing or coincide).
struct TStack {
    int32_t Rows = 0;
    int32_t Columns = 0;
    QString Photometric;
    std::optional<std::array<double, 6>> Orientation;
    std::vector<TSlice> Slices;
};

struct TSeries {
    QString Uid, Modality, Description;
    std::optional<int32_t> Number;
    int32_t Images = 0; // slices over all stacks
    std::vector<TStack> Stacks;
};

struct TStudy {
    QString Uid, Date, Description;
    std::vector<TSeries> Series;
};

struct TPatient {
    QString Name, Id;
    std::vector<TStudy> Studies;
};

// Why a file or folder gave no image.
enum class TSkipReason : uint8_t {
    NotRegular,  // a FIFO, socket or device: never opened, it could block
    BrokenLink,  // a symbolic link to nothing
    LinkLoop,    // a link to a folder already visited
    TooDeep,     // folders nested past the walk's depth
    Unreadable,  // cannot be opened or read (permissions, I/O)
    NotDicom,    // nothing DICOM-like
    Damaged,     // DICOM whose header is broken
    NoImage,     // DICOM without an image
    Duplicate,   // the same SOP Instance UID as a file already indexed
    Missing,     // named by the DICOMDIR but not there
};

struct TSkippedFile {
    QString Path;
    TSkipReason Reason = TSkipReason::NotDicom;
    QString Detail; // the library's words, the kind of object, the other file...
};
// "not DICOM", "a FIFO, not a regular file", ... with the detail when there is one.
QString SkipReasonText(const TSkippedFile& skipped);

// Why nothing could be indexed at all.
enum class TStudyProblem : uint8_t { None, Missing, Unreadable, Empty, NoImages, Cancelled };

struct TStudyIndex {
    std::vector<TPatient> Patients;
    std::vector<TSkippedFile> Skipped;
    TStudyProblem Problem = TStudyProblem::None;
    QString ProblemText; // the sentence for the user when Problem is set

    int32_t ImageCount() const;
    int32_t SeriesCount() const;
    // The first series of the first study of the first patient, or null.
    const TSeries* FirstSeries() const;
};

// "412 images in 3 series; 5 files skipped" (the skips only when there are some).
QString SummaryText(const TStudyIndex& index);

// Progress of an indexing run; Total is known once the walk has listed the files.
struct TIndexProgress {
    int32_t Done = 0;
    int32_t Total = 0;
};

struct TIndexOptions {
    int32_t MaxDepth = 32;        // folder levels below the one given
    int32_t SnapshotEvery = 64;   // files read between two snapshots
    // Called on the indexing thread after each file, before the next is read: a cancel
    // there takes effect at that very file, whatever the owner's thread is doing.
    std::function<void(const TIndexProgress&)> OnFileRead = {};
};

// Indexes `path`: a folder (recursively), a DICOMDIR, or one DICOM file. Reads headers
// only. `cancel`, when set, stops it (Problem Cancelled, with what was read so far);
// `progress` is called after each file and `snapshot` every SnapshotEvery files,
// both on the calling thread.
TStudyIndex IndexStudy(const QString& path, const TIndexOptions& options = {},
                       const std::atomic<bool>* cancel = nullptr,
                       const std::function<void(const TIndexProgress&)>& progress = {},
                       const std::function<void(const TStudyIndex&)>& snapshot = {});

// An indexing run on a worker thread. The handlers run on the thread that made the
// scan (its event loop must run); destroying the scan cancels and joins the worker.
class TStudyScan {
public:
    TStudyScan();
    ~TStudyScan();
    TStudyScan(const TStudyScan&) = delete;
    TStudyScan& operator=(const TStudyScan&) = delete;

    // Starts indexing `path`; a scan already running is cancelled first.
    void Start(const QString& path, const TIndexOptions& options = {});
    void Cancel();
    bool Running() const { return running_; }

    // Every 16 files and after the last.
    std::function<void(const TIndexProgress&)> OnProgress;
    // The index so far: each series in it is usable as it stands.
    std::function<void(const TStudyIndex&)> OnSnapshot;
    // The whole index (Problem Cancelled after Cancel).
    std::function<void(const TStudyIndex&)> OnFinished;

private:
    void Stop();

    std::unique_ptr<QObject> context_; // lives on the owner's thread; posts land there
    std::shared_ptr<std::atomic<bool>> cancel_;
    std::thread worker_;
    // Posts of an earlier run still queued when a new one starts are dropped.
    uint64_t generation_ = 0;
    bool running_ = false;
};

} // namespace kelvo::imaging
