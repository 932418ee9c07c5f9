// DCMTK's JPEG and JPEG-LS decoders and the JPEG 2000 one over OpenJPEG, registered with the first compressed file: DCMTK's libraries are a quarter of the DICOM reader's loading time, which files without compression need not pay.
#pragma once

#include <QString>

namespace kelvo::imaging {

// Registers the decoders once per process (in the program: by loading the codec module
// that lies beside the DICOM module). Raises EImageError naming `file` when the module
// is missing.
void RegisterCompressedCodecs(const QString& file);

// The codec module's exported function: registers the decoders, once.
inline constexpr const char* kDicomCodecsEntry = "kelvo_dicom_codecs";

} // namespace kelvo::imaging
