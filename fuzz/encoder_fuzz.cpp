// Fuzzes the attachment encoder: every input, in base64 and in uuencode, directly
// or through buffered streams as the composer uses it, must give lines of the
// documented shape that an independent decoder turns back into the input.
#include "mail/uu_processor.h"
#include "net/buffer_stream.h"
#include "support/fuzz_support.h"

#include <string>
#include <vector>

namespace {

using kelvo::fuzz::Base64Value;
using kelvo::fuzz::Show;
using kelvo::fuzz::SplitCrLf;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines = SplitCrLf(text);
    FUZZ_CHECK(text.find_first_of("\r\n") == std::string::npos || text.size() >= 2, "stray line break");
    return lines;
}

std::string DecodeBase64(const std::string& text, size_t inputSize) {
    const std::vector<std::string> lines = Lines(text);
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        FUZZ_CHECK(!line.empty() && line.size() % 4 == 0 && line.size() <= 60, "base64 line " + Show(line));
        if (i + 1 < lines.size()) FUZZ_CHECK(line.size() == 60, "short base64 line before the last");
        for (size_t g = 0; g < line.size(); g += 4) {
            const bool last = i + 1 == lines.size() && g + 4 == line.size();
            int v[4];
            int pads = 0;
            for (int k = 0; k < 4; ++k) {
                const char c = line[g + static_cast<size_t>(k)];
                if (c == '=' && last && k >= 2) {
                    v[k] = 0;
                    ++pads;
                    continue;
                }
                FUZZ_CHECK(pads == 0, "data after padding in " + Show(line));
                v[k] = Base64Value(c);
                FUZZ_CHECK(v[k] >= 0, "not base64: " + Show(line));
            }
            const uint32_t w = (static_cast<uint32_t>(v[0]) << 18) | (static_cast<uint32_t>(v[1]) << 12) |
                               (static_cast<uint32_t>(v[2]) << 6) | static_cast<uint32_t>(v[3]);
            out += static_cast<char>(w >> 16);
            if (pads < 2) out += static_cast<char>((w >> 8) & 0xFF);
            if (pads < 1) out += static_cast<char>(w & 0xFF);
            // Padding bits must be zero, or strict decoders refuse the text.
            if (pads == 2) FUZZ_CHECK((w & 0xFFFF) == 0, "non-zero padding bits");
            if (pads == 1) FUZZ_CHECK((w & 0xFF) == 0, "non-zero padding bits");
        }
    }
    FUZZ_CHECK(lines.size() == (inputSize + 44) / 45, "base64 line count " + std::to_string(lines.size()));
    return out;
}

int UuValue(char c) {
    if (c == '`') return 0;
    FUZZ_CHECK(c > ' ' && c <= '_', std::string("not a uuencode character: ") + Show(std::string(1, c)));
    return c - 32;
}

std::string DecodeUu(const std::string& text, size_t inputSize) {
    const std::vector<std::string> lines = Lines(text);
    FUZZ_CHECK(!lines.empty() && lines.back() == "`", "uuencode text does not end with the grave-accent line");
    std::string out;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        FUZZ_CHECK(!line.empty(), "empty uuencode line");
        const int n = UuValue(line[0]);
        FUZZ_CHECK(n >= 1 && n <= 45, "uuencode length " + std::to_string(n));
        if (i + 2 < lines.size()) FUZZ_CHECK(n == 45, "short uuencode line before the last");
        // Whole groups of four characters, and a final group only as long as it needs.
        const size_t want = 1 + static_cast<size_t>(n / 3) * 4 + (n % 3 == 0 ? 0 : static_cast<size_t>(n % 3) + 1);
        FUZZ_CHECK(line.size() == want, "uuencode line of " + std::to_string(line.size()) + " characters for " +
                                            std::to_string(n) + " bytes");
        std::string bytes;
        for (size_t g = 1; g < line.size(); g += 4) {
            uint32_t w = 0;
            for (size_t k = 0; k < 4; ++k)
                w = (w << 6) | static_cast<uint32_t>(g + k < line.size() ? UuValue(line[g + k]) : 0);
            bytes += static_cast<char>(w >> 16);
            bytes += static_cast<char>((w >> 8) & 0xFF);
            bytes += static_cast<char>(w & 0xFF);
        }
        out += bytes.substr(0, static_cast<size_t>(n));
    }
    FUZZ_CHECK(lines.size() == (inputSize + 44) / 45 + 1, "uuencode line count " + std::to_string(lines.size()));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const kelvo::UUMethods method = (flags & 1) ? kelvo::uuCode : kelvo::uuMime;
    const bool buffered = (flags & 2) != 0;

    kelvo::TMemoryStream inMemory;
    inMemory.WriteString(input);
    kelvo::TMemoryStream outMemory;
    // Output after existing text, as the composer appends to its body.
    const std::string prefix = (flags & 4) ? "prefix\r\n" : "";
    outMemory.WriteString(prefix);
    int begins = 0, ends = 0;
    {
        kelvo::TS_BufferStream inBuffered(inMemory);
        kelvo::TS_BufferStream outBuffered(outMemory);
        kelvo::TKivUUProcessor encoder;
        encoder.SetMethod(method);
        encoder.InputStream = buffered ? static_cast<kelvo::TStream*>(&inBuffered) : &inMemory;
        encoder.OutputStream = buffered ? static_cast<kelvo::TStream*>(&outBuffered) : &outMemory;
        encoder.OnBeginEncode = [&](kelvo::TKivUUProcessor&) { ++begins; };
        encoder.OnEndEncode = [&](kelvo::TKivUUProcessor&) { ++ends; };
        encoder.Encode();
        FUZZ_CHECK(encoder.OutputStream->Position() == 0, "output not rewound");
        FUZZ_CHECK(encoder.InputStream->Position() == static_cast<int64_t>(input.size()), "input not at its end");
    }
    FUZZ_CHECK(begins == 1 && ends == 1, "events " + std::to_string(begins) + "/" + std::to_string(ends));
    const std::string all = outMemory.DataString();
    FUZZ_CHECK(all.compare(0, prefix.size(), prefix) == 0, "text before the output was overwritten");
    const std::string text = all.substr(prefix.size());
    const std::string decoded =
        method == kelvo::uuMime ? DecodeBase64(text, input.size()) : DecodeUu(text, input.size());
    FUZZ_CHECK(decoded == input, "round trip lost data: " + std::to_string(input.size()) + " bytes in, " +
                                     std::to_string(decoded.size()) + " back");
    return 0;
}
