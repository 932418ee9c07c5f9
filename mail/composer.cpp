// TMailComposer: the header lines and the MIME body of one message, with its attachments encoded.
#include "mail/composer.h"

#include "mail/mime_text.h"
#include "mail/runtime_random.h"
#include "net/buffer_stream.h"
#include "platform/exceptions.h"

#include "mail/header_text.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <unistd.h>
#include <memory>
#include <system_error>
#include <vector>

namespace kelvo {

namespace {

constexpr const char* kCrLf = "\r\n";

const char* TextType(TSubType subType) {
    switch (subType) {
    case mtPlain:
        return "text/plain";
    case mtEnriched:
        return "text/enriched";
    case mtSgml:
        return "text/sgml";
    case mtTabSeperated:
        return "text/tab-separated-values";
    case mtHtml:
        return "text/html";
    }
    return "text/plain";
}

// What stands in for us-ascii once text is not US-ASCII: the feedback window hands
// over what the user typed as UTF-8.
std::string CharsetFor8Bit(const std::string& charset) {
    return CompareText(charset, "us-ascii") == 0 ? std::string("utf-8") : charset;
}

struct TTextPart {
    std::string bytes; // every line ending in CR LF, ready for the wire
    std::string charset;
    bool quotedPrintable = false;
};

// Splits every entry at CR LF, CR and LF: an entry holding a line break would
// otherwise put a bare CR or LF on the wire, and a line "." behind it would end the
// DATA phase early (RFC 5321 §2.3.8, §4.5.2).
std::vector<std::string> TextLines(const TStringList& body) {
    std::vector<std::string> lines;
    for (const auto& entry : body.Items()) {
        std::string line;
        for (size_t i = 0; i < entry.size(); ++i) {
            const char c = entry[i];
            if (c == '\r' || c == '\n') {
                lines.push_back(line);
                line.clear();
                if (c == '\r' && i + 1 < entry.size() && entry[i + 1] == '\n') ++i;
            } else {
                line += c;
            }
        }
        lines.push_back(line);
    }
    return lines;
}

TTextPart ComposeText(const TStringList& body, const std::string& charset) {
    const std::vector<std::string> lines = TextLines(body);
    TTextPart part;
    part.charset = charset;
    for (const auto& line : lines)
        if (!IsSevenBitClean(line) || line.size() > MaxTextLineLength) part.quotedPrintable = true;
    if (part.quotedPrintable) {
        part.charset = CharsetFor8Bit(charset);
        for (const auto& line : lines) part.bytes += QuotedPrintableLine(line);
        return part;
    }
    for (const auto& line : lines) {
        // Dot-stuffing (RFC 5321 §4.5.2): the receiver drops the first of two dots.
        if (!line.empty() && line[0] == '.') part.bytes += '.';
        part.bytes += line;
        part.bytes += kCrLf;
    }
    return part;
}

// The file name that the part announces: the text after the last '/'.
std::string FinalName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Length of the encoder's text for n input bytes.
int64_t EncodedLength(int64_t n, UUMethods method) {
    const int64_t full = n / 45, rest = n % 45;
    if (method == uuMime) return (n + 2) / 3 * 4 + (full + (rest > 0 ? 1 : 0)) * 2;
    int64_t length = full * 63 + 3; // full lines and the grave-accent line
    if (rest > 0) length += 1 + rest / 3 * 4 + (rest % 3 == 0 ? 0 : rest % 3 + 1) + 2;
    if (rest == 14) ++length; // its length character is '.', stuffed (TLineDotStuffer)
    return length;
}

// A stream over a stretch of another one that starts at its position when created.
// The encoder rewinds its output when it ends; through this window that moves
// nothing in the body, and Size() tells how much text was written.
class TBodyWindow : public TStream {
public:
    explicit TBodyWindow(TStream& target) : target_(target), base_(target.Position()) {}

    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void* buffer, int32_t count) override {
        target_.Seek(base_ + position_, SeekOrigin::Beginning);
        const int32_t n = target_.Write(buffer, count);
        position_ += n;
        size_ = std::max(size_, position_);
        return n;
    }
    int64_t Seek(int64_t offset, uint16_t origin) override {
        switch (static_cast<SeekOrigin>(origin)) {
        case SeekOrigin::Beginning:
            position_ = offset;
            break;
        case SeekOrigin::Current:
            position_ += offset;
            break;
        case SeekOrigin::End:
            position_ = size_ + offset;
            break;
        default:
            throw Exception("Invalid seek origin = " + std::to_string(origin));
        }
        position_ = std::max<int64_t>(position_, 0);
        return position_;
    }
    int64_t Base() const { return base_; }
    int64_t Written() const { return size_; }

private:
    TStream& target_;
    int64_t base_;
    int64_t position_ = 0;
    int64_t size_ = 0;
};

// Doubles a '.' that starts a line of encoded text. The uuencode length character of
// a 14-byte line is '.', and the receiving server drops the first dot of such a line
// (RFC 5321 §4.5.2). The encoder writes every line in one Write, so every Write here
// starts a line.
class TLineDotStuffer : public TStream {
public:
    explicit TLineDotStuffer(TStream& target) : target_(target) {}

    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void* buffer, int32_t count) override {
        if (count > 0 && *static_cast<const char*>(buffer) == '.') target_.WriteBuffer(".", 1);
        return target_.Write(buffer, count);
    }
    int64_t Seek(int64_t offset, uint16_t origin) override { return target_.Seek(offset, origin); }

private:
    TStream& target_;
};

// The "begin" line of a uuencoded file (x-uuencode): mode and name, which uudecode
// uses to create the file. Only a plain file name goes there: no blanks, no 8-bit,
// nothing a decoder could take for a path, a pipe or a home directory.
std::string UuBeginLine(const std::string& name) {
    std::string safe;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        safe += (std::isalnum(u) || c == '.' || c == '_' || c == '-') && u < 128 ? c : '_';
    }
    if (safe.empty() || safe.front() == '-' || safe.front() == '.') safe.insert(0, "_");
    return "begin 644 " + safe + kCrLf;
}

constexpr const char* kUuEndLine = "end\r\n";

void RefuseLineBreak(const std::string& value, const std::string& what) {
    if (value.find_first_of("\r\n") != std::string::npos)
        throw Exception("Line break in " + what + ": the message is not sent");
}

// A NUL cannot travel in a header at all (RFC 5322 §3.2.5 text excludes it), not
// even inside an encoded word, where a reader would hand it on to its caller.
void RefuseText(const std::string& value, const std::string& what) {
    RefuseLineBreak(value, what);
    if (value.find('\0') != std::string::npos) throw Exception("NUL in " + what + ": the message is not sent");
}

// Header values are structured here and must stay US-ASCII: a Date or Message-ID
// has no encoded form.
void RefuseEightBit(const std::string& value, const std::string& what) {
    RefuseText(value, what);
    if (!IsSevenBitClean(value)) throw Exception("Non-ASCII text in " + what + ": the message is not sent");
}

// RFC 5322 §3.3 date-time in local time with its offset. The names are written out
// here: strftime's follow the locale, and the program runs under the user's.
std::string CurrentDate() {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const long offset = local.tm_gmtoff / 60;
    const long magnitude = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday % 7],
                  local.tm_mday, kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                  local.tm_sec, offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return text;
}

// The right-hand side of a Message-ID: this host's name when it is a dot-atom
// (RFC 5322 §3.6.4), which gethostname gives without asking any resolver.
std::string MessageIdHost() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "localhost";
    std::string host = name;
    const bool valid = !host.empty() && host.front() != '.' && host.back() != '.' &&
                       host.find("..") == std::string::npos && std::all_of(host.begin(), host.end(), [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
                       });
    return valid ? host : std::string("localhost");
}

// <time.pid.counter.random@host>: unique across the processes of one host and, by
// the random part, across hosts that share a name. The runtime's Random is not
// used: its sequence draws the boundaries and must stay as it is.
std::string NewMessageID() {
    static uint32_t counter = 0;
    static std::mt19937_64 generator{std::random_device{}()};
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    char text[160];
    std::snprintf(text, sizeof text, "<%llx.%lx.%x.%016llx@",
                  static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()),
                  static_cast<long>(getpid()), ++counter, static_cast<unsigned long long>(generator()));
    return text + MessageIdHost() + ">";
}

// The charset that encoded words in the header name. An encoded word names its
// charset as a token of at most a few dozen characters (RFC 2047 §2: the whole word
// fits in 75); a Charset that is no such name labels the header text as the UTF-8
// that the feedback window hands over.
std::string WordCharset(const std::string& charset) {
    const bool token =
        !charset.empty() && charset.size() <= 40 && std::all_of(charset.begin(), charset.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'+-^_`{}~", c) != nullptr;
        });
    return token ? CharsetFor8Bit(charset) : std::string("utf-8");
}

void RefuseLineBreaks(const TStringList& list, const std::string& what) {
    for (int i = 0; i < list.Count(); ++i) RefuseLineBreak(list[i], what + " entry " + std::to_string(i + 1));
}

} // namespace

std::string NewBoundary() {
    std::string boundary(20, '=');
    boundary += "54535";
    for (int i = 0; i < 6; ++i) boundary += static_cast<char>('a' + Random(25));
    boundary += "====";
    return boundary;
}

TMailComposer::TMailComposer() = default;

TMailComposer::~TMailComposer() = default;

void TMailComposer::CheckHeaderInput() const {
    // A line break in any of these would start a header line (or an SMTP command) of
    // the sender's choosing.
    const TPostMessage& m = postMessage_;
    RefuseText(m.FromName(), "FromName");
    RefuseLineBreak(m.FromAddress(), "FromAddress");
    RefuseLineBreaks(m.ToAddress(), "ToAddress");
    RefuseLineBreaks(m.ToCarbonCopy(), "ToCarbonCopy");
    RefuseLineBreaks(m.ToBlindCarbonCopy(), "ToBlindCarbonCopy");
    RefuseText(m.Subject(), "Subject");
    RefuseText(m.LocalProgram(), "LocalProgram");
    RefuseEightBit(m.Date(), "Date");
    RefuseEightBit(m.MessageID(), "MessageID");
    RefuseText(m.ReplyTo(), "ReplyTo");
    RefuseEightBit(charset_, "Charset");
    for (int i = 0; i < m.Attachments().Count(); ++i)
        RefuseLineBreak(FinalName(m.Attachments()[i]), "the name of attachment " + std::to_string(i + 1));
}

void TMailComposer::WriteBody(const std::string& bytes) { bodyStream_.WriteString(bytes); }

void TMailComposer::BuildMessage() {
    CheckHeaderInput();
    const TTextPart text = ComposeText(postMessage_.Body(), charset_);
    const bool multipart = postMessage_.Attachments().Count() > 0;
    ComposeHeaderFields(WordCharset(charset_));
    if (multipart) {
        DrawBoundary(text.bytes);
        finalHeader_.Add("Content-Type: multipart/mixed; boundary=\"" + boundary_ + "\"");
    } else {
        finalHeader_.Add(std::string("Content-Type: ") + TextType(subType_) + "; charset=" + text.charset);
        if (text.quotedPrintable) finalHeader_.Add("Content-Transfer-Encoding: quoted-printable");
    }

    bodyStream_.Clear();
    if (!multipart) {
        WriteBody(text.bytes);
        bodyStream_.SetPosition(0);
        return;
    }
    ComposeMultipartBody(text.charset, text.quotedPrintable, text.bytes);
}

void TMailComposer::ComposeHeaderFields(const std::string& wordCharset) {
    const TPostMessage& m = postMessage_;
    finalHeader_.Clear();
    finalHeader_.Add("From: " + SenderValue(m.FromName(), m.FromAddress(), wordCharset));
    if (m.ToAddress().Count() > 0)
        finalHeader_.Add("To: " + AddressListValue("To", m.ToAddress().Items(), wordCharset));
    if (m.ToCarbonCopy().Count() > 0)
        finalHeader_.Add("CC: " + AddressListValue("CC", m.ToCarbonCopy().Items(), wordCharset));
    if (!m.Subject().empty()) finalHeader_.SetValue("Subject", UnstructuredValue("Subject", m.Subject(), wordCharset));
    if (!m.LocalProgram().empty())
        finalHeader_.SetValue("X-Mailer", UnstructuredValue("X-Mailer", m.LocalProgram(), wordCharset));
    if (!m.ReplyTo().empty())
        finalHeader_.SetValue("Reply-To", AddressListValue("Reply-To", SplitAddressList(m.ReplyTo()), wordCharset));
    // RFC 5322 §3.6 requires a Date; a Message-ID lets receivers and filters tell
    // the message from a forgery or a duplicate (§3.6.4).
    finalHeader_.SetValue("Date", m.Date().empty() ? CurrentDate() : m.Date());
    finalHeader_.SetValue("Message-ID", m.MessageID().empty() ? NewMessageID() : m.MessageID());
    finalHeader_.Add("Mime-Version: 1.0");
}

void TMailComposer::DrawBoundary(const std::string& text) {
    // The boundary sequence is the same in every run, so a text can hold it on
    // purpose. Encoded attachments cannot: base64 has no '-' and only trailing
    // '=', uuencode has no lower-case letters, quoted-printable no "==".
    do {
        boundary_ = NewBoundary();
    } while (text.find(boundary_) != std::string::npos);
}

int64_t TMailComposer::ExpectedBodySize(int64_t fixed) const {
    int64_t expected = fixed;
    const TStringList& attachments = postMessage_.Attachments();
    for (int32_t i = 0; i < attachments.Count(); ++i) {
        const std::string entry = attachments[i];
        std::error_code ec;
        const auto size = std::filesystem::file_size(entry, ec);
        expected += static_cast<int64_t>(AttachmentHead(FinalName(entry)).size());
        if (encodeType_ == uuCode) expected += static_cast<int64_t>(UuBeginLine(FinalName(entry)).size() + 5);
        if (!ec) expected += EncodedLength(static_cast<int64_t>(size), encodeType_);
    }
    return expected;
}

void TMailComposer::ComposeMultipartBody(const std::string& textCharset, bool quotedPrintable,
                                         const std::string& text) {
    std::string head = "--" + boundary_ + kCrLf + "Content-Type: text/plain; charset=" + textCharset + kCrLf;
    if (quotedPrintable) head += std::string("Content-Transfer-Encoding: quoted-printable") + kCrLf;
    head += kCrLf;
    const std::string tail = "--" + boundary_ + "--" + kCrLf;

    // Size the body once: grown line by line, the store is copied at every doubling
    // and the allocator keeps the old blocks, which triples the peak for a large file.
    bodyStream_.SetSize(ExpectedBodySize(static_cast<int64_t>(head.size() + text.size() + tail.size())));
    bodyStream_.SetPosition(0);

    composing_ = true;
    try {
        WriteBody(head);
        WriteBody(text);
        for (int32_t i = 1; i <= postMessage_.Attachments().Count(); ++i) AddAttachment(i);
        WriteBody(tail);
    } catch (...) {
        composing_ = false;
        bodyStream_.SetSize(bodyStream_.Position());
        throw;
    }
    composing_ = false;
    // Files that changed size since they were measured leave the estimate off.
    bodyStream_.SetSize(bodyStream_.Position());
    bodyStream_.SetPosition(0);
}

std::string TMailComposer::AttachmentHead(const std::string& name) const {
    // uuencoded lines labelled base64 would be decoded into garbage by the receiver.
    const char* encoding = encodeType_ == uuCode ? "x-uuencode" : "base64";
    return "--" + boundary_ + kCrLf + "Content-Type: application/octet-stream; " + MimeParameter("name", name) + kCrLf +
           "Content-Transfer-Encoding: " + encoding + kCrLf + "Content-Disposition: attachment; " +
           MimeParameter("filename", name) + kCrLf + kCrLf;
}

void TMailComposer::AddAttachment(int32_t index) {
    const std::string entry = postMessage_.Attachments().Get(index - 1);
    const std::string name = FinalName(entry);
    RefuseLineBreak(name, "the name of attachment " + std::to_string(index));
    // BuildMessage keeps the position at the end of what it wrote (the store beyond
    // is reserved room); called on its own, the part goes after the body.
    if (!composing_) bodyStream_.Seek(0, SeekOrigin::End);
    WriteBody(AttachmentHead(name));

    TKivUUProcessor encoder;
    encoder.SetMethod(encodeType_);
    std::unique_ptr<TFileStream> file;
    try {
        file = std::make_unique<TFileStream>(entry, TFileStream::fmOpenRead);
    } catch (...) {
        if (OnAttachmentNotFound) OnAttachmentNotFound(entry);
        throw;
    }
    // The text goes straight into BodyStream through one buffer: a separate in-memory
    // copy of every encoded file would double the peak memory of a send.
    // Readers find a uuencoded file between its begin and end lines; without them
    // they hand over the encoded text itself.
    if (encodeType_ == uuCode) WriteBody(UuBeginLine(name));
    TBodyWindow window(bodyStream_);
    TS_BufferStream input(*file);
    TS_BufferStream buffered(window);
    TLineDotStuffer output(buffered);
    encoder.InputStream = &input;
    encoder.OutputStream = &output;
    if (OnEncodeStart) OnEncodeStart(entry);
    try {
        encoder.Encode(); // its rewind of the output flushes every line into the body
    } catch (...) {
        bodyStream_.SetPosition(window.Base() + window.Written());
        throw;
    }
    bodyStream_.SetPosition(window.Base() + window.Written());
    if (encodeType_ == uuCode) WriteBody(kUuEndLine);
    if (OnEncodeEnd) OnEncodeEnd(entry);
}

} // namespace kelvo
