// The DICOM module's side of the codec module: found beside the DICOM module itself, loaded with the first compressed file.
#include "imaging/dicom_codecs.h"

#include "imaging/errors.h"
#include "platform/module.h"

#include <dlfcn.h>

#include <string>

namespace kelvo::imaging {

namespace {

std::string CodecModulePath() {
    Dl_info self{};
    if (::dladdr(reinterpret_cast<void*>(&RegisterCompressedCodecs), &self) == 0 || self.dli_fname == nullptr) {
        return "kelvo_dicom_codecs.so";
    }
    const std::string module = self.dli_fname;
    return module.substr(0, module.rfind('/') + 1) + "kelvo_dicom_codecs.so";
}

} // namespace

void RegisterCompressedCodecs(const QString& file) {
    const std::string path = CodecModulePath();
    std::string error;
    if (LoadModule(path, kDicomCodecsEntry, error) == nullptr) {
        throw EImageError(
            TLoadError::UnsupportedSyntax,
            LoadErrorText(TLoadError::UnsupportedSyntax, file,
                          QStringLiteral("the decoders %1 cannot be used: %2")
                              .arg(QString::fromLocal8Bit(path.c_str()), QString::fromLocal8Bit(error.c_str()))));
    }
}

} // namespace kelvo::imaging
