// TKivSMTP: delivers one composed e-mail message at a time to an SMTP server with the plain RFC 821 dialogue.
#pragma once

#include "mail/composer.h"
#include "net/linksock.h"
#include "net/reply.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvo {

// The server refused a recipient; passes the list entry as it was given.
using TRecipientNotFound = std::function<void(const std::string& Recipient)>;
// The sender (hiType 1) or every recipient (hiType 2) is missing. A handler that
// filled in what was missing sets handled to have the message tested again.
using THeaderInComplete = std::function<void(bool& handled, int32_t hiType)>;
using TMailListReturn = std::function<void(const std::string& MailAddress)>;

// How a session protects itself. ssNone is the plain dialogue; the others speak EHLO.
enum TSmtpSecurity : uint8_t {
    ssNone,
    // STARTTLS when the server offers it (RFC 3207); once offered it must succeed.
    ssStartTlsWhenOffered,
    // STARTTLS or nothing: a server that does not offer it gets nothing but QUIT.
    ssStartTls,
    // TLS from the first byte, the greeting included (RFC 8314 §3.3).
    ssImplicitTls,
};

// A string that is wiped from memory when it is replaced or destroyed.
class TSecret {
public:
    TSecret() = default;
    ~TSecret();
    TSecret(const TSecret&) = delete;
    TSecret& operator=(const TSecret&) = delete;
    void Set(const std::string& value);
    const std::string& Get() const { return value_; }

private:
    void Wipe();
    std::string value_;
};

// The HELO argument for `wanted` (RFC 5321 §4.1.1.1): `wanted` itself when it is a
// domain or an address literal; else `hostName` when that is a fully qualified domain;
// else the literal of `localAddress` (dotted IPv4, this end of the connection); else
// nothing, while that address is unknown. A person's name ("Jane Doe", "Jörg") cannot
// stand, and servers that check the syntax refuse the mail greeted with one.
std::string HeloName(const std::string& wanted, const std::string& hostName, const std::string& localAddress);

// Calling order: SetHost (and SetPort), SetUserID or ChooseUserID; Connect; fill PostMessage();
// SendMail, as often as wanted on the same connection; Disconnect.
//
// Every call blocks while the event loop keeps running, so GUI handlers may call in:
// a SendMail entered while Busy() returns at once and does nothing.
//
// Failures raise Exception with the server's reply line (as received, with its line
// end) or a fixed text ("Authentication failed", "Incomplete Header", "Not
// Connected"); transport failures raise ESockError or EAbortError. A failed Connect
// leaves the connection closed. A failed SendMail keeps the connection when the
// server refused a step; when the dialogue itself broke (connection closed or reset,
// time-out, cancel, an over-long or endless reply, a 421 reply) it closes the
// connection, because the next command could not be paired with its reply.
class TKivSMTP : public TLinksock {
public:
    explicit TKivSMTP(QObject* owner = nullptr);
    ~TKivSMTP() override;

    // Published events and properties. OnPacketSent and OnConnectionRequired are
    // the socket client's own members.

    // Fired when Connect has completed the greeting and the HELO exchange. It hides
    // the socket client's OnConnect, which stays unassigned.
    TNotifyEvent OnConnect;

    // The HELO argument, sent as it is.
    const std::string& UserID() const { return userID_; }
    void SetUserID(const std::string& value) {
        userID_ = value;
        userIDFromLocalAddress_ = false;
    }
    // Lets the session choose UserID from `wanted`, a name its user typed (see
    // HeloName). This host's name is read now; when neither serves, the address of each
    // connection is taken as it is made, before the greeting.
    void ChooseUserID(const std::string& wanted);

    TPostMessage& PostMessage() { return composer_.PostMessage(); }
    const TPostMessage& PostMessage() const { return composer_.PostMessage(); }
    void SetPostMessage(const TPostMessage& value) { composer_.SetPostMessage(value); }

    // The header lines of the last message composed; assigning copies the lines.
    TExStringList& FinalHeader() { return composer_.FinalHeader(); }
    const TExStringList& FinalHeader() const { return composer_.FinalHeader(); }
    void SetFinalHeader(const TStringList& value) { composer_.SetFinalHeader(value); }

    UUMethods EncodeType() const { return composer_.EncodeType(); }
    void SetEncodeType(UUMethods value) { composer_.SetEncodeType(value); }
    // After a successful send, empty the recipient lists and the attachment list.
    bool ClearParams() const { return clearParams_; }
    void SetClearParams(bool value) { clearParams_ = value; }
    TSubType SubType() const { return composer_.SubType(); }
    void SetSubType(TSubType value) { composer_.SetSubType(value); }
    const std::string& Charset() const { return composer_.Charset(); }
    void SetCharset(const std::string& value) { composer_.SetCharset(value); }

    TRecipientNotFound OnRecipientNotFound;
    THeaderInComplete OnHeaderIncomplete;
    TNotifyEvent OnSendStart;
    TNotifyEvent OnSuccess;
    // The server refused the message data (the reply to the end-of-data line).
    TNotifyEvent OnFailure;
    TFileItem OnEncodeStart;
    TFileItem OnEncodeEnd;
    // Published for completeness; no operation of this class fires it.
    TMailListReturn OnMailListReturn;
    TFileItem OnAttachmentNotFound;
    // The server refused HELO; a handler that changed UserID sets handled for one retry.
    THandlerEvent OnAuthenticationFailed;

    // Security and sign-in, all off by default. With any of them asked for, Connect
    // speaks EHLO instead of HELO, secures the connection as Security says, and signs
    // in with AUTH PLAIN or AUTH LOGIN (RFC 4954) when UserName is set, but only over
    // TLS: the password never goes out in clear. The password can only be written;
    // it appears in no status text, event or error message.
    TSmtpSecurity Security() const { return security_; }
    void SetSecurity(TSmtpSecurity value) { security_ = value; }
    const std::string& UserName() const { return userName_; }
    void SetUserName(const std::string& value) { userName_ = value; }
    void SetPassword(const std::string& value) { password_.Set(value); }
    // Fired with kSecuringStatus and kSigningInStatus as those steps begin; OnStatus
    // gets the same texts at level 4.
    TOnStatus OnProgress;
    static constexpr const char* kSecuringStatus = "Securing the connection\u2026";
    static constexpr const char* kSigningInStatus = "Signing in\u2026";

    // Opens the connection to Host:Port, reads the greeting and exchanges HELO (or
    // EHLO, STARTTLS and AUTH, see Security).
    void Connect() override;
    // Exchanges QUIT and closes the connection, also when QUIT is refused. A server
    // that has already ended the idle session (a 421, or gone) gets no QUIT.
    void Disconnect() override;
    void Abort() override;
    // Composes the message from PostMessage and sends it on the open connection; one
    // the server closed while idle is opened again first (Connect).
    void SendMail();

    // Milliseconds allowed to the server's verdict on a message it has received whole
    // (the reply to the end of data). Servers check the message before they answer,
    // and one that answers after the client gave up has still accepted it: a resend
    // would deliver it twice. RFC 5321 §4.5.3.2.6 asks for 10 minutes. Never shorter
    // than TimeOut; with TimeOut 0 (none) there is no limit here either.
    int32_t DataEndTimeOut() const { return dataEndTimeOut_; }
    void SetDataEndTimeOut(int32_t value) { dataEndTimeOut_ = value; }
    static constexpr int32_t kDataEndTimeOut = 10 * 60 * 1000;

    bool Busy() const { return busy_; }
    TMemoryStream& BodyStream() { return composer_.BodyStream(); }
    const std::string& Boundary() const { return composer_.Boundary(); }

    // The mailbox of a recipient entry: inside the first "<...>" when there is one,
    // else after the first ':', else the whole entry.
    static std::string ExtractAddress(const std::string& entry);

    // A reply may run to this many lines; a server that sends more is not trusted.
    static constexpr int kMaxReplyLines = 100;

protected:
    void ConnectionMade() override;

private:
    // Sends a command and reads its whole reply into reply_ (ReplyNumber from the
    // first line, LastReply the last line).
    void Command(const std::string& command);
    // When the whole of one reply must have come; none without a time-out.
    using TReplyDeadline = std::optional<std::chrono::steady_clock::time_point>;
    static TReplyDeadline DeadlineIn(int32_t limitMs);
    // Reads the continuation lines behind the first reply line held in LastReply,
    // each within TimeOut and all by the deadline.
    void ReadContinuation(const TReplyDeadline& deadline);
    void ReadGreeting();
    // Reads a whole reply: ReplyNumber from its first line, LastReply its last. The
    // first line may take limitMs (0: no limit).
    void ReadReply(int32_t limitMs);
    // TCP connection, implicit TLS when asked for, and a greeting that is no refusal.
    void OpenAndGreet();
    // HELO (one retry through OnAuthenticationFailed), or the extended dialogue.
    void Hello();
    // After a failed Connect, inside its catch: QUIT when the dialogue is still in
    // step, else a plain close.
    void CloseAfterFailedConnect(bool wasConnected);
    // Raises the refused step's reply; after a 421 the connection is closed first.
    [[noreturn]] void RefuseStep();
    // Raises before any command when an address would break its command line, or has
    // 8-bit characters the server does not take; true when MAIL needs SMTPUTF8.
    bool CheckEnvelope();
    // FinalHeader as it goes out after DATA; raises when it holds a NUL.
    std::string HeaderBlock();
    void SendEnvelopeAndData();
    // RCPT for every recipient entry; a refused one is reported and skipped.
    void SendRecipients();
    // DATA, then the header block, the body and the end of data; reads the verdict.
    void SendData(std::string headerBlock);
    // One chance for OnHeaderIncomplete when the sender or every recipient is missing.
    void RequireCompleteHeader();
    // ClearParams' work after a successful send.
    void ClearSentLists();
    // Closes the socket without a QUIT exchange.
    void DropConnection();
    // True when the server spoke (a 421) or went away while the connection sat idle.
    bool IdleConnectionLost();

    // The extended dialogue (mail/smtp_secure.cpp).
    bool UsesExtensions() const;
    // EHLO, then STARTTLS and EHLO again, then AUTH, as Security and UserName ask.
    // False when the server refused EHLO and HELO is to be used instead.
    bool ExtendedHello();
    // Sends EHLO and returns the keywords of its reply, upper case, one per line.
    std::vector<std::string> Ehlo();
    void SecureConnection();
    void SignIn(const std::vector<std::string>& capabilities);
    void Progress(const char* text);

    TMailComposer composer_;
    std::string userID_;
    // ChooseUserID found no name: the address of each new connection is the name.
    bool userIDFromLocalAddress_ = false;
    bool clearParams_ = true;
    bool busy_ = false;
    // The server's EHLO offered SMTPUTF8 (RFC 6531); never after HELO.
    bool smtpUtf8_ = false;
    int32_t dataEndTimeOut_ = kDataEndTimeOut;
    TSmtpSecurity security_ = ssNone;
    std::string userName_;
    TSecret password_;
};

} // namespace kelvo
