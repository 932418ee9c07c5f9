// DICOM networking (DCMTK's dcmnet) as a module of its own, loaded with the first DICOM network request: DCMTK stays out of the program's start-up.
#pragma once

#include "pacs/dicom_json.h"
#include "pacs/dicomweb.h"
#include "pacs/errors.h"
#include "pacs/server.h"

#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

namespace kelvo::pacs {

// A C-FIND's outcome. Errors do not cross the module's boundary as exceptions.
struct TDimseFindResult {
    std::vector<TStudyRow> Rows;
    TPacsError Kind = TPacsError::None;
    QString Detail; // DCMTK's words, or the status the PACS answered
};

struct TDimseSeriesResult {
    std::vector<TSeriesRow> Rows;
    TPacsError Kind = TPacsError::None;
    QString Detail;
};

// What a C-GET or C-STORE has done so far, reported from the worker thread.
struct TDimseEvent {
    int64_t Bytes = 0; // moved in the current instance
    QString SopUid;    // set once an instance is whole
    QString Path;      // the received file (C-GET), in the staging folder
};
using TDimseReport = std::function<void(const TDimseEvent&)>;

// The end of a C-GET or C-STORE: the instances done and those the peer refused or sent
// without a usable UID.
struct TDimseTransferResult {
    int Done = 0;
    int Failed = 0;
    TPacsError Kind = TPacsError::None;
    QString Detail;
};

struct TDimseModule {
    // Changed with every change of this structure or of the types it passes.
    uint32_t Abi;
    // Study-level C-FIND (Study Root) at `node`; blocks, so it runs on a worker thread.
    // Stops with Canceled soon after `cancel` turns true.
    TDimseFindResult (*FindStudies)(const TDicomNode& node, const TStudyQuery& query, int timeoutSeconds,
                                    const std::atomic<bool>* cancel);
    // Series-level C-FIND of one study's series.
    TDimseSeriesResult (*FindSeries)(const TDicomNode& node, const QString& studyUid, int timeoutSeconds,
                                     const std::atomic<bool>* cancel);
    // C-GET (Study Root) of a study, or of one of its series when seriesUid is not empty,
    // into `stagingDir`, one file per instance named after its SOP Instance UID.
    // `timeoutSeconds` is the time without a byte from the peer.
    TDimseTransferResult (*Retrieve)(const TDicomNode& node, const QString& studyUid, const QString& seriesUid,
                                     const QString& stagingDir, int timeoutSeconds, const std::atomic<bool>* cancel,
                                     const TDimseReport& report);
    // The same by C-MOVE to our own listener on node.OurPort.
    TDimseTransferResult (*Move)(const TDicomNode& node, const QString& studyUid, const QString& seriesUid,
                                 const QString& stagingDir, int timeoutSeconds, const std::atomic<bool>* cancel,
                                 const TDimseReport& report);
    // C-STORE of DICOM files, on one association.
    TDimseTransferResult (*Store)(const TDicomNode& node, const QStringList& files, int timeoutSeconds,
                                  const std::atomic<bool>* cancel, const TDimseReport& report);
};

inline constexpr uint32_t kDimseModuleAbi = 4;
inline constexpr const char* kDimseModuleEntry = "kelvo_dimse_module";

} // namespace kelvo::pacs
