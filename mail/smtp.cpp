// TKivSMTP: the greeting and HELO exchange, the mail transaction, QUIT, and the checks that keep the dialogue in step.
#include "mail/smtp.h"

#include "net/header_list.h"
#include "platform/exceptions.h"

#include <climits>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace kelvo {

namespace {

const char* const kClosedByServer = "Connection closed by the server";
const char* const kAuthenticationFailed = "Authentication failed";
const char* const kIncompleteHeader = "Incomplete Header";

// RFC 5321 §3.8: a server answers 421 when it is about to close the channel.
constexpr int16_t kServiceClosing = 421;

// The leading decimal digits of a reply line, at most ten of them; 0 when there are
// none or when they do not fit the 16-bit reply code.
int16_t ReplyCode(const std::string& line)
{
    size_t digits = 0;
    while (digits < line.size() && digits < 10 && line[digits] >= '0' && line[digits] <= '9')
        ++digits;
    if (digits == 0)
        return 0;
    const long long value = std::stoll(line.substr(0, digits));
    return value <= INT16_MAX ? static_cast<int16_t>(value) : 0;
}

// "250-..." and lines that begin with a space announce more lines of the same reply.
bool Continues(const std::string& line)
{
    return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

// A CR or LF in a command argument would end the command early and let the rest of
// the text stand as a command of its own (RFC 5321 §2.3.8); a NUL would cut the
// line before its CR LF, since the socket client writes text up to the first NUL.
void RefuseInCommand(const std::string& value, const std::string& what, const std::string& command)
{
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw Exception("CR, LF or NUL in " + what + ": " + command + " is not sent");
}

// Calls a handler through a copy: the handler may destroy the component, and with it
// the std::function that is running.
template <typename Event, typename... Args>
void Fire(const Event& event, Args&&... args)
{
    const Event copy = event;
    copy(std::forward<Args>(args)...);
}

bool IsTransportFailure(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const ESockError&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

TKivSMTP::TKivSMTP(QObject* owner) : TLinksock(owner)
{
    SetPort(25);
    composer_.SetEncodeType(uuMime);
    busy_ = false;
    clearParams_ = true;
    composer_.SetSubType(mtPlain);
    composer_.SetCharset("us-ascii");
}

TKivSMTP::~TKivSMTP() = default;

std::string TKivSMTP::ExtractAddress(const std::string& entry)
{
    if (entry.find('<') != std::string::npos)
        return NthWord(NthWord(entry, '<', 2), '>', 1);
    if (entry.find(':') != std::string::npos)
        return NthWord(entry, ':', 2);
    return entry;
}

void TKivSMTP::ReadContinuation()
{
    // An empty line is what the socket client returns once the peer has closed: no
    // reply at all, and no code by which a step could pass.
    if (lastReply_.empty())
        throw ESockError(kClosedByServer);
    std::string line = lastReply_;
    int lines = 1;
    while (Continues(line)) {
        if (++lines > kMaxReplyLines)
            throw ESockError("Reply longer than " + std::to_string(kMaxReplyLines) + " lines");
        ReadLn(line);
        if (line.empty())
            throw ESockError(kClosedByServer);
        ReportStatus(1, line);
        lastReply_ = line;
    }
}

void TKivSMTP::Command(const std::string& command)
{
    Transaction(command);
    ReadContinuation();
}

void TKivSMTP::ReadGreeting()
{
    replyNumber_ = 0;
    std::string line;
    ReadLn(line);
    lastReply_ = line;
    if (!line.empty())
        ReportStatus(1, line);
    replyNumber_ = ReplyCode(line);
    ReadContinuation();
}

void TKivSMTP::DropConnection()
{
    try {
        TLinksock::Disconnect();
    } catch (...) {
        // The failure that made us drop the connection is the one worth reporting.
    }
}

void TKivSMTP::Connect()
{
    RefuseInCommand(userID_, "UserID", "HELO");
    const bool setBusy = !busy_;
    busy_ = true;
    const bool wasConnected = Connected();
    const std::weak_ptr<const bool> life = LifeToken();
    try {
        TLinksock::Connect();
        if (security_ == ssImplicitTls)
            SecureConnection();
        ReadGreeting();
        if (replyNumber_ >= 400)
            throw Exception(lastReply_);
        bool asked = false;
        for (;;) {
            RefuseInCommand(userID_, "UserID", "HELO");
            if (UsesExtensions()) {
                ExtendedHello();
                break;
            }
            Command("HELO " + userID_);
            if (replyNumber_ < 300)
                break;
            // The server is closing the channel, not refusing the name.
            if (replyNumber_ == kServiceClosing)
                throw Exception(lastReply_);
            if (asked || !OnAuthenticationFailed)
                throw Exception(kAuthenticationFailed);
            bool handled = false;
            Fire(OnAuthenticationFailed, handled);
            if (life.expired())
                throw EAbortError("Socket readln aborted");
            if (!handled)
                throw Exception(kAuthenticationFailed);
            asked = true;
        }
    } catch (...) {
        if (life.expired())
            throw;
        // A refusal leaves the dialogue in step, so the server still gets its QUIT.
        // After 421 the server is going anyway, and after a transport failure (closed,
        // reset, time-out, over-long reply) a QUIT would only wait for a reply that is
        // not coming. Either way the caller hears the cause of the failure, not a
        // failure of the clean-up.
        const bool transportFailure = IsTransportFailure(std::current_exception()) && !wasConnected;
        if (Connected() && !transportFailure && replyNumber_ != kServiceClosing) {
            try {
                Disconnect();
            } catch (...) {
            }
        } else {
            DropConnection();
        }
        if (life.expired())
            throw;
        if (setBusy)
            busy_ = false;
        throw;
    }
    if (setBusy)
        busy_ = false;
    if (OnConnect)
        Fire(OnConnect, this);
}

void TKivSMTP::Disconnect()
{
    canceled_ = false;  // so QUIT can still be exchanged after a cancel or an abort
    const std::weak_ptr<const bool> life = LifeToken();
    std::exception_ptr failure;
    try {
        Command("QUIT");
    } catch (...) {
        if (life.expired())
            throw;
        failure = std::current_exception();
    }
    TLinksock::Disconnect();
    if (failure)
        std::rethrow_exception(failure);
    if (replyNumber_ > 339)
        throw Exception(lastReply_);
}

void TKivSMTP::Abort() { TLinksock::Abort(); }

void TKivSMTP::SendEnvelopeAndData()
{
    const std::weak_ptr<const bool> life = LifeToken();
    // Refuses a step: a server that announced 421 is closing the channel, so ours
    // goes too.
    auto refuse = [this] {
        const std::string reply = lastReply_;
        if (replyNumber_ == kServiceClosing)
            DropConnection();
        throw Exception(reply);
    };
    TPostMessage& m = composer_.PostMessage();

    // Everything that goes into a command is checked before the first command, so a
    // refused value leaves no half-made transaction behind.
    RefuseInCommand(m.FromAddress(), "FromAddress", "MAIL FROM");
    const TStringList* const lists[] = {&m.ToAddress(), &m.ToCarbonCopy(), &m.ToBlindCarbonCopy()};
    const char* const listNames[] = {"ToAddress", "ToCarbonCopy", "ToBlindCarbonCopy"};
    for (int l = 0; l < 3; ++l) {
        for (int i = 0; i < lists[l]->Count(); ++i)
            RefuseInCommand(ExtractAddress((*lists[l])[i]), std::string(listNames[l]) + " entry " + std::to_string(i + 1),
                            "RCPT TO");
    }
    std::string block;
    for (const std::string& line : composer_.FinalHeader().Items())
        block += line + "\r\n";
    // Two pairs, not one: the body as received begins with an empty line.
    block += "\r\n\r\n";
    if (block.find('\0') != std::string::npos)
        throw Exception("NUL in the header: the message is not sent");

    if (OnSendStart) {
        Fire(OnSendStart, this);
        if (life.expired())
            throw EAbortError("Socket send aborted");
    }

    Command("RSET");
    if (replyNumber_ >= 400)
        refuse();
    Command("MAIL FROM:<" + m.FromAddress() + ">");
    if (replyNumber_ >= 400)
        refuse();
    for (const TStringList* list : lists) {
        // Copied: a handler may change the list while it is walked.
        const std::vector<std::string> entries = list->Items();
        for (const std::string& entry : entries) {
            const std::string address = ExtractAddress(entry);
            if (address.empty())
                continue;
            Command("RCPT TO:<" + address + ">");
            if (replyNumber_ == kServiceClosing)
                refuse();
            if (replyNumber_ > 300 && OnRecipientNotFound) {
                Fire(OnRecipientNotFound, entry);
                if (life.expired())
                    throw EAbortError("Socket send aborted");
            }
        }
    }
    Command("DATA");
    if (replyNumber_ >= 400)
        refuse();
    Write(block);
    SendStream(composer_.BodyStream());
    Command(".");
    if (replyNumber_ >= 400) {
        if (OnFailure) {
            const std::string reply = lastReply_;
            Fire(OnFailure, this);
            if (life.expired())
                throw Exception(reply);
        }
        refuse();
    }
}

void TKivSMTP::SendMail()
{
    if (busy_)
        return;
    busy_ = true;
    const std::weak_ptr<const bool> life = LifeToken();
    try {
        composer_.OnEncodeStart = OnEncodeStart;
        composer_.OnEncodeEnd = OnEncodeEnd;
        composer_.OnAttachmentNotFound = OnAttachmentNotFound;
        composer_.BuildMessage();

        CheckConnection();

        TPostMessage& m = composer_.PostMessage();
        bool asked = false;
        for (;;) {
            const bool noSender = m.FromAddress().empty();
            const bool noRecipient =
                m.ToAddress().Count() == 0 && m.ToCarbonCopy().Count() == 0 && m.ToBlindCarbonCopy().Count() == 0;
            if (!noSender && !noRecipient)
                break;
            if (asked || !OnHeaderIncomplete)
                throw Exception(kIncompleteHeader);
            bool handled = false;
            Fire(OnHeaderIncomplete, handled, noSender ? 1 : 2);
            if (life.expired())
                throw Exception(kIncompleteHeader);
            if (!handled)
                throw Exception(kIncompleteHeader);
            asked = true;
        }

        SendEnvelopeAndData();

        if (clearParams_) {
            m.ToAddress().Clear();
            m.ToCarbonCopy().Clear();
            m.ToBlindCarbonCopy().Clear();
            m.Attachments().Clear();
        }
    } catch (...) {
        if (life.expired())
            throw;
        // A broken dialogue cannot go on: a late reply would be taken for the answer to
        // the next command, and a later message could be reported as sent when it was not.
        if (IsTransportFailure(std::current_exception()) && Connected())
            DropConnection();
        if (life.expired())
            throw;
        busy_ = false;
        throw;
    }
    busy_ = false;
    if (OnSuccess)
        Fire(OnSuccess, this);
}

} // namespace kelvo
