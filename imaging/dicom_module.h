// The DICOM reader as a module of its own, loaded when the first DICOM file is read: DCMTK and its decoders stay out of the program's start-up.
#pragma once

#include "imaging/dicom_headers.h"
#include "imaging/loader.h"

#include <cstdint>
#include <string>

namespace kelvo::imaging {

// What the module hands out. Errors do not cross the boundary as exceptions: the
// entry points catch them and report the kind and the sentence, the program's side
// raises them again as its own EImageError.
struct TDicomResult {
    TPicture Picture;
    bool Failed = false;
    bool OutOfMemory = false;
    TLoadError Kind = TLoadError::Corrupt;
    QString Text;
};

struct TDicomModule {
    // Changed with every change of this structure or of the types it passes.
    uint32_t Abi;
    TDicomResult (*LoadFile)(const QString& path, const QString& name, const TLoadLimits& limits);
    TDicomResult (*LoadBytes)(const uint8_t* data, size_t size, const QString& name, const TLoadLimits& limits);
    // The study index's readers (imaging/dicom_headers.h); they never throw.
    TDicomHeader (*ReadHeader)(const QString& path);
    TDicomDirectory (*ReadDirectory)(const QString& path);
};

inline constexpr uint32_t kDicomModuleAbi = 4;
// The module's one exported symbol: a function returning its TDicomModule.
inline constexpr const char* kDicomModuleEntry = "kelvo_dicom_module";

// Loads the module at `path` (once per path and process) and checks that it is the
// one this program was built with. Raises EImageError naming `file` (the picture
// being opened) when the module is missing or unusable.
const TDicomModule& OpenDicomModule(const std::string& path, const QString& file);

// Where the program's module is (see ModulePath).
std::string DicomModulePath();

} // namespace kelvo::imaging
