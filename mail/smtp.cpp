// TKivSMTP: the greeting and HELO exchange, the mail transaction, QUIT, and the checks that keep the dialogue in step.
#include "mail/smtp.h"

#include "mail/header_text.h"
#include "mail/mime_text.h"
#include "mail/smtp_texts.h"
#include "net/header_list.h"
#include "net/reply.h"
#include "net/socket_texts.h"
#include "platform/exceptions.h"
#include "platform/streams.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include <arpa/inet.h>
#include <unistd.h>

namespace kelvo {

namespace {

using namespace smtp_text;
using namespace reply_code;

// RFC 5321 §3.8: a server answers 421 when it is about to close the channel.
constexpr int16_t kServiceClosing = 421;

// A CR or LF in a command argument would end the command early and let the rest of
// the text stand as a command of its own (RFC 5321 §2.3.8); a NUL would cut the
// line before its CR LF, since the socket client writes text up to the first NUL.
void RefuseInCommand(const std::string& value, const std::string& what, const std::string& command) {
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw Exception(RefusedInCommand(what, command));
}

// A read-only stream made of a head, another stream and a tail, read in that order.
class TDataStream : public TStream {
public:
    TDataStream(std::string head, TStream& body, std::string tail)
        : head_(std::move(head)), body_(body), tail_(std::move(tail)), bodySize_(body.Size()) {}

    int32_t Read(void* buffer, int32_t count) override {
        auto* out = static_cast<char*>(buffer);
        int32_t done = 0;
        while (done < count && position_ < Total()) {
            const int64_t want = count - done;
            int64_t n = 0;
            if (position_ < Head()) {
                n = std::min<int64_t>(want, Head() - position_);
                std::memcpy(out + done, head_.data() + position_, static_cast<size_t>(n));
            } else if (position_ < Head() + bodySize_) {
                body_.SetPosition(position_ - Head());
                n = body_.Read(out + done,
                               static_cast<int32_t>(std::min<int64_t>(want, Head() + bodySize_ - position_)));
                if (n <= 0) break;
            } else {
                const int64_t at = position_ - Head() - bodySize_;
                n = std::min<int64_t>(want, static_cast<int64_t>(tail_.size()) - at);
                std::memcpy(out + done, tail_.data() + at, static_cast<size_t>(n));
            }
            position_ += n;
            done += static_cast<int32_t>(n);
        }
        return done;
    }
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t offset, uint16_t origin) override {
        const auto from = static_cast<SeekOrigin>(origin);
        const int64_t base = from == SeekOrigin::Beginning ? 0 : from == SeekOrigin::Current ? position_ : Total();
        position_ = std::clamp<int64_t>(base + offset, 0, Total());
        return position_;
    }

private:
    int64_t Head() const { return static_cast<int64_t>(head_.size()); }
    int64_t Total() const { return Head() + bodySize_ + static_cast<int64_t>(tail_.size()); }

    const std::string head_;
    TStream& body_;
    const std::string tail_;
    int64_t bodySize_;
    int64_t position_ = 0;
};

bool IsLetterOrDigit(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// RFC 5321 §4.1.2 Domain: labels of letters, digits and inner hyphens, joined by
// dots. A name whose last label is all digits reads as a broken address, and
// servers refuse it as well.
bool IsDomain(const std::string& name) {
    if (name.empty() || name.size() > 255) return false;
    size_t start = 0;
    for (;;) {
        const size_t dot = name.find('.', start);
        const std::string label = name.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (label.empty() || label.size() > 63 || !IsLetterOrDigit(label.front()) || !IsLetterOrDigit(label.back()))
            return false;
        if (!std::all_of(label.begin(), label.end(), [](char c) { return IsLetterOrDigit(c) || c == '-'; }))
            return false;
        if (dot == std::string::npos)
            return !std::all_of(label.begin(), label.end(), [](char c) { return c >= '0' && c <= '9'; });
        start = dot + 1;
    }
}

// RFC 5321 §4.1.3: "[192.0.2.1]" or "[IPv6:2001:db8::1]".
bool IsAddressLiteral(const std::string& text) {
    if (text.size() < 3 || text.front() != '[' || text.back() != ']') return false;
    const std::string inner = text.substr(1, text.size() - 2);
    unsigned char address[16];
    if (inner.rfind("IPv6:", 0) == 0) return ::inet_pton(AF_INET6, inner.c_str() + 5, address) == 1;
    return ::inet_pton(AF_INET, inner.c_str(), address) == 1;
}

// This host's name as the system knows it; no resolver is asked.
std::string LocalHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

bool IsTransportFailure(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const ESockError&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

TKivSMTP::TKivSMTP(QObject* owner) : TLinksock(owner) {
    SetPort(25);
    composer_.SetEncodeType(uuMime);
    busy_ = false;
    clearParams_ = true;
    composer_.SetSubType(mtPlain);
    composer_.SetCharset("us-ascii");
}

TKivSMTP::~TKivSMTP() = default;

std::string HeloName(const std::string& wanted, const std::string& hostName, const std::string& localAddress) {
    if (IsDomain(wanted) || IsAddressLiteral(wanted)) return wanted;
    if (hostName.find('.') != std::string::npos && IsDomain(hostName)) return hostName;
    return localAddress.empty() ? std::string() : "[" + localAddress + "]";
}

void TKivSMTP::ChooseUserID(const std::string& wanted) {
    userID_ = HeloName(wanted, LocalHostName(), std::string());
    userIDFromLocalAddress_ = userID_.empty();
}

void TKivSMTP::ConnectionMade() {
    // Neither the wanted name nor this host's served: the address is all that is left.
    if (userIDFromLocalAddress_) userID_ = HeloName(std::string(), std::string(), LocalAddress());
}

std::string TKivSMTP::ExtractAddress(const std::string& entry) {
    if (entry.find('<') != std::string::npos) return NthWord(NthWord(entry, '<', 2), '>', 1);
    if (entry.find(':') != std::string::npos) return NthWord(entry, ':', 2);
    return entry;
}

TKivSMTP::TReplyDeadline TKivSMTP::DeadlineIn(int32_t limitMs) {
    if (limitMs <= 0) return std::nullopt;
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
}

void TKivSMTP::ReadContinuation(const TReplyDeadline& deadline) {
    // An empty line is what the socket client returns once the peer has closed: no
    // reply at all, and no code by which a step could pass.
    if (reply_.last().empty()) throw ESockError(kClosedByServer);
    std::string line = reply_.last();
    while (TReply::Continues(line)) {
        if (reply_.lines().size() >= static_cast<size_t>(kMaxReplyLines))
            throw ESockError(ReplyTooLong(kMaxReplyLines));
        // Each line may take TimeOut, as every read may, but a server that drips out
        // its lines does not get TimeOut for each of a hundred: the reply as a whole
        // has its limit. A line that is there already is read even after it.
        int32_t limit = TimeOut();
        if (deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now())
                    .count();
            limit = static_cast<int32_t>(std::clamp<int64_t>(left, 1, std::max<int64_t>(limit, 1)));
        }
        ReadLnWithin(line, limit);
        if (line.empty()) throw ESockError(kClosedByServer);
        ReportStatus(StatusLevel::ServerReply, line);
        reply_.Add(line);
    }
}

void TKivSMTP::Command(const std::string& command) {
    const TReplyDeadline deadline = DeadlineIn(TimeOut());
    Transaction(command);
    ReadContinuation(deadline);
}

void TKivSMTP::ReadGreeting() { ReadReply(TimeOut()); }

void TKivSMTP::ReadReply(int32_t limitMs) {
    const TReplyDeadline deadline = DeadlineIn(limitMs);
    reply_.Await();
    std::string line;
    ReadLnWithin(line, limitMs);
    reply_.Start(line);
    if (!line.empty()) ReportStatus(StatusLevel::ServerReply, line);
    reply_.TakeCode();
    ReadContinuation(deadline);
}

void TKivSMTP::DropConnection() {
    try {
        TLinksock::Disconnect();
    } catch (...) {
        // The failure that made us drop the connection is the one worth reporting.
    }
}

void TKivSMTP::Connect() {
    RefuseInCommand(userID_, "UserID", "HELO");
    const bool setBusy = !busy_;
    busy_ = true;
    const bool wasConnected = Connected();
    const std::weak_ptr<const bool> life = LifeToken();
    try {
        OpenAndGreet();
        Hello();
    } catch (...) {
        if (life.expired()) throw;
        CloseAfterFailedConnect(wasConnected);
        if (life.expired()) throw;
        if (setBusy) busy_ = false;
        throw;
    }
    if (setBusy) busy_ = false;
    (void)Fire(life, OnConnect, this);
}

void TKivSMTP::OpenAndGreet() {
    TLinksock::Connect();
    // Every command waits for its reply, so nothing is gained by holding back a
    // short write (Nagle's algorithm), and a lot is lost against a server that
    // delays its acknowledgements.
    SendWithoutDelay();
    if (security_ == ssImplicitTls) SecureConnection();
    ReadGreeting();
    if (!reply_.isPositive()) throw Exception(reply_.last());
}

void TKivSMTP::Hello() {
    smtpUtf8_ = false;
    bool asked = false;
    bool extended = UsesExtensions();
    for (;;) {
        RefuseInCommand(userID_, "UserID", "HELO");
        if (extended) {
            if (ExtendedHello()) return;
            // The server does not know EHLO: HELO, with its one retry.
            extended = false;
        }
        Command("HELO " + userID_);
        if (reply_.isBelow(kFirstIntermediate)) return;
        // The server is closing the channel, not refusing the name.
        if (reply_.isCode(kServiceClosing)) throw Exception(reply_.last());
        if (asked || !OnAuthenticationFailed) throw Exception(kAuthenticationFailed);
        bool handled = false;
        if (!Fire(LifeToken(), OnAuthenticationFailed, handled)) throw EAbortError(socket_text::kReadAborted);
        if (!handled) throw Exception(kAuthenticationFailed);
        asked = true;
    }
}

void TKivSMTP::CloseAfterFailedConnect(bool wasConnected) {
    // A refusal leaves the dialogue in step, so the server still gets its QUIT.
    // After 421 the server is going anyway, and after a transport failure (closed,
    // reset, time-out, over-long reply) a QUIT would only wait for a reply that is
    // not coming. Either way the caller hears the cause of the failure, not a
    // failure of the clean-up.
    const bool transportFailure = IsTransportFailure(std::current_exception()) && !wasConnected;
    if (Connected() && !transportFailure && !reply_.isCode(kServiceClosing)) {
        try {
            Disconnect();
        } catch (...) {}
    } else {
        DropConnection();
    }
}

bool TKivSMTP::IdleConnectionLost() {
    // An SMTP server says nothing between commands unless it is closing the channel
    // (RFC 5321 §3.8, §4.5.3.2.7: 421 after its idle time-out), so anything waiting
    // here, or the end of the stream, means the session is over. The 421 stays unread
    // until a command would take it for its own reply.
    return PeerStirredWhileIdle();
}

void TKivSMTP::Disconnect() {
    canceled_ = false; // so QUIT can still be exchanged after a cancel or an abort
    if (Connected() && IdleConnectionLost()) {
        // The server has ended the session already: there is no one to say QUIT to,
        // and its parting reply is no refusal of ours.
        ReportStatus(StatusLevel::MajorStep, kClosedWhileIdle);
        TLinksock::Disconnect();
        return;
    }
    const std::weak_ptr<const bool> life = LifeToken();
    std::exception_ptr failure;
    try {
        Command("QUIT");
    } catch (...) {
        if (life.expired()) throw;
        failure = std::current_exception();
    }
    TLinksock::Disconnect();
    if (failure) std::rethrow_exception(failure);
    if (!reply_.isAtMost(kLastQuitAccepted)) throw Exception(reply_.last());
}

void TKivSMTP::Abort() { TLinksock::Abort(); }

void TKivSMTP::RefuseStep() {
    const std::string reply = reply_.last();
    if (reply_.isCode(kServiceClosing)) DropConnection();
    throw Exception(reply);
}

bool TKivSMTP::CheckEnvelope() {
    TPostMessage& m = composer_.PostMessage();
    RefuseInCommand(m.FromAddress(), "FromAddress", "MAIL FROM");
    std::vector<std::string> addresses = {m.FromAddress()};
    const TStringList* const lists[] = {&m.ToAddress(), &m.ToCarbonCopy(), &m.ToBlindCarbonCopy()};
    const char* const listNames[] = {"ToAddress", "ToCarbonCopy", "ToBlindCarbonCopy"};
    for (int l = 0; l < 3; ++l) {
        for (int i = 0; i < lists[l]->Count(); ++i) {
            addresses.push_back(ExtractAddress((*lists[l])[i]));
            RefuseInCommand(addresses.back(), std::string(listNames[l]) + " entry " + std::to_string(i + 1), "RCPT TO");
        }
    }
    // The Reply-To header carries addresses of its own, 8-bit ones only under SMTPUTF8
    // too (RFC 6532).
    for (const std::string& entry : SplitAddressList(m.ReplyTo())) addresses.push_back(ExtractAddress(entry));
    // Commands are ASCII (RFC 5321 §2.4): an 8-bit address may go out only to a server
    // that offers SMTPUTF8, and is refused before any command otherwise, so nothing is
    // left half-sent.
    const auto eightBit =
        std::find_if(addresses.begin(), addresses.end(), [](const std::string& a) { return !IsSevenBitClean(a); });
    if (eightBit == addresses.end()) return false;
    if (!smtpUtf8_) throw Exception(AddressNeedsSmtpUtf8(*eightBit));
    return true;
}

std::string TKivSMTP::HeaderBlock() {
    std::string block;
    for (const std::string& line : composer_.FinalHeader().Items()) block += line + "\r\n";
    // Two pairs, not one: the body as received begins with an empty line.
    block += "\r\n\r\n";
    if (block.find('\0') != std::string::npos) throw Exception(kNulInHeader);
    return block;
}

void TKivSMTP::SendRecipients() {
    TPostMessage& m = composer_.PostMessage();
    for (const TStringList* list : {&m.ToAddress(), &m.ToCarbonCopy(), &m.ToBlindCarbonCopy()}) {
        // Copied: a handler may change the list while it is walked.
        const std::vector<std::string> entries = list->Items();
        for (const std::string& entry : entries) {
            const std::string address = ExtractAddress(entry);
            if (address.empty()) continue;
            Command("RCPT TO:<" + address + ">");
            if (reply_.isCode(kServiceClosing)) RefuseStep();
            if (!reply_.isAtMost(kLastRecipientAccepted) && !Fire(LifeToken(), OnRecipientNotFound, entry))
                throw EAbortError(socket_text::kSendAborted);
        }
    }
}

void TKivSMTP::SendData(std::string headerBlock) {
    Command("DATA");
    if (!reply_.isPositive()) RefuseStep();
    // Only 354 lets the data go out (RFC 5321 §4.3.2, §3.3). Sent after any other
    // answer, every header and body line would be taken for a command and its reply
    // for the answer to the end of data. The server's state is unknown after such
    // an answer, so the connection goes too.
    if (reply_.isBelow(kFirstIntermediate)) {
        const std::string reply = reply_.last();
        DropConnection();
        throw Exception(reply);
    }
    // The header block, the body and the end-of-data line go out as one stream, so
    // the "." leaves with the body's last block instead of in a write of its own that
    // Nagle's algorithm would hold until the server acknowledges the previous one.
    TDataStream data(std::move(headerBlock), composer_.BodyStream(), ".\r\n");
    SendStream(data);
    ReportStatus(StatusLevel::Everything, "Transaction");
    ReadReply(TimeOut() > 0 ? std::max(TimeOut(), dataEndTimeOut_) : 0);
    if (!reply_.isPositive()) {
        const std::string reply = reply_.last();
        if (!Fire(LifeToken(), OnFailure, this)) throw Exception(reply);
        RefuseStep();
    }
}

void TKivSMTP::SendEnvelopeAndData() {
    // Everything that goes into a command is checked before the first command, so a
    // refused value leaves no half-made transaction behind.
    const bool utf8 = CheckEnvelope();
    std::string block = HeaderBlock();

    if (!Fire(LifeToken(), OnSendStart, this)) throw EAbortError(socket_text::kSendAborted);

    Command("RSET");
    if (!reply_.isPositive()) RefuseStep();
    Command("MAIL FROM:<" + composer_.PostMessage().FromAddress() + ">" + (utf8 ? " SMTPUTF8" : ""));
    if (!reply_.isPositive()) RefuseStep();
    SendRecipients();
    SendData(std::move(block));
}

void TKivSMTP::SendMail() {
    if (busy_) return;
    busy_ = true;
    const std::weak_ptr<const bool> life = LifeToken();
    try {
        composer_.OnEncodeStart = OnEncodeStart;
        composer_.OnEncodeEnd = OnEncodeEnd;
        composer_.OnAttachmentNotFound = OnAttachmentNotFound;
        composer_.BuildMessage();

        // A connection kept since the last send may have been closed by the server in
        // the meantime; a fresh one, with the same host and HELO, takes its place.
        if (Connected() && IdleConnectionLost()) {
            ReportStatus(StatusLevel::MajorStep, kClosedWhileIdle);
            DropConnection();
            Connect();
        }
        CheckConnection();
        RequireCompleteHeader();
        SendEnvelopeAndData();
        if (clearParams_) ClearSentLists();
    } catch (...) {
        if (life.expired()) throw;
        // A broken dialogue cannot go on: a late reply would be taken for the answer to
        // the next command, and a later message could be reported as sent when it was not.
        if (IsTransportFailure(std::current_exception()) && Connected()) DropConnection();
        if (life.expired()) throw;
        busy_ = false;
        throw;
    }
    busy_ = false;
    (void)Fire(life, OnSuccess, this);
}

void TKivSMTP::RequireCompleteHeader() {
    const TPostMessage& m = composer_.PostMessage();
    bool asked = false;
    for (;;) {
        const bool noSender = m.FromAddress().empty();
        const bool noRecipient =
            m.ToAddress().Count() == 0 && m.ToCarbonCopy().Count() == 0 && m.ToBlindCarbonCopy().Count() == 0;
        if (!noSender && !noRecipient) return;
        if (asked || !OnHeaderIncomplete) throw Exception(kIncompleteHeader);
        bool handled = false;
        if (!Fire(LifeToken(), OnHeaderIncomplete, handled, noSender ? 1 : 2)) throw Exception(kIncompleteHeader);
        if (!handled) throw Exception(kIncompleteHeader);
        asked = true;
    }
}

void TKivSMTP::ClearSentLists() {
    TPostMessage& m = composer_.PostMessage();
    m.ToAddress().Clear();
    m.ToCarbonCopy().Clear();
    m.ToBlindCarbonCopy().Clear();
    m.Attachments().Clear();
}

} // namespace kelvo
