#include "mail/composer.h"

#include "mail/mime_text.h"
#include "mail/runtime_random.h"
#include "net/buffer_stream.h"
#include "platform/exceptions.h"

#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

namespace kelvo {

namespace {

constexpr const char* kCrLf = "\r\n";

const char* TextType(TSubType subType) {
    switch (subType) {
    case mtPlain: return "text/plain";
    case mtEnriched: return "text/enriched";
    case mtSgml: return "text/sgml";
    case mtTabSeperated: return "text/tab-separated-values";
    case mtHtml: return "text/html";
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

// Unstructured header text as it is when US-ASCII, else as encoded words.
std::string HeaderText(const std::string& text, const std::string& charset) {
    return IsSevenBitClean(text) ? text : EncodedWords(text, CharsetFor8Bit(charset));
}

std::string JoinEntries(const TStringList& list) {
    std::string out;
    for (int i = 0; i < list.Count(); ++i) {
        if (i > 0) out += ',';
        out += list[i];
    }
    return out;
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
        target_.Seek(base_ + position_, 0);
        const int32_t n = target_.Write(buffer, count);
        position_ += n;
        size_ = std::max(size_, position_);
        return n;
    }
    int64_t Seek(int64_t offset, uint16_t origin) override {
        switch (origin) {
        case 0: position_ = offset; break;
        case 1: position_ += offset; break;
        case 2: position_ = size_ + offset; break;
        default: throw Exception("Invalid seek origin = " + std::to_string(origin));
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

void RefuseLineBreak(const std::string& value, const std::string& what) {
    if (value.find_first_of("\r\n") != std::string::npos)
        throw Exception("Line break in " + what + ": the message is not sent");
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
    RefuseLineBreak(m.FromName(), "FromName");
    RefuseLineBreak(m.FromAddress(), "FromAddress");
    RefuseLineBreaks(m.ToAddress(), "ToAddress");
    RefuseLineBreaks(m.ToCarbonCopy(), "ToCarbonCopy");
    RefuseLineBreaks(m.ToBlindCarbonCopy(), "ToBlindCarbonCopy");
    RefuseLineBreak(m.Subject(), "Subject");
    RefuseLineBreak(m.LocalProgram(), "LocalProgram");
    RefuseLineBreak(m.Date(), "Date");
    RefuseLineBreak(m.ReplyTo(), "ReplyTo");
    RefuseLineBreak(charset_, "Charset");
    for (int i = 0; i < m.Attachments().Count(); ++i)
        RefuseLineBreak(FinalName(m.Attachments()[i]), "the name of attachment " + std::to_string(i + 1));
}

void TMailComposer::WriteBody(const std::string& bytes) { bodyStream_.WriteString(bytes); }

void TMailComposer::BuildMessage() {
    CheckHeaderInput();
    const TPostMessage& m = postMessage_;
    const TTextPart text = ComposeText(m.Body(), charset_);
    const bool multipart = m.Attachments().Count() > 0;

    finalHeader_.Clear();
    if (!IsSevenBitClean(m.FromName()))
        // An encoded word has to stand apart from the '<' to be recognised (RFC 2047 §5).
        finalHeader_.Add("From: " + HeaderText(m.FromName(), charset_) + " <" + m.FromAddress() + ">");
    else if (m.FromName().find_first_of("()<>[]:;@\\,\"") != std::string::npos)
        // Unquoted, "Doe, John" would read as two addresses (RFC 5322 §3.2.5 phrase).
        finalHeader_.Add("From: " + QuotedParameterValue(m.FromName()) + "<" + m.FromAddress() + ">");
    else
        finalHeader_.Add("From: " + m.FromName() + "<" + m.FromAddress() + ">");
    if (m.ToAddress().Count() > 0) finalHeader_.Add("To: " + JoinEntries(m.ToAddress()));
    if (m.ToCarbonCopy().Count() > 0) finalHeader_.Add("CC: " + JoinEntries(m.ToCarbonCopy()));
    finalHeader_.SetValue("Subject", HeaderText(m.Subject(), charset_));
    finalHeader_.SetValue("X-Mailer", m.LocalProgram());
    if (!m.ReplyTo().empty()) finalHeader_.SetValue("Reply-To", m.ReplyTo());
    if (!m.Date().empty()) finalHeader_.SetValue("Date", m.Date());
    finalHeader_.Add("Mime-Version: 1.0");
    if (multipart) {
        // The boundary sequence is the same in every run, so a text can hold it on
        // purpose. Encoded attachments cannot: base64 has no '-' and only trailing
        // '=', uuencode has no lower-case letters, quoted-printable no "==".
        do {
            boundary_ = NewBoundary();
        } while (text.bytes.find(boundary_) != std::string::npos);
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
    std::string head = "--" + boundary_ + kCrLf + "Content-Type: text/plain; charset=" + text.charset + kCrLf;
    if (text.quotedPrintable) head += std::string("Content-Transfer-Encoding: quoted-printable") + kCrLf;
    head += kCrLf;
    const std::string tail = "--" + boundary_ + "--" + kCrLf;

    // Size the body once: grown line by line, the store is copied at every doubling
    // and the allocator keeps the old blocks, which triples the peak for a large file.
    int64_t expected = static_cast<int64_t>(head.size() + text.bytes.size() + tail.size());
    for (int32_t i = 1; i <= m.Attachments().Count(); ++i) {
        const std::string entry = m.Attachments()[i - 1];
        std::error_code ec;
        const auto size = std::filesystem::file_size(entry, ec);
        expected += static_cast<int64_t>(AttachmentHead(FinalName(entry)).size());
        if (!ec) expected += EncodedLength(static_cast<int64_t>(size), encodeType_);
    }
    bodyStream_.SetSize(expected);
    bodyStream_.SetPosition(0);

    composing_ = true;
    try {
        WriteBody(head);
        WriteBody(text.bytes);
        for (int32_t i = 1; i <= m.Attachments().Count(); ++i) AddAttachment(i);
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
    return "--" + boundary_ + kCrLf + "Content-Type: application/octet-stream; " + MimeParameter("name", name) +
           kCrLf + "Content-Transfer-Encoding: " + encoding + kCrLf + "Content-Disposition: attachment; " +
           MimeParameter("filename", name) + kCrLf + kCrLf;
}

void TMailComposer::AddAttachment(int32_t index) {
    const std::string entry = postMessage_.Attachments().Get(index - 1);
    const std::string name = FinalName(entry);
    RefuseLineBreak(name, "the name of attachment " + std::to_string(index));
    // BuildMessage keeps the position at the end of what it wrote (the store beyond
    // is reserved room); called on its own, the part goes after the body.
    if (!composing_) bodyStream_.Seek(0, 2);
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
    if (OnEncodeEnd) OnEncodeEnd(entry);
    bodyStream_.SetPosition(window.Base() + window.Written());
}

} // namespace kelvo
