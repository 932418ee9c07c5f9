// Shared helpers of the fuzz targets: a check that stops the run with a message,
// a case-insensitive comparison written apart from the library's, and a small PRNG.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace kelvo::fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* what, const std::string& detail) {
    std::fprintf(stderr, "\n*** FUZZ CHECK FAILED %s:%d: %s\n%s\n", file, line, what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

// Abort with a message when cond is false; libFuzzer records the input as a crash.
#define FUZZ_CHECK(cond, detail)                                                                                       \
    do {                                                                                                               \
        if (!(cond)) ::kelvo::fuzz::Fail(__FILE__, __LINE__, #cond, (detail));                                         \
    } while (0)

// The value of one base64 digit (RFC 4648 alphabet), or -1 for any other character.
inline int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The lines of a text made of CR LF-terminated lines, without their ends; a text
// whose last line has no CR LF fails the run.
inline std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        FUZZ_CHECK(end != std::string::npos, "text does not end in CR LF");
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// Printable rendering of bytes for failure messages (at most `max` bytes).
inline std::string Show(const std::string& s, size_t max = 200) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size() && i < max; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 32 && c < 127 && c != '\\' && c != '"') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    if (s.size() > max) out += "...(" + std::to_string(s.size()) + " bytes)";
    return out + "\"";
}

// ASCII-only case folding, as the "C" locale the targets run in does it.
inline int FoldCompare(const std::string& a, const std::string& b) {
    auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const int ca = fold(static_cast<unsigned char>(a[i]));
        const int cb = fold(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

// splitmix64: decisions derived from one seed of the input, so a crash input replays exactly.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. n-1 (n > 0)
    uint64_t Below(uint64_t n) { return Next() % n; }

private:
    uint64_t state_;
};

} // namespace kelvo::fuzz
