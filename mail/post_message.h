// The description of one e-mail message: sender, recipients, subject, text and attachments.
#pragma once

#include "platform/string_list.h"

#include <string>

namespace kelvo {

// Plain data, filled by the caller and read by the composition (TMailComposer), which
// never changes it. Setting a list copies the given lines into the owned list.
// Recipient entries may be a bare mailbox or a display name with the mailbox in angle
// brackets; the header uses the entry as it is, the envelope the extracted mailbox.
class TPostMessage {
public:
    const std::string& FromAddress() const { return fromAddress_; }
    void SetFromAddress(const std::string& v) { fromAddress_ = v; }
    const std::string& FromName() const { return fromName_; }
    void SetFromName(const std::string& v) { fromName_ = v; }

    TStringList& ToAddress() { return toAddress_; }
    const TStringList& ToAddress() const { return toAddress_; }
    void SetToAddress(const TStringList& v) { toAddress_.Assign(v); }
    TStringList& ToCarbonCopy() { return toCarbonCopy_; }
    const TStringList& ToCarbonCopy() const { return toCarbonCopy_; }
    void SetToCarbonCopy(const TStringList& v) { toCarbonCopy_.Assign(v); }
    // Envelope only; never written into the header.
    TStringList& ToBlindCarbonCopy() { return toBlindCarbonCopy_; }
    const TStringList& ToBlindCarbonCopy() const { return toBlindCarbonCopy_; }
    void SetToBlindCarbonCopy(const TStringList& v) { toBlindCarbonCopy_.Assign(v); }
    // One line of text per entry, without line ends.
    TStringList& Body() { return body_; }
    const TStringList& Body() const { return body_; }
    void SetBody(const TStringList& v) { body_.Assign(v); }
    // Full paths of the files to attach.
    TStringList& Attachments() { return attachments_; }
    const TStringList& Attachments() const { return attachments_; }
    void SetAttachments(const TStringList& v) { attachments_.Assign(v); }

    const std::string& Subject() const { return subject_; }
    void SetSubject(const std::string& v) { subject_ = v; }
    // The "X-Mailer" value.
    const std::string& LocalProgram() const { return localProgram_; }
    void SetLocalProgram(const std::string& v) { localProgram_ = v; }
    // Written verbatim; when empty, composition writes the current local time.
    const std::string& Date() const { return date_; }
    void SetDate(const std::string& v) { date_ = v; }
    // "<unique@host>", written verbatim; when empty, composition makes one up.
    const std::string& MessageID() const { return messageID_; }
    void SetMessageID(const std::string& v) { messageID_ = v; }
    const std::string& ReplyTo() const { return replyTo_; }
    void SetReplyTo(const std::string& v) { replyTo_ = v; }

    void Assign(const TPostMessage& other) { *this = other; }

private:
    std::string fromAddress_;
    std::string fromName_;
    TStringList toAddress_;
    TStringList toCarbonCopy_;
    TStringList toBlindCarbonCopy_;
    TStringList body_;
    TStringList attachments_;
    std::string subject_;
    std::string localProgram_;
    std::string date_;
    std::string messageID_;
    std::string replyTo_;
};

} // namespace kelvo
