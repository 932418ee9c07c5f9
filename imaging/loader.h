// Loading a picture file into a TPicture: DICOM through DCMTK, other formats through Qt's readers.
#pragma once

#include "imaging/errors.h"
#include "imaging/picture.h"

#include <QImage>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>

namespace kelvo::imaging {

struct TLoadLimits {
    // The most memory the decoded values of one file may take. A header alone never
    // makes the loader allocate more than this.
    uint64_t MaxDecodedBytes = uint64_t(2) << 30;
};

// Loads the file; throws EImageError with a user-facing message on any failure.
TPicture LoadPicture(const QString& path, const TLoadLimits& limits = {});
// Starts LoadPicture on a worker thread, for a caller with other work to do meanwhile
// (the program builds its windows while the file named on its command line loads).
// get() gives the picture or rethrows the loader's error. `first`, when given, runs on
// the worker before anything else; the loading uses Qt, so a worker started before the
// application object exists has `first` wait for it.
std::future<TPicture> LoadPictureAsync(const QString& path, const TLoadLimits& limits = {},
                                       std::function<void()> first = {});
// Has DCMTK use the reader's own data dictionary, DCMTK's entries for what the reader
// looks at, which the DICOM module carries and adds when it is loaded: the program
// never shows the names of other tags, and the whole dictionaries cost more than the
// rest of opening a small file. A DCMDICTPATH set by the user is kept (the module then
// adds only entries it lacks). It sets the environment, so it must run before the
// process starts other threads, and before DCMTK is used other than through the module.
void PreferReaderDictionary();
// The grey levels of a picture whose pixels are all grey (QImage::isGrayscale), as a
// MONOCHROME2 picture of 8 bits, or 16 for a deep one, with its range: how a grey
// picture file is read, and what a plain grey picture is measured on.
TPicture GreyPicture(const QImage& source);
// Loads DICOM bytes held in memory (a whole file, with or without preamble and meta
// header); `name` is used in messages.
TPicture LoadDicomBytes(const uint8_t* data, size_t size, const QString& name, const TLoadLimits& limits = {});

} // namespace kelvo::imaging
