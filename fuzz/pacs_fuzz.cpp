// Fuzzes what the PACS library reads from a server: DICOM JSON search and store answers
// must parse or be refused with an EPacsError, never crash; a multipart body read in
// random pieces must give the same parts and the same end (or failure kind) as when read
// whole, its parts never holding more bytes than the body, and the reader's buffer
// bounded whatever the parts' sizes.
// Input: byte 0 picks the target (even: multipart, odd: JSON), bytes 1-8 seed the
// pieces; the rest is the body, read with the boundary "fz".
#include "pacs/dicom_json.h"
#include "pacs/errors.h"
#include "pacs/multipart.h"
#include "support/fuzz_support.h"

#include <QByteArray>

#include <cstring>
#include <optional>
#include <vector>

namespace {

using kelvo::fuzz::Rng;
using kelvo::pacs::EPacsError;
using kelvo::pacs::TPacsError;

struct Outcome {
    std::vector<QByteArray> parts;
    std::optional<TPacsError> error;
};

// Reads `body` in pieces drawn from `rng` (the whole body at once when rng is null).
Outcome Read(const QByteArray& body, Rng* rng) {
    Outcome out;
    kelvo::pacs::TMultipartReader reader("fz", 1 << 16);
    reader.OnPartBegin = [&](const kelvo::pacs::THeaderFields&) { out.parts.emplace_back(); };
    reader.OnPartData = [&](const char* d, qsizetype n) {
        FUZZ_CHECK(!out.parts.empty(), "data before a part began");
        out.parts.back().append(d, n);
    };
    try {
        qsizetype at = 0;
        while (at < body.size()) {
            const qsizetype n = rng ? std::min<qsizetype>(body.size() - at, 1 + rng->Below(64)) : body.size();
            reader.Feed(body.constData() + at, n);
            at += n;
        }
        reader.Finish();
    } catch (const EPacsError& e) {
        out.error = e.PacsKind();
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    uint64_t seed = 0;
    std::memcpy(&seed, data + 1, 8);
    const QByteArray body(reinterpret_cast<const char*>(data) + 9, static_cast<qsizetype>(size - 9));
    if (data[0] & 1) {
        for (int which = 0; which < 2; ++which) {
            try {
                if (which == 0) {
                    for (const auto& row : kelvo::pacs::ParseStudies(body))
                        FUZZ_CHECK(!row.StudyUid.isEmpty(), "a study row without its UID");
                } else {
                    kelvo::pacs::ParseStoreResponse(body);
                }
            } catch (const EPacsError& e) {
                FUZZ_CHECK(e.PacsKind() == TPacsError::BadResponse, "a JSON answer refused with another kind");
            }
        }
        return 0;
    }
    Rng rng(seed);
    const Outcome whole = Read(body, nullptr);
    const Outcome pieces = Read(body, &rng);
    FUZZ_CHECK(whole.error == pieces.error, "the end differs between whole and piecewise reading");
    // A failure found at the end of a piece may come with a part less filled in; the
    // parts before it agree.
    if (!whole.error) FUZZ_CHECK(whole.parts == pieces.parts, "the parts differ between whole and piecewise reading");
    qsizetype total = 0;
    for (const QByteArray& p : whole.parts) total += p.size();
    FUZZ_CHECK(total <= body.size(), "parts hold more bytes than the body");
    return 0;
}
