// Quoted-printable lines, RFC 2047 encoded words and RFC 2231 parameters for message text.
#include "mail/mime_text.h"

#include "platform/string_list.h"

#include <cstdint>

namespace kelvo {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr size_t kQpLine = 76;
constexpr size_t kEncodedWord = 75;

std::string Escaped(unsigned char c) { return {'=', kHex[c >> 4], kHex[c & 15]}; }

} // namespace

bool IsSevenBitClean(const std::string& text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 0 || u >= 0x80) return false;
    }
    return true;
}

std::string QuotedPrintableLine(const std::string& line) {
    std::string out;
    std::string cur;
    const auto token = [&](size_t i, bool atStart) -> std::string {
        const auto c = static_cast<unsigned char>(line[i]);
        const bool last = i + 1 == line.size();
        if (c == '.' && atStart) return Escaped(c);
        // Blanks at the end of a line are dropped by transports (RFC 2045 §6.7 rule 3).
        if ((c == ' ' || c == '\t') && !last) return std::string(1, static_cast<char>(c));
        if (c >= 33 && c <= 126 && c != '=') return std::string(1, static_cast<char>(c));
        return Escaped(c);
    };
    for (size_t i = 0; i < line.size(); ++i) {
        std::string tok = token(i, cur.empty());
        // Room for the soft break's '=' within the 76 characters.
        if (cur.size() + tok.size() > kQpLine - 1) {
            out += cur;
            out += "=\r\n";
            cur.clear();
            tok = token(i, true);
        }
        cur += tok;
    }
    out += cur;
    out += "\r\n";
    return out;
}

std::string Base64(const std::string& bytes) {
    static constexpr char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    // The final size at once: credentials go through here, and no reallocation may
    // leave a part of their encoding behind in freed memory.
    out.reserve(4 * ((bytes.size() + 2) / 3));
    size_t i = 0;
    const auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (b(i) << 16) | (b(i + 1) << 8) | b(i + 2);
        out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], a[v & 63]};
    }
    if (bytes.size() - i == 1) {
        const uint32_t v = b(i) << 16;
        out += {a[v >> 18], a[(v >> 12) & 63], '=', '='};
    } else if (bytes.size() - i == 2) {
        const uint32_t v = (b(i) << 16) | (b(i + 1) << 8);
        out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], '='};
    }
    return out;
}

std::string EncodedWords(const std::string& text, const std::string& charset) {
    const std::string prefix = "=?" + charset + "?B?";
    const size_t overhead = prefix.size() + 2;
    // Bytes per word: the largest multiple of 3 whose base64 fits beside the overhead.
    const size_t room = kEncodedWord > overhead + 4 ? (kEncodedWord - overhead) / 4 * 3 : 3;
    const bool utf8 = CompareText(charset, "utf-8") == 0 || CompareText(charset, "utf8") == 0;
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = std::min(text.size(), i + room);
        if (utf8) {
            // Never start the next word with a continuation byte.
            size_t cut = end;
            while (cut > i && cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
            if (cut > i) end = cut;
        }
        if (!out.empty()) out += ' ';
        out += prefix + Base64(text.substr(i, end - i)) + "?=";
        i = end;
    }
    return out;
}

std::string QuotedParameterValue(const std::string& value) {
    std::string out = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

namespace {

// The text with every byte that starts no valid UTF-8 sequence replaced by U+FFFD: a
// file name is bytes, and a parameter labelled utf-8 must hold UTF-8 to be read.
std::string ValidUtf8(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = n > 0 && i + n <= text.size();
        for (size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (ok && n >= 2) {
            // No overlong forms, no surrogates, nothing beyond U+10FFFF.
            uint32_t cp = c & (0x7F >> n);
            for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
            static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
            ok = cp >= kLeast[n] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        }
        if (ok) {
            out.append(text, i, n);
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

bool HasControl(const std::string& text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 32 || c == 127) return true;
    return false;
}

} // namespace

std::string MimeParameter(const std::string& name, const std::string& raw) {
    // Control characters are no text in a quoted string either (RFC 5322 §3.2.4).
    if (IsSevenBitClean(raw) && !HasControl(raw)) return name + "=" + QuotedParameterValue(raw);
    const std::string value = ValidUtf8(raw);
    // RFC 2231 §4: attribute-char excludes specials, '*', ''', '%' and blanks.
    static constexpr char kSpecials[] = "()<>@,;:\\\"/[]?=*'% ";
    std::string out = name + "*=utf-8''";
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        bool plain = u > 32 && u < 127;
        for (const char* s = kSpecials; plain && *s; ++s)
            if (*s == c) plain = false;
        if (plain)
            out += c;
        else
            out += "%" + std::string{kHex[u >> 4], kHex[u & 15]};
    }
    return out;
}

} // namespace kelvo
