// DICOM networking on the program's side: searches, retrieves and stores at a DICOM node run on a worker thread in the networking module and report on the GUI thread.
#pragma once

#include "pacs/dicomweb.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace kelvo::pacs {

class TInstanceCache;
struct TDimseModule;
struct TDimseEvent;

// A job at the server's DICOM node. Like the DICOMweb jobs: set the events, then
// Start(); they fire on the GUI thread, never inside Start; OnDone fires once and last;
// Cancel() ends the job at once (OnDone reports Canceled before it returns) and the
// worker stops the association behind it. An event handler may delete the job.
//
// Subclasses override Run, which starts the worker with the module's function and
// reports through Post; the base loads the module and keeps the end's rules.
class TDimseJob : public QObject {
public:
    ~TDimseJob() override;

    std::function<void(const TPacsStatus&)> OnDone;
    // Bytes and instances moved (retrieve and store).
    std::function<void(const TPacsProgress&)> OnProgress;

    void Start();
    void Cancel();
    bool Finished() const { return finished_; }

protected:
    TDimseJob(TDicomNode node, int timeoutSeconds, QObject* parent);
    virtual void Run(const TDimseModule& module) = 0;
    // Runs `step` on the GUI thread unless the job is gone or finished by then. The
    // worker's outcome goes through the application object, which outlives both; the
    // worker holds `self`, made on the GUI thread, never the job's address.
    static void Post(const QPointer<TDimseJob>& self, std::function<void(TDimseJob&)> step);
    // Counts the bytes of a report of the worker; false when the job is gone.
    bool Moved(const TDimseEvent& event);
    void Finish(TPacsError kind, const QString& detail);
    // Fires `handler` through a copy; false when the job was deleted by it or finished.
    template <typename Handler, typename... Args>
    bool Fire(const Handler& handler, Args&&... args) {
        if (!handler) return true;
        const QPointer<TDimseJob> alive(this);
        const Handler copy = handler;
        copy(std::forward<Args>(args)...);
        return !alive.isNull() && !finished_;
    }

    TDicomNode node_;
    int timeoutSeconds_;
    std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
    TPacsProgress progress_;

private:
    int64_t doneBytes_ = 0;
    bool started_ = false;
    bool finished_ = false;
};

// A study-level C-FIND.
class TDimseFindJob : public TDimseJob {
public:
    TDimseFindJob(TDicomNode node, TStudyQuery query, int timeoutSeconds, QObject* parent = nullptr);
    // The rows, newest first; fires before OnDone of a successful search.
    std::function<void(const std::vector<TStudyRow>&)> OnStudies;

private:
    void Run(const TDimseModule& module) override;
    TStudyQuery query_;
};

// The series of one study (series-level C-FIND).
class TDimseSeriesJob : public TDimseJob {
public:
    TDimseSeriesJob(TDicomNode node, QString studyUid, int timeoutSeconds, QObject* parent = nullptr);
    // The series by number; fires before OnDone of a successful search.
    std::function<void(const std::vector<TSeriesRow>&)> OnSeries;

private:
    void Run(const TDimseModule& module) override;
    QString studyUid_;
};

// A C-GET of a study, or of one of its series, into the instance cache; as the
// DICOMweb retrieve, a study or series retrieved whole before comes from the cache. The
// time-out is the time without a byte from the server.
class TDimseRetrieveJob : public TDimseJob {
public:
    TDimseRetrieveJob(TDicomNode node, TInstanceCache* cache, QString studyUid, QString seriesUid, int timeoutSeconds,
                      QObject* parent = nullptr);
    std::function<void(const TRetrievedInstance&)> OnInstance;

private:
    void Run(const TDimseModule& module) override;
    void Arrived(const TDimseEvent& event);
    void Ended(TPacsError kind, const QString& detail);
    QString ListKey() const;

    TInstanceCache* cache_;
    QString studyUid_, seriesUid_, staging_;
    QStringList retrieved_;
};

// A C-STORE of DICOM files (a report written beside the picture, say).
class TDimseStoreJob : public TDimseJob {
public:
    TDimseStoreJob(TDicomNode node, QStringList files, int timeoutSeconds, QObject* parent = nullptr);

private:
    void Run(const TDimseModule& module) override;
    QStringList files_;
};

// The networking module's path (beside the DICOM reader's).
std::string DimseModulePath();

} // namespace kelvo::pacs
