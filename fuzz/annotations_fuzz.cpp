// Fuzzes the annotation file reader: any input either loads into shapes within every
// bound the writer keeps, which save and load again unchanged, or is refused with an
// EAnnotationError that says why - never a crash or a hang.
#include "canvas/annotations.h"
#include "support/fuzz_support.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kelvo;
    const QByteArray json(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        const std::vector<TAnnotation> shapes = AnnotationsFromJson(json, QStringLiteral("fuzz.kelvo.json"));
        for (const TAnnotation& a : shapes) {
            FUZZ_CHECK(a.Width >= 1 && a.Width <= kMaxPenWidth, std::to_string(a.Width));
            FUZZ_CHECK(a.RoiNumber >= 0 && a.RoiNumber <= kMaxRoiNumber, std::to_string(a.RoiNumber));
            FUZZ_CHECK(a.Points.size() >= 2, "too few points");
            for (const TPoint& p : a.Points) {
                FUZZ_CHECK(std::abs(p.X) <= kMaxImageCoordinate && std::abs(p.Y) <= kMaxImageCoordinate, "coordinate");
            }
            FUZZ_CHECK(MakeShape(a) != nullptr, "no shape for a record");
        }
        FUZZ_CHECK(AnnotationsFromJson(AnnotationsToJson(shapes), QStringLiteral("again")) == shapes,
                   "a loaded file does not survive saving");
    } catch (const EAnnotationError& e) {
        FUZZ_CHECK(!e.Text().isEmpty(), "a refusal without a message");
    }
    return 0;
}
