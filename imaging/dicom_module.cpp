// The program's side of the DICOM module: loading it, and the reader's functions that forward to it.
#include "imaging/dicom_module.h"

#include "imaging/dicom_loader.h"
#include "platform/module.h"

#include <new>

namespace kelvo::imaging {

namespace {

[[noreturn]] void Unusable(const QString& file, const std::string& path, const QString& why) {
    throw EImageError(
        TLoadError::Unreadable,
        LoadErrorText(
            TLoadError::Unreadable, file,
            QStringLiteral("the DICOM reader %1 cannot be used: %2").arg(QString::fromLocal8Bit(path.c_str()), why)));
}

TPicture Unpack(TDicomResult r) {
    if (r.OutOfMemory) throw std::bad_alloc();
    if (r.Failed) throw EImageError(r.Kind, r.Text);
    return std::move(r.Picture);
}

const TDicomModule& ProgramModule(const QString& file) { return OpenDicomModule(DicomModulePath(), file); }

} // namespace

const TDicomModule& OpenDicomModule(const std::string& path, const QString& file) {
    std::string error;
    const auto* module = static_cast<const TDicomModule*>(LoadModule(path, kDicomModuleEntry, error));
    if (module == nullptr) Unusable(file, path, QString::fromLocal8Bit(error.c_str()));
    if (module->Abi != kDicomModuleAbi) Unusable(file, path, QStringLiteral("it belongs to another version of Kelvo"));
    return *module;
}

std::string DicomModulePath() { return ModulePath("kelvo_dicom.so"); }

TPicture LoadDicomFile(const QString& path, const QString& name, const TLoadLimits& limits) {
    return Unpack(ProgramModule(name).LoadFile(path, name, limits));
}

TPicture LoadDicomBytes(const uint8_t* data, size_t size, const QString& name, const TLoadLimits& limits) {
    return Unpack(ProgramModule(name).LoadBytes(data, size, name, limits));
}

TDicomHeader ReadDicomHeader(const QString& path) { return ProgramModule(path).ReadHeader(path); }

TDicomDirectory ReadDicomDirectory(const QString& path) { return ProgramModule(path).ReadDirectory(path); }

} // namespace kelvo::imaging
