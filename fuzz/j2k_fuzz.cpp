// Fuzzes the JPEG 2000 decoder through the loader: the input is a small DICOM header
// followed by a codestream, which becomes the file's one fragment (or two frames' worth).
// Any input either loads into a picture of the header's size or is refused with an
// EImageError - never a crash, a hang or an allocation the codestream alone asked for.
//
// Input: columns, rows (16-bit little endian), flags, bits stored, then the codestream.
// Flags: 1 three samples, 2 signed, 4 16 bits allocated (else 8), 8 YBR_RCT (else RGB
// for colour), 16 two frames of the same codestream, 32 the codestream in two fragments.
#include "imaging/loader.h"
#include "support/fuzz_support.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr size_t kPrefix = 6;

void AddFragment(DcmPixelSequence* seq, const uint8_t* data, size_t size) {
    auto* item = new DcmPixelItem(DCM_PixelItemTag);
    (void)item->putUint8Array(data, Uint32(size));
    (void)seq->insert(item);
}

// The DICOM file's bytes, or empty when DCMTK cannot write it.
std::vector<char> DicomFile(const uint8_t* data, size_t size) {
    const uint16_t columns = uint16_t(data[0] | data[1] << 8);
    const uint16_t rows = uint16_t(data[2] | data[3] << 8);
    const uint8_t flags = data[4];
    const uint16_t samples = (flags & 1) != 0 ? 3 : 1;
    const uint16_t allocated = (flags & 4) != 0 ? 16 : 8;
    const uint16_t stored = data[5] == 0 || data[5] > allocated ? allocated : data[5];
    const int frames = (flags & 16) != 0 ? 2 : 1;
    const uint8_t* codestream = data + kPrefix;
    const size_t length = size - kPrefix;

    DcmFileFormat file;
    DcmDataset* ds = file.getDataset();
    (void)ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    (void)ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.3.4");
    (void)ds->putAndInsertUint16(DCM_Rows, rows);
    (void)ds->putAndInsertUint16(DCM_Columns, columns);
    (void)ds->putAndInsertUint16(DCM_SamplesPerPixel, samples);
    (void)ds->putAndInsertString(DCM_PhotometricInterpretation,
                                 samples == 1 ? "MONOCHROME2" : ((flags & 8) != 0 ? "YBR_RCT" : "RGB"));
    (void)ds->putAndInsertUint16(DCM_BitsAllocated, allocated);
    (void)ds->putAndInsertUint16(DCM_BitsStored, stored);
    (void)ds->putAndInsertUint16(DCM_HighBit, uint16_t(stored - 1));
    (void)ds->putAndInsertUint16(DCM_PixelRepresentation, (flags & 2) != 0 ? 1 : 0);
    (void)ds->putAndInsertString(DCM_NumberOfFrames, std::to_string(frames).c_str());
    auto* seq = new DcmPixelSequence(DCM_PixelSequenceTag);
    AddFragment(seq, nullptr, 0);
    for (int f = 0; f < frames; ++f) {
        const size_t half = (flags & 32) != 0 ? length / 2 & ~size_t(1) : length;
        AddFragment(seq, codestream, half);
        if (half < length) AddFragment(seq, codestream + half, length - half);
    }
    auto* pixels = new DcmPixelData(DCM_PixelData);
    pixels->putOriginalRepresentation(EXS_JPEG2000LosslessOnly, nullptr, seq);
    (void)ds->insert(pixels);

    std::vector<char> bytes(size * 2 + 4096);
    DcmOutputBufferStream out(bytes.data(), offile_off_t(bytes.size()));
    file.transferInit();
    const OFCondition c = file.write(out, EXS_JPEG2000LosslessOnly, EET_ExplicitLength, nullptr);
    file.transferEnd();
    if (c.bad()) return {};
    void* written = nullptr;
    offile_off_t count = 0;
    out.flushBuffer(written, count);
    bytes.resize(size_t(count));
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kelvo::imaging;
    if (size < kPrefix || size > (1u << 20)) return 0;
    const std::vector<char> file = DicomFile(data, size);
    if (file.empty()) return 0;
    TLoadLimits limits;
    limits.MaxDecodedBytes = 64u << 20;
    try {
        const TPicture p = LoadDicomBytes(reinterpret_cast<const uint8_t*>(file.data()), file.size(),
                                          QStringLiteral("fuzz.dcm"), limits);
        FUZZ_CHECK(p.Width() == (data[0] | data[1] << 8) && p.Height() == (data[2] | data[3] << 8),
                   "a picture of another size than the header's");
        FUZZ_CHECK(p.MinValue() <= p.MaxValue(), "range");
        (void)p.Render(p.Frames() - 1, p.DefaultWindow());
    } catch (const EImageError& e) {
        FUZZ_CHECK(!e.Text().isEmpty(), "a refusal without a message");
    }
    return 0;
}
