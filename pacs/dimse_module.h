// DICOM networking (DCMTK's dcmnet) as a module of its own, loaded with the first DICOM network request: DCMTK stays out of the program's start-up.
#pragma once

#include "pacs/dicom_json.h"
#include "pacs/dicomweb.h"
#include "pacs/errors.h"
#include "pacs/server.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace kelvo::pacs {

// A C-FIND's outcome. Errors do not cross the module's boundary as exceptions.
struct TDimseFindResult {
    std::vector<TStudyRow> Rows;
    TPacsError Kind = TPacsError::None;
    QString Detail; // DCMTK's words, or the status the PACS answered
};

struct TDimseModule {
    // Changed with every change of this structure or of the types it passes.
    uint32_t Abi;
    // Study-level C-FIND (Study Root) at `node`; blocks, so it runs on a worker thread.
    // Stops with Canceled soon after `cancel` turns true.
    TDimseFindResult (*FindStudies)(const TDicomNode& node, const TStudyQuery& query, int timeoutSeconds,
                                    const std::atomic<bool>* cancel);
};

inline constexpr uint32_t kDimseModuleAbi = 1;
inline constexpr const char* kDimseModuleEntry = "kelvo_dimse_module";

} // namespace kelvo::pacs
