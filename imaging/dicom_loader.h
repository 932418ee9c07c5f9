// The DICOM reader behind LoadPicture, for the loader's own dispatch.
#pragma once

#include "imaging/loader.h"

namespace kelvo::imaging {

// Reads a DICOM file (with or without preamble); `name` is used in messages.
TPicture LoadDicomFile(const QString& path, const QString& name, const TLoadLimits& limits);

} // namespace kelvo::imaging
