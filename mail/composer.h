// Composition of one e-mail message: the header lines and the MIME body, with the
// attachments encoded, ready for the SMTP session to send after DATA.
#pragma once

#include "mail/post_message.h"
#include "mail/uu_processor.h"
#include "net/header_list.h"
#include "platform/streams.h"

#include <cstdint>
#include <functional>
#include <string>

namespace kelvo {

// Text type of a message without attachments.
enum TSubType : uint8_t {
    mtPlain = 0,
    mtEnriched = 1,
    mtSgml = 2,
    mtTabSeperated = 3,
    mtHtml = 4,
};

// Passes the attachment entry concerned (its full path).
using TFileItem = std::function<void(const std::string& Filename)>;

// A fresh multipart boundary: twenty '=', "54535", six letters 'a'..'y' drawn from
// the runtime's generator (Random), and "====".
std::string NewBoundary();

// Builds the message that TKivSMTP sends. The SMTP session either derives from this
// class or owns one; either way it calls, as the first step of SendMail:
//
//   BuildMessage();            // may raise: refused header input, attachment files
//   // then, after DATA:  every FinalHeader() line + CR LF, two more CR LF,
//   //                    the whole of BodyStream() from position 0, then "." CR LF.
//
// BuildMessage rebuilds FinalHeader (header lines without line ends) and BodyStream
// (the body bytes, every line ending in CR LF, dot-stuffed where it is text) from
// PostMessage, and draws a new Boundary when there are attachments. It never changes
// PostMessage. OnAttachmentNotFound, OnEncodeStart and OnEncodeEnd fire during it, one
// file after the other. The body never holds a bare CR or LF and never a line "."
// alone, so the end-of-data marker cannot be forged by the message's content; every
// line starting with '.' is dot-stuffed, encoded attachment lines included.
//
// Input that would break the format is handled here, not by the caller:
// - a CR or LF in FromName, FromAddress, a recipient entry, Subject, LocalProgram,
//   Date, ReplyTo, Charset or an attachment's file name raises Exception before
//   anything is composed (FinalHeader and BodyStream keep the previous message);
// - a Body entry holding line breaks is split into lines there;
// - text that is not US-ASCII, or has a line over 998 octets, goes out as
//   quoted-printable, labelled utf-8 when Charset is us-ascii; a non-ASCII Subject
//   or FromName goes out as RFC 2047 encoded words, and a FromName holding
//   address specials such as ',' goes out quoted;
// - a boundary that occurs in the text is drawn again;
// - uuencoded attachments are labelled x-uuencode, not base64.
class TMailComposer {
public:
    TMailComposer();
    virtual ~TMailComposer();
    TMailComposer(const TMailComposer&) = delete;
    TMailComposer& operator=(const TMailComposer&) = delete;

    TPostMessage& PostMessage() { return postMessage_; }
    const TPostMessage& PostMessage() const { return postMessage_; }
    void SetPostMessage(const TPostMessage& value) { postMessage_.Assign(value); }

    // Replaced at every BuildMessage; assigning copies the lines.
    TExStringList& FinalHeader() { return finalHeader_; }
    const TExStringList& FinalHeader() const { return finalHeader_; }
    void SetFinalHeader(const TStringList& value) { finalHeader_.Assign(value); }

    TMemoryStream& BodyStream() { return bodyStream_; }
    // The boundary of the last message composed with attachments.
    const std::string& Boundary() const { return boundary_; }

    // Attachment encoding: uuMime (base64) or uuCode (uuencode).
    UUMethods EncodeType() const { return encodeType_; }
    void SetEncodeType(UUMethods value) { encodeType_ = value; }
    TSubType SubType() const { return subType_; }
    void SetSubType(TSubType value) { subType_ = value; }
    const std::string& Charset() const { return charset_; }
    void SetCharset(const std::string& value) { charset_ = value; }

    TFileItem OnAttachmentNotFound;
    TFileItem OnEncodeStart;
    TFileItem OnEncodeEnd;

    void BuildMessage();
    // Appends the part of Attachments entry `index` (1-based) to BodyStream, with the
    // current Boundary. Raises the open error after OnAttachmentNotFound when the file
    // cannot be opened.
    void AddAttachment(int32_t index);

private:
    TPostMessage postMessage_;
    TExStringList finalHeader_;
    TMemoryStream bodyStream_;
    std::string boundary_;
    UUMethods encodeType_ = uuMime;
    TSubType subType_ = mtPlain;
    std::string charset_ = "us-ascii";

    bool composing_ = false;

    void CheckHeaderInput() const;
    // Replaces FinalHeader with the fields from From to Mime-Version; their text goes
    // into encoded words of `wordCharset` where it is not plain US-ASCII.
    void ComposeHeaderFields(const std::string& wordCharset);
    // Draws boundaries until one does not occur in `text`.
    void DrawBoundary(const std::string& text);
    // The body of a message with attachments: the text part, one part per attachment,
    // the closing boundary; BodyStream is left at its start.
    void ComposeMultipartBody(const std::string& textCharset, bool quotedPrintable, const std::string& text);
    // The body's size to reserve: `fixed` bytes plus every attachment part, encoded.
    int64_t ExpectedBodySize(int64_t fixed) const;
    std::string AttachmentHead(const std::string& name) const;
    void WriteBody(const std::string& bytes);
};

} // namespace kelvo
