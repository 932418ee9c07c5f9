// Fuzzes the DICOM loader with whole files in memory: any input either loads into a
// consistent picture or is refused with an EImageError - never a crash, a hang or an
// allocation the header alone asked for.
#include "imaging/loader.h"
#include "support/fuzz_support.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kelvo::imaging;
    TLoadLimits limits;
    limits.MaxDecodedBytes = 64u << 20;
    try {
        const TPicture p = LoadDicomBytes(data, size, QStringLiteral("fuzz.dcm"), limits);
        const size_t expected = p.SamplesPerFrame() * size_t(p.Frames()) * SampleBytes(p.SampleType());
        FUZZ_CHECK(p.DataBytes() == expected, std::to_string(p.DataBytes()) + " vs " + std::to_string(expected));
        FUZZ_CHECK(p.Frames() >= 1 && p.Width() >= 1 && p.Height() >= 1, "empty picture loaded");
        FUZZ_CHECK(p.MinValue() <= p.MaxValue(), "range");
        const QImage first = p.Render(0, p.DefaultWindow());
        FUZZ_CHECK(first.width() == p.Width() && first.height() == p.Height(), "render size");
        // A window of any width, also a silly one, renders without fault.
        (void)p.Render(p.Frames() - 1, TWindow{-1e300, 0.0});
        (void)p.ModalityValue(0, p.Width() - 1, p.Height() - 1);
    } catch (const EImageError& e) {
        FUZZ_CHECK(!e.Text().isEmpty(), "a refusal without a message");
    }
    return 0;
}
