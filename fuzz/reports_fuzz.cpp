// Fuzzes the report reader with whole files in memory: any input either reads into shapes
// within the image it names or is refused with an EReportError - never a crash or a hang.
#include "reports/reports.h"
#include "support/fuzz_support.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kelvo::reports;
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    // The first reading is free, the second bounded by an image of 512 x 512 pixels.
    for (const bool bounded : {false, true}) {
        try {
            std::vector<TReportTarget> targets;
            if (bounded) {
                const TReadReport all = ReadReport(bytes, QStringLiteral("fuzz.dcm"));
                for (const TReportShapes& s : all.Images) targets.push_back({s.SopInstanceUid, 512, 512, 4});
                if (targets.empty()) break;
            }
            const TReadReport read = ReadReport(bytes, QStringLiteral("fuzz.dcm"), targets);
            for (const TReportShapes& s : read.Images) {
                FUZZ_CHECK(s.Values.size() == s.Shapes.size() || s.Values.empty() || read.Kind == TReportKind::PresentationState,
                           "values not parallel to shapes");
                for (const kelvo::TAnnotation& a : s.Shapes) {
                    FUZZ_CHECK(!a.Points.empty(), "a shape without points");
                    for (const kelvo::TPoint p : a.Points) {
                        FUZZ_CHECK(!bounded || (p.X >= 0 && p.Y >= 0 && p.X <= 512 && p.Y <= 512),
                                   std::to_string(p.X) + "," + std::to_string(p.Y));
                    }
                }
            }
        } catch (const EReportError& e) {
            FUZZ_CHECK(!e.Text().isEmpty(), "a refusal without a message");
        }
    }
    return 0;
}
