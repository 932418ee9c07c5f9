// DICOM networking on the program's side: searches at a DICOM node run on a worker thread in the networking module and report on the GUI thread.
#pragma once

#include "pacs/dicomweb.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace kelvo::pacs {

// A study-level C-FIND at the server's DICOM node. Like the DICOMweb jobs: set the
// events, then Start(); they fire on the GUI thread, never inside Start; OnDone fires
// once and last; Cancel() ends the job at once (OnDone reports Canceled before it
// returns) and the worker stops the association behind it.
class TDimseFindJob : public QObject {
public:
    TDimseFindJob(TDicomNode node, TStudyQuery query, int timeoutSeconds, QObject* parent = nullptr);
    ~TDimseFindJob() override;

    std::function<void(const std::vector<TStudyRow>&)> OnStudies;
    std::function<void(const TPacsStatus&)> OnDone;

    void Start();
    void Cancel();

private:
    void Finish(TPacsError kind, const QString& detail, const std::vector<TStudyRow>& rows);

    TDicomNode node_;
    TStudyQuery query_;
    int timeoutSeconds_;
    std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
    bool started_ = false;
    bool finished_ = false;
};

// The networking module's path (beside the DICOM reader's).
std::string DimseModulePath();

} // namespace kelvo::pacs
