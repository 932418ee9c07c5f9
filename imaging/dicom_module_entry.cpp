// The DICOM module's entry point: the reader's functions behind a table the program looks up by name.
#include "imaging/dicom_loader.h"
#include "imaging/dicom_module.h"
#include "imaging/dicom_reader_dictionary.h"

#include <new>

namespace kelvo::imaging {

namespace {

template <typename Load>
TDicomResult Catching(Load load) {
    TDicomResult r;
    try {
        r.Picture = load();
    } catch (const EImageError& e) {
        r.Failed = true;
        r.Kind = e.Kind();
        r.Text = e.Text();
    } catch (const std::bad_alloc&) {
        r.Failed = true;
        r.OutOfMemory = true;
    }
    return r;
}

TDicomResult LoadFileEntry(const QString& path, const QString& name, const TLoadLimits& limits) {
    return Catching([&] { return LoadDicomFile(path, name, limits); });
}

TDicomResult LoadBytesEntry(const uint8_t* data, size_t size, const QString& name, const TLoadLimits& limits) {
    return Catching([&] { return LoadDicomBytes(data, size, name, limits); });
}

const TDicomModule kModule{kDicomModuleAbi, &LoadFileEntry, &LoadBytesEntry, &ReadDicomHeader, &ReadDicomDirectory};

} // namespace

} // namespace kelvo::imaging

extern "C" __attribute__((visibility("default"))) const kelvo::imaging::TDicomModule* kelvo_dicom_module() {
    kelvo::imaging::AddReaderDictionary();
    return &kelvo::imaging::kModule;
}
