// Fuzzes the message composition with random TPostMessage fields and attachment
// files. Whatever the fields hold, the data that goes out after DATA must keep its
// shape: no bare CR or LF, no NUL in the body, a NUL in the header only where a field
// brought it (the session refuses to send such a header: its Write would stop at the
// NUL), no line "." before the end, a header block made only of the lines the composition
// writes, lines within 998 octets in the body, boundaries that occur only as
// delimiters, and text, file names and attachments that decode back to the input.
// Fields with line breaks must be refused with an exception, before anything is
// composed.
//
// With KELVO_FUZZ_DUMP=<dir> every message composed is also written there as it
// arrives (dots unstuffed) with what it should decode to, for
// fuzz/check_email.py, which reads them back with Python's email package.
#include "mail/composer.h"
#include "mail/header_text.h"
#include "mail/mime_text.h"
#include "platform/exceptions.h"
#include "support/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using kelvo::fuzz::Show;
using kelvo::fuzz::SplitCrLf;

std::string g_dir;     // where the attachment files are written
std::string g_dumpDir; // KELVO_FUZZ_DUMP
int g_dumped = 0;

struct Attachment {
    std::string name;
    std::string content;
    bool exists = true;
};

struct Input {
    std::string fromName, fromAddress, subject, localProgram, date, replyTo, charset;
    std::vector<std::string> to, cc, bcc, body;
    std::vector<Attachment> attachments;
    kelvo::TSubType subType = kelvo::mtPlain;
    kelvo::UUMethods encodeType = kelvo::uuMime;
};

std::string Field(FuzzedDataProvider& in, size_t max) {
    // Half the time printable text, so that most inputs get past the refusals.
    std::string s = in.ConsumeRandomLengthString(max);
    if (in.ConsumeBool())
        for (char& c : s)
            if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    return s;
}

std::vector<std::string> List(FuzzedDataProvider& in, int max, size_t len) {
    std::vector<std::string> out(in.ConsumeIntegralInRange<size_t>(0, static_cast<size_t>(max)));
    for (auto& s : out) s = Field(in, len);
    return out;
}

Input Read(FuzzedDataProvider& in) {
    Input m;
    m.fromName = Field(in, 30);
    m.fromAddress = Field(in, 30);
    m.subject = Field(in, 90);
    m.localProgram = Field(in, 20);
    m.date = Field(in, 20);
    m.replyTo = Field(in, 20);
    static const char* const charsets[] = {"us-ascii", "US-ASCII", "iso-8859-1", "utf-8"};
    // Charset is the program's setting, not user input, and nothing checks it beyond
    // line breaks: random ones keep to MIME token characters.
    if (in.ConsumeIntegralInRange<int>(0, 7) < 7) {
        m.charset = charsets[in.ConsumeIntegralInRange<int>(0, 3)];
    } else {
        for (char c : in.ConsumeRandomLengthString(12))
            if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') m.charset += c;
        if (m.charset.empty()) m.charset = "x";
    }
    m.subType = static_cast<kelvo::TSubType>(in.ConsumeIntegralInRange<int>(0, 4));
    m.encodeType = in.ConsumeBool() ? kelvo::uuCode : kelvo::uuMime;
    m.to = List(in, 3, 30);
    m.cc = List(in, 2, 30);
    m.bcc = List(in, 2, 30);
    const size_t lines = in.ConsumeIntegralInRange<size_t>(0, 8);
    for (size_t i = 0; i < lines; ++i) {
        std::string line = in.ConsumeRandomLengthString(100);
        if (in.ConsumeIntegralInRange<int>(0, 15) == 0) // now and then a line too long for SMTP
            while (!line.empty() && line.size() < 1200) line += line;
        m.body.push_back(line);
    }
    const size_t files = in.ConsumeIntegralInRange<size_t>(0, 3);
    for (size_t i = 0; i < files; ++i) {
        Attachment a;
        for (char c : in.ConsumeRandomLengthString(24))
            if (c != '/' && c != '\0') a.name += c;
        if (a.name.empty() || a.name == "." || a.name == "..") a.name = "f" + a.name;
        a.name = std::to_string(i) + a.name; // distinct files
        a.content = in.ConsumeRandomLengthString(200);
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
            while (!a.content.empty() && a.content.size() < 70000) a.content += a.content;
        a.exists = in.ConsumeIntegralInRange<int>(0, 15) != 0;
        m.attachments.push_back(a);
    }
    return m;
}

// A line break would start a header line of the sender's choosing.
bool HasBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }
bool HasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

// --- decoders, written apart from the composer ---

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string DecodeQuotedPrintable(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
            continue;
        }
        if (text.compare(i, 3, "=\r\n") == 0) {
            i += 2;
            continue;
        }
        FUZZ_CHECK(i + 2 < text.size() && Hex(text[i + 1]) >= 0 && Hex(text[i + 2]) >= 0,
                   "bad quoted-printable escape near " + Show(text.substr(i, 10)));
        out += static_cast<char>(Hex(text[i + 1]) * 16 + Hex(text[i + 2]));
        i += 2;
    }
    return out;
}

std::string DecodeBase64(const std::string& text) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == '=') continue;
        const int v = kelvo::fuzz::Base64Value(c);
        FUZZ_CHECK(v >= 0, "not base64: " + Show(std::string(1, c)));
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

std::string DecodeUu(const std::string& text) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        const std::string line = text.substr(start, end - start);
        start = end + 2;
        if (line == "`") break;
        FUZZ_CHECK(!line.empty(), "empty uuencode line");
        const int n = (line[0] - 32) & 63;
        std::string bytes;
        for (size_t g = 1; g < line.size(); g += 4) {
            uint32_t w = 0;
            for (size_t k = 0; k < 4; ++k)
                w = (w << 6) | (g + k < line.size() ? static_cast<uint32_t>((line[g + k] - 32) & 63) : 0u);
            bytes += {static_cast<char>(w >> 16), static_cast<char>((w >> 8) & 0xFF), static_cast<char>(w & 0xFF)};
        }
        FUZZ_CHECK(bytes.size() >= static_cast<size_t>(n), "uuencode line too short");
        out += bytes.substr(0, static_cast<size_t>(n));
    }
    return out;
}

// Undoes an unstructured header value: RFC 2047 "B" words separated by blanks, or plain text.
std::string DecodeHeaderText(const std::string& value) {
    if (value.rfind("=?", 0) != 0) return value;
    std::string out;
    size_t i = 0;
    while (i < value.size()) {
        FUZZ_CHECK(value.compare(i, 2, "=?") == 0, "encoded words broken at " + Show(value.substr(i, 20)));
        const size_t q1 = value.find('?', i + 2);
        FUZZ_CHECK(q1 != std::string::npos && value.compare(q1, 3, "?B?") == 0, "encoded word " + Show(value));
        const size_t end = value.find("?=", q1 + 3);
        FUZZ_CHECK(end != std::string::npos, "unterminated encoded word");
        FUZZ_CHECK(end + 2 - i <= 75,
                   "encoded word longer than 75 characters: " + Show(value.substr(i, end + 2 - i), 120));
        out += DecodeBase64(value.substr(q1 + 3, end - q1 - 3));
        i = end + 2;
        if (i < value.size()) {
            FUZZ_CHECK(value[i] == ' ', "encoded words not separated by a blank");
            ++i;
        }
    }
    return out;
}

// name="..." with quoted pairs, or name*=utf-8''%XX (RFC 2231).
std::string DecodeParameter(const std::string& text, const std::string& name) {
    if (text.rfind(name + "=\"", 0) == 0) {
        std::string out;
        size_t i = name.size() + 2;
        for (; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\') ++i;
            FUZZ_CHECK(i < text.size(), "quoted pair at the end");
            out += text[i];
        }
        FUZZ_CHECK(i + 1 == text.size(), "text after the quoted parameter: " + Show(text));
        return out;
    }
    const std::string prefix = name + "*=utf-8''";
    FUZZ_CHECK(text.rfind(prefix, 0) == 0, "parameter " + Show(text));
    std::string out;
    for (size_t i = prefix.size(); i < text.size(); ++i) {
        if (text[i] == '%') {
            FUZZ_CHECK(i + 2 < text.size() + 0 && Hex(text[i + 1]) >= 0 && Hex(text[i + 2]) >= 0, "bad %-escape");
            out += static_cast<char>(Hex(text[i + 1]) * 16 + Hex(text[i + 2]));
            i += 2;
        } else {
            FUZZ_CHECK(static_cast<unsigned char>(text[i]) > 32 && static_cast<unsigned char>(text[i]) < 127,
                       "raw byte in an extended parameter");
            out += text[i];
        }
    }
    return out;
}

// The text the message must carry: every Body entry split at its line breaks.
std::string ExpectedText(const std::vector<std::string>& body) {
    std::string out;
    for (const auto& entry : body) {
        std::string line;
        for (size_t i = 0; i < entry.size(); ++i) {
            if (entry[i] == '\r' || entry[i] == '\n') {
                out += line + "\r\n";
                line.clear();
                if (entry[i] == '\r' && i + 1 < entry.size() && entry[i + 1] == '\n') ++i;
            } else {
                line += entry[i];
            }
        }
        out += line + "\r\n";
    }
    return out;
}

bool NeedsQuotedPrintable(const std::string& text) {
    for (const auto& line : SplitCrLf(text))
        if (!kelvo::IsSevenBitClean(line) || line.size() > 998) return true;
    return false;
}

std::string CharsetFor(const std::string& charset, bool qp) {
    return qp && kelvo::fuzz::FoldCompare(charset, "us-ascii") == 0 ? "utf-8" : charset;
}

// Checks one text part (its own header lines already taken off) against the expected text.
void CheckText(const std::string& bytes, bool qp, const std::string& want, bool unstuffed = false) {
    if (qp) {
        for (const auto& line : SplitCrLf(bytes)) FUZZ_CHECK(line.size() <= 76, "quoted-printable line over 76");
        FUZZ_CHECK(DecodeQuotedPrintable(bytes) == want, "quoted-printable text does not decode to the body");
        return;
    }
    std::string text = bytes;
    if (!unstuffed) {
        text.clear();
        for (const auto& line : SplitCrLf(bytes)) text += (line.rfind('.', 0) == 0 ? line.substr(1) : line) + "\r\n";
    }
    FUZZ_CHECK(text == want, "text " + Show(text) + " does not give the body " + Show(want));
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ToHex(const std::string& s) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) out += {d[c >> 4], d[c & 15]};
    return out;
}

// A mailbox as RFC 5322 §3.4.1 wants it in its simplest form: dot-atom@dot-atom.
bool PlainMailbox(const std::string& a) {
    const size_t at = a.find('@');
    if (at == std::string::npos || a.find('@', at + 1) != std::string::npos) return false;
    auto dotAtom = [](const std::string& t) {
        if (t.empty() || t.front() == '.' || t.back() == '.' || t.find("..") != std::string::npos) return false;
        for (const char c : t)
            if (!std::isalnum(static_cast<unsigned char>(c)) &&
                std::string("!#$%&'*+-/=?^_`{|}~.").find(c) == std::string::npos)
                return false;
        return true;
    };
    return dotAtom(a.substr(0, at)) && dotAtom(a.substr(at + 1));
}

// True when every address field holds mailboxes a reader must accept: a plain
// mailbox, optionally behind a display name without '<', '>', '"' or '\'.
bool PlainAddresses(const Input& m) {
    auto entry = [](const std::string& e) {
        const size_t lt = e.find('<');
        if (lt == std::string::npos) return PlainMailbox(e);
        const std::string name = e.substr(0, lt);
        if (e.back() != '>' || name.find_first_of("<>\"\\") != std::string::npos || HasNul(name)) return false;
        for (const char c : name)
            if (static_cast<unsigned char>(c) < 32 && c != '\t') return false;
        return PlainMailbox(e.substr(lt + 1, e.size() - lt - 2));
    };
    if (!PlainMailbox(m.fromAddress)) return false;
    for (const auto* list : {&m.to, &m.cc})
        for (const auto& e : *list)
            if (!entry(e)) return false;
    for (const auto& e : kelvo::SplitAddressList(m.replyTo))
        if (!entry(e)) return false;
    return true;
}

void Dump(const Input& m, const std::string& wire) {
    // What the receiver stores: the data with the transparency dots taken off.
    std::string received;
    for (const auto& line : SplitCrLf(wire)) received += (line.rfind('.', 0) == 0 ? line.substr(1) : line) + "\r\n";
    const std::string base = g_dumpDir + "/" + std::to_string(getpid()) + "-" + std::to_string(g_dumped++);
    WriteFile(base + ".eml", received);
    std::string expect = "subject " + ToHex(m.subject) + "\nfromname " + ToHex(m.fromName) + "\nfromaddress " +
                         ToHex(m.fromAddress) + "\nencode " + (m.encodeType == kelvo::uuCode ? "uu" : "base64") +
                         "\ntext " + ToHex(ExpectedText(m.body)) + "\n";
    for (const auto& a : m.attachments) expect += "attachment " + ToHex(a.name) + " " + ToHex(a.content) + "\n";
    expect += std::string("plainaddresses ") + (PlainAddresses(m) ? "31" : "30") + "\ndate " + ToHex(m.date) + "\n";
    WriteFile(base + ".expect", expect);
}

// The data as it goes out after DATA: the header lines, two line ends, the body.
std::string Wire(const std::vector<std::string>& header, const std::string& body) {
    std::string wire;
    for (const auto& line : header) wire += line + "\r\n";
    return wire + "\r\n\r\n" + body;
}

// Transparency of the whole data. A NUL in the header block makes the session refuse
// the message; it may only come from a field written unencoded.
void CheckTransparency(const Input& m, const std::string& wire, const std::string& body) {
    FUZZ_CHECK(body.find('\0') == std::string::npos, "NUL in the body at " + std::to_string(body.find('\0')));
    bool rawNul = HasNul(m.fromAddress);
    for (const auto* list : {&m.to, &m.cc})
        for (const auto& e : *list) rawNul = rawNul || HasNul(e);
    if (!rawNul)
        FUZZ_CHECK(wire.find('\0') == std::string::npos, "NUL in the header at " + std::to_string(wire.find('\0')));
    for (size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] == '\r') FUZZ_CHECK(i + 1 < wire.size() && wire[i + 1] == '\n', "bare CR at " + std::to_string(i));
        if (wire[i] == '\n') FUZZ_CHECK(i > 0 && wire[i - 1] == '\r', "bare LF at " + std::to_string(i));
    }
    const std::vector<std::string> lines = SplitCrLf(wire);
    for (size_t i = 0; i < lines.size(); ++i) FUZZ_CHECK(lines[i] != ".", "a line \".\" at line " + std::to_string(i));
    for (size_t i = 0; i < body.size(); ++i)
        FUZZ_CHECK(static_cast<unsigned char>(body[i]) < 0x80, "8-bit byte in the body at " + std::to_string(i));
    for (const auto& line : SplitCrLf(body)) FUZZ_CHECK(line.size() <= 998, "body line over 998 octets");
}

// The names of the header fields the message calls for, in their order.
std::vector<std::string> ExpectedFieldNames(const Input& m, bool qp, bool multipart) {
    std::vector<std::string> names = {"From"};
    if (!m.to.empty()) names.push_back("To");
    if (!m.cc.empty()) names.push_back("CC");
    if (!m.subject.empty()) names.push_back("Subject");
    if (!m.localProgram.empty()) names.push_back("X-Mailer");
    if (!m.replyTo.empty() && !kelvo::SplitAddressList(m.replyTo).empty()) names.push_back("Reply-To");
    names.push_back("Date");
    names.push_back("Message-ID");
    names.push_back("Mime-Version");
    names.push_back("Content-Type");
    if (qp && !multipart) names.push_back("Content-Transfer-Encoding");
    return names;
}

// The header block: exactly the lines the fields call for, in their order, where a
// folded field spans several lines, each continuation starting with a blank.
void CheckHeaderLines(const std::vector<std::string>& header, const std::vector<std::string>& names,
                      const std::string& wire) {
    FUZZ_CHECK(header.size() == names.size(), "header has " + std::to_string(header.size()) +
                                                  " lines, fields call for " + std::to_string(names.size()));
    size_t headerLines = 0;
    for (const auto& h : header) {
        const std::vector<std::string> own = SplitCrLf(h + "\r\n");
        for (size_t k = 1; k < own.size(); ++k)
            FUZZ_CHECK(!own[k].empty() && (own[k][0] == ' ' || own[k][0] == '\t'),
                       "folded line without a blank: " + Show(own[k], 60));
        headerLines += own.size();
    }
    const std::vector<std::string> lines = SplitCrLf(wire);
    FUZZ_CHECK(lines.size() > headerLines + 1 && lines[headerLines].empty(),
               "header block does not end where it should");
    for (size_t i = 0; i < names.size(); ++i)
        FUZZ_CHECK(header[i].rfind(names[i] + ": ", 0) == 0,
                   "header line " + std::to_string(i) + " " + Show(header[i], 60) + " is not " + names[i]);
}

// Folded lines: none over 998 octets, none over 78 unless it has no blank to fold at.
void CheckFolding(const std::vector<std::string>& header) {
    for (const auto& h : header) {
        // A list entry the caller quoted is kept whole; only the fields written here
        // are held to the 78.
        const bool ours = h.rfind("Subject:", 0) == 0 || h.rfind("X-Mailer:", 0) == 0 || h.rfind("From:", 0) == 0;
        for (const auto& line : SplitCrLf(h + "\r\n")) {
            FUZZ_CHECK(line.size() <= 998, "header line of " + std::to_string(line.size()) + " octets");
            if (ours && line.size() > 78) {
                // The mailbox is the caller's and is never folded: blanks in it do not count.
                const std::string text = h.rfind("From:", 0) == 0 ? line.substr(0, line.rfind('<')) : line;
                const size_t start =
                    line.rfind("From: ", 0) == 0 || line.find(':') < line.find(' ') ? line.find(": ") + 2 : 1;
                const size_t blank = text.find_first_of(" \t", start);
                FUZZ_CHECK(blank == std::string::npos || text.find_first_not_of(" \t", blank) == std::string::npos,
                           "header line of " + std::to_string(line.size()) +
                               " octets with a place to fold: " + Show(line, 200));
            }
        }
    }
}

// The value of the first field called `name`, unfolded (RFC 5322 §2.2.3: CR LF before
// a blank is taken out); empty when there is none.
std::string FieldValue(const std::vector<std::string>& header, const std::string& name) {
    for (const auto& h : header) {
        if (h.rfind(name + ": ", 0) != 0) continue;
        std::string v = h.substr(name.size() + 2);
        for (size_t at = v.find("\r\n"); at != std::string::npos; at = v.find("\r\n", at)) v.erase(at, 2);
        return v;
    }
    return std::string();
}

// The From field ends in the mailbox, behind the name as encoded words, a quoted
// string or as given.
void CheckFrom(const Input& m, const std::string& from) {
    const std::string mailbox = "<" + m.fromAddress + ">";
    FUZZ_CHECK(from.size() >= mailbox.size() &&
                   from.compare(from.size() - mailbox.size(), mailbox.size(), mailbox) == 0,
               "From does not end in the mailbox");
    std::string fromName = from.substr(0, from.size() - mailbox.size());
    if (fromName.rfind("=?", 0) == 0) {
        FUZZ_CHECK(!fromName.empty() && fromName.back() == ' ', "encoded name not set apart from the mailbox");
        fromName.pop_back();
        // Cut at its own blanks, a long name's words stand apart: compare without them.
        auto solid = [](std::string t) {
            std::erase(t, ' ');
            return t;
        };
        FUZZ_CHECK(solid(DecodeHeaderText(fromName)) == solid(m.fromName), "FromName lost: " + Show(fromName));
    } else if (kelvo::PhraseNeedsQuotes(m.fromName)) {
        // A name with specials ('.', ',', '"', ...) must go out as a quoted string.
        FUZZ_CHECK(DecodeParameter("n=" + fromName, "n") == m.fromName, "FromName lost: " + Show(fromName));
    } else {
        FUZZ_CHECK(fromName == m.fromName, "FromName changed: " + Show(fromName));
    }
}

// Subject, X-Mailer, Date and From read back as they were given.
void CheckFieldValues(const Input& m, const std::vector<std::string>& header) {
    if (!m.subject.empty())
        FUZZ_CHECK(DecodeHeaderText(FieldValue(header, "Subject")) == m.subject,
                   "Subject lost: " + Show(FieldValue(header, "Subject")));
    if (!m.localProgram.empty())
        FUZZ_CHECK(DecodeHeaderText(FieldValue(header, "X-Mailer")) == m.localProgram,
                   "X-Mailer lost: " + Show(FieldValue(header, "X-Mailer")));
    if (!m.date.empty())
        FUZZ_CHECK(FieldValue(header, "Date") == m.date, "Date changed: " + Show(FieldValue(header, "Date")));
    CheckFrom(m, FieldValue(header, "From"));
}

// A message without attachments: its text type and charset, and the text itself.
void CheckSinglePart(const Input& m, const std::vector<std::string>& header, const std::string& body, bool qp,
                     const std::string& text) {
    static const char* const types[] = {"text/plain", "text/enriched", "text/sgml", "text/tab-separated-values",
                                        "text/html"};
    FUZZ_CHECK(FieldValue(header, "Content-Type") ==
                   std::string(types[m.subType]) + "; charset=" + CharsetFor(m.charset, qp),
               "Content-Type " + Show(FieldValue(header, "Content-Type")));
    if (qp)
        FUZZ_CHECK(FieldValue(header, "Content-Transfer-Encoding") == "quoted-printable",
                   "missing quoted-printable label");
    CheckText(body, qp, text);
    if (m.body.empty()) FUZZ_CHECK(body.empty(), "body without Body entries");
}

// The body split at its delimiter lines, as the receiver stores each part; nothing
// else may begin with the delimiter.
std::vector<std::string> SplitParts(const std::string& body, const std::string& boundary) {
    const std::string delimiter = "--" + boundary;
    std::vector<std::string> parts;
    std::string* part = nullptr;
    bool closed = false;
    for (const auto& line : SplitCrLf(body)) {
        FUZZ_CHECK(!closed, "text after the closing delimiter");
        if (line.rfind(delimiter, 0) == 0) {
            FUZZ_CHECK(line == delimiter || line == delimiter + "--",
                       "a line begins with the boundary: " + Show(line, 60));
            if (line == delimiter) {
                parts.emplace_back();
                part = &parts.back();
            } else {
                closed = true;
            }
            continue;
        }
        FUZZ_CHECK(part != nullptr, "text before the first delimiter");
        // The receiver takes the transparency dot off every line (RFC 5321 4.5.2).
        *part += (line.rfind('.', 0) == 0 ? line.substr(1) : line) + "\r\n";
    }
    FUZZ_CHECK(closed, "no closing delimiter");
    return parts;
}

// A part's header lines into `head`; returns its content.
std::string SplitPart(const std::string& p, std::vector<std::string>& head) {
    const size_t end = p.find("\r\n\r\n");
    FUZZ_CHECK(end != std::string::npos, "part without a header end");
    head = SplitCrLf(p.substr(0, end + 2));
    return p.substr(end + 4);
}

// Attachment i's part: its three header lines and its content, decoded.
void CheckAttachmentPart(const Input& m, size_t i, const std::string& part) {
    const Attachment& a = m.attachments[i];
    std::vector<std::string> head;
    const std::string encoded = SplitPart(part, head);
    FUZZ_CHECK(head.size() == 3, "attachment part header of " + std::to_string(head.size()) + " lines");
    const std::string ct = "Content-Type: application/octet-stream; ";
    FUZZ_CHECK(head[0].rfind(ct, 0) == 0, "attachment Content-Type " + Show(head[0]));
    // A name that is no UTF-8 goes out with U+FFFD where its bad bytes were.
    const auto sameName = [&](const std::string& got) {
        return got == a.name || got.find("\xEF\xBF\xBD") != std::string::npos;
    };
    FUZZ_CHECK(sameName(DecodeParameter(head[0].substr(ct.size()), "name")), "file name lost: " + Show(head[0]));
    const std::string cd = "Content-Disposition: attachment; ";
    FUZZ_CHECK(head[2].rfind(cd, 0) == 0, "Content-Disposition " + Show(head[2]));
    FUZZ_CHECK(sameName(DecodeParameter(head[2].substr(cd.size()), "filename")), "file name lost: " + Show(head[2]));
    const bool uu = m.encodeType == kelvo::uuCode;
    FUZZ_CHECK(head[1] == std::string("Content-Transfer-Encoding: ") + (uu ? "x-uuencode" : "base64"), Show(head[1]));
    std::string uuText = encoded;
    if (uu) {
        // Framed as x-uuencode: "begin 644 <name>", the lines, "`", "end".
        FUZZ_CHECK(uuText.rfind("begin 644 ", 0) == 0, "uuencoded part without its begin line");
        uuText.erase(0, uuText.find("\r\n") + 2);
        FUZZ_CHECK(uuText.size() >= 5 && uuText.compare(uuText.size() - 5, 5, "end\r\n") == 0,
                   "uuencoded part without its end line");
        uuText.erase(uuText.size() - 5);
    }
    const std::string decoded = uu ? DecodeUu(uuText) : DecodeBase64(encoded);
    FUZZ_CHECK(decoded == a.content, "attachment " + std::to_string(i + 1) +
                                         " lost: " + std::to_string(a.content.size()) + " bytes, decoded " +
                                         std::to_string(decoded.size()));
}

// A message with attachments: the boundary, the text part, one part per attachment.
void CheckMultipart(const Input& m, const std::string& boundary, const std::vector<std::string>& header,
                    const std::string& body, bool qp, const std::string& text) {
    FUZZ_CHECK(boundary.size() == 35 && boundary.rfind(std::string(20, '=') + "54535", 0) == 0,
               "boundary " + Show(boundary));
    FUZZ_CHECK(FieldValue(header, "Content-Type") == "multipart/mixed; boundary=\"" + boundary + "\"",
               "multipart Content-Type");
    const std::vector<std::string> parts = SplitParts(body, boundary);
    FUZZ_CHECK(parts.size() == 1 + m.attachments.size(), std::to_string(parts.size()) + " parts");
    std::vector<std::string> head;
    const std::string first = SplitPart(parts[0], head);
    FUZZ_CHECK(head.size() == (qp ? 2u : 1u) &&
                   head[0] == "Content-Type: text/plain; charset=" + CharsetFor(m.charset, qp),
               "text part header " + Show(head.empty() ? "" : head[0]));
    CheckText(first, qp, text, true);
    for (size_t i = 0; i < m.attachments.size(); ++i) CheckAttachmentPart(m, i, parts[i + 1]);
}

void CheckComposed(const Input& m, kelvo::TMailComposer& c) {
    const std::vector<std::string> header = c.FinalHeader().Items();
    const std::string body = c.BodyStream().DataString();
    const std::string wire = Wire(header, body);
    CheckTransparency(m, wire, body);

    const std::string text = ExpectedText(m.body);
    const bool qp = NeedsQuotedPrintable(text);
    const bool multipart = !m.attachments.empty();
    CheckHeaderLines(header, ExpectedFieldNames(m, qp, multipart), wire);
    CheckFolding(header);
    CheckFieldValues(m, header);
    if (multipart)
        CheckMultipart(m, c.Boundary(), header, body, qp, text);
    else
        CheckSinglePart(m, header, body, qp, text);
}

// Fills the composer with the input's message and writes the attachment files that
// exist; returns the attachment paths.
std::vector<std::string> Fill(const Input& m, kelvo::TMailComposer& c) {
    kelvo::TPostMessage& p = c.PostMessage();
    p.SetFromName(m.fromName);
    p.SetFromAddress(m.fromAddress);
    p.SetSubject(m.subject);
    p.SetLocalProgram(m.localProgram);
    p.SetDate(m.date);
    p.SetReplyTo(m.replyTo);
    for (const auto& s : m.to) p.ToAddress().Add(s);
    for (const auto& s : m.cc) p.ToCarbonCopy().Add(s);
    for (const auto& s : m.bcc) p.ToBlindCarbonCopy().Add(s);
    for (const auto& s : m.body) p.Body().Add(s);
    std::vector<std::string> paths;
    for (const auto& a : m.attachments) {
        paths.push_back(g_dir + "/" + a.name);
        if (a.exists) WriteFile(paths.back(), a.content);
        p.Attachments().Add(paths.back());
    }
    c.SetCharset(m.charset);
    c.SetSubType(m.subType);
    c.SetEncodeType(m.encodeType);
    return paths;
}

// A field with a line break, header text with a NUL, and a Date or Charset that is
// not US-ASCII must be refused.
bool MustBeRefused(const Input& m) {
    bool refused = HasBreak(m.fromName) || HasBreak(m.fromAddress) || HasBreak(m.subject) || HasBreak(m.localProgram) ||
                   HasBreak(m.date) || HasBreak(m.replyTo) || HasBreak(m.charset) || HasNul(m.fromName) ||
                   HasNul(m.subject) || HasNul(m.localProgram) || HasNul(m.replyTo) ||
                   !kelvo::IsSevenBitClean(m.date) || !kelvo::IsSevenBitClean(m.charset);
    for (const auto* list : {&m.to, &m.cc, &m.bcc})
        for (const auto& s : *list) refused = refused || HasBreak(s);
    for (const auto& a : m.attachments) refused = refused || HasBreak(a.name);
    return refused;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/kelvo-fuzz-composer-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    g_dir = tmpl;
    if (const char* dump = std::getenv("KELVO_FUZZ_DUMP")) g_dumpDir = dump;
    std::atexit([] {
        // Files are removed after every input; only the directory is left.
        rmdir(g_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const Input m = Read(in);

    kelvo::TMailComposer c;
    const std::vector<std::string> paths = Fill(m, c);
    std::vector<std::string> missing;
    c.OnAttachmentNotFound = [&](const std::string& f) { missing.push_back(f); };
    const bool refused = MustBeRefused(m);
    std::string firstMissing;
    for (size_t i = 0; i < m.attachments.size() && firstMissing.empty(); ++i)
        if (!m.attachments[i].exists) firstMissing = paths[i];

    bool raised = false;
    std::string message;
    try {
        c.BuildMessage();
    } catch (const kelvo::Exception& e) {
        raised = true;
        message = e.what();
    }
    for (const auto& path : paths) unlink(path.c_str());

    if (refused) {
        FUZZ_CHECK(raised &&
                       (message.find("Line break") != std::string::npos ||
                        message.find("NUL in") != std::string::npos || message.find("Non-ASCII") != std::string::npos),
                   "a field with a line break, a NUL or 8-bit text was not refused: " + Show(message));
        FUZZ_CHECK(missing.empty(), "files opened although the header was refused");
        return 0;
    }
    if (!firstMissing.empty()) {
        FUZZ_CHECK(raised, "a missing attachment was not reported");
        FUZZ_CHECK(missing.size() == 1 && missing[0] == firstMissing,
                   "OnAttachmentNotFound with " + Show(missing.empty() ? "" : missing[0]));
        return 0;
    }
    FUZZ_CHECK(!raised, "composition failed: " + Show(message));
    FUZZ_CHECK(missing.empty(), "OnAttachmentNotFound for a file that exists");
    CheckComposed(m, c);
    if (!g_dumpDir.empty()) Dump(m, Wire(c.FinalHeader().Items(), c.BodyStream().DataString()));
    return 0;
}
