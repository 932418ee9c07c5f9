// TLinksock: a TCP client socket whose operations look blocking to the GUI thread while its waits keep the event loop running.
//
// Contract for subclasses (the SMTP session derives from this class):
// - Construct with the owner, then set your own defaults (for instance Port). The
//   constructor has already opened a socket; a replacement socket is opened after
//   every close, so Connect may be called again after Disconnect.
// - Virtual: Connect, Disconnect, Abort, Transaction, Accept, ConnectionMade. Override Connect,
//   Disconnect and Abort to wrap the protocol around the transport and call the base
//   version for the transport part. Abort is also what the time-out calls: an override
//   must end in TLinksock::Abort (or Cancel) so that the running wait ends.
// - Typical order: Connect; ReadLn for a greeting; Transaction per command (it sends
//   the command line, reads exactly one reply line into LastReply and ReplyNumber;
//   read continuation lines with ReadLn); Write/Writeln/SendStream for data;
//   CheckConnection before a send; Disconnect.
// - Protected for subclasses: ReportStatus (StatusLevel: server replies, major steps,
//   everything), CheckSocketError after a failed platform call, TimerOn/TimerOff
//   around a wait of your own, Pump for one turn of such a wait, the flags
//   (connected_, canceled_, timedOut_, succeeded_, waitDone_), and reply_, the reply
//   Transaction read, to which a subclass adds the continuation lines it reads.
// - Failures raise ESockError (EAbortError for a send or line read ended by Cancel,
//   Abort or the time-out; raising it clears Canceled). "Not Connected" from
//   CheckConnection is a plain Exception.
// - The waits dispatch events, so any handler may run meanwhile, including code that
//   destroys the component. deleteLater() during a wait is deferred until the wait
//   has left (the wait is cancelled first). A plain delete during a wait ends the wait
//   with EAbortError after the object is gone: code that catches an exception from an
//   operation must check LifeToken() (taken before the call) before it touches members.
// - The destructor calls TLinksock::Abort, not an override: a subclass that must
//   react should do so in its own destructor.
// - Every status handler and event is fired through Fire (net/socket_events.h), so a
//   handler may replace itself or destroy the component. A handler that destroys it
//   ends the running operation with EAbortError (that operation's abort text, for
//   instance "Socket readln aborted"; "Socket send aborted" for those that have none),
//   and nothing of the object is touched afterwards.
// - A wait that finds a cancel pending turns once more without sleeping, then ends.
// - A send's time-out is time without progress: each byte the peer takes after a wait
//   starts the period again.
// - After "Line too long" the next ReadLn first drops the rest of that line, through
//   its line end; a new connection forgets it.
#pragma once

#include "net/reply.h"
#include "net/socket_events.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The socket emulation stays inside net/: its users see the address type by name only.
namespace kelvo::winsock {
struct sockaddr_in;
}

namespace kelvo {

class TStream;
class TThreadTimer;
struct TTlsLink;
struct TTlsLinkDeleter {
    void operator()(TTlsLink* link) const;
};

// How much a status text matters; OnStatus hears a text when ReportLevel is at least its level.
enum class StatusLevel : uint8_t {
    ServerReply = 1,
    MajorStep = 4,
    Everything = 8,
};

// Whether one turn of a wait may sleep in the event loop until the next event.
enum class PumpMode : uint8_t {
    DispatchOnly,
    BlockUntilEvent,
};

// Whether arming or disarming the timer is told to OnStatus ("Timer On", "Timer Off").
enum class TimerReport : uint8_t {
    Quiet,
    Reported,
};

class TLinksock : public QObject {
public:
    explicit TLinksock(QObject* owner = nullptr);
    ~TLinksock() override;
    TLinksock(const TLinksock&) = delete;
    TLinksock& operator=(const TLinksock&) = delete;

    // Published properties.
    const std::string& Host() const { return host_; }
    void SetHost(const std::string& value) { host_ = value; }
    int32_t Port() const { return port_; }
    void SetPort(int32_t value) { port_ = value; }
    // Milliseconds allowed to each timed wait; 0 (or a negative value) means none.
    int32_t TimeOut() const { return timeOut_; }
    void SetTimeOut(int32_t value) { timeOut_ = value; }
    int32_t ReportLevel() const { return reportLevel_; }
    void SetReportLevel(int32_t value) { reportLevel_ = value; }

    TNotifyEvent OnDisconnect;
    TNotifyEvent OnConnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    // Asked once by CheckConnection when there is no connection.
    THandlerEvent OnConnectionRequired;
    // Fired by SendStream after every successful send.
    TNotifyEvent OnPacketSent;

    virtual uint16_t Accept();
    virtual void Connect();
    virtual void Disconnect();
    virtual std::string Transaction(const std::string& command);
    virtual void Abort();

    void Cancel();
    void ResolveHost();
    void RequestCloseSocket();
    bool DataAvailable();

    // Sends text up to its first NUL character.
    void Write(const std::string& text);
    void Writeln(const std::string& text);
    // Length 0 sends up to the first NUL (at most 65535 bytes).
    void SendBuffer(const char* data, uint16_t length);
    void SendStream(TStream& stream);
    // One line including its LF (and any CR before it); empty when the peer closed.
    void ReadLn(std::string& line);
    // ReadLn with a limit of its own for this one line, in milliseconds (0 or less:
    // none) instead of TimeOut; cancelling ends it all the same.
    void ReadLnWithin(std::string& line, int32_t limitMs);
    void CheckConnection();
    void ClearInput();

    // The address of this end of the connection, dotted ("127.0.0.1"); empty while
    // there is no connection or the system cannot tell it.
    std::string LocalAddress() const;
    // Writes on the open connection go out at once instead of waiting to be joined with
    // the next (TCP_NODELAY: no Nagle algorithm), for a dialogue in which every command
    // waits for its reply. A new connection starts without it.
    void SendWithoutDelay();
    // True when the peer has sent something or gone (end of stream, reset) on a
    // connection that is meant to be quiet. Nothing is taken from the connection, and
    // it looks beneath TLS: any record counts.
    bool PeerStirredWhileIdle();

    // Secures the open connection with TLS before anything else is exchanged on it,
    // verifying the certificate against `serverName`; from then on every operation
    // goes through the TLS session until the socket is closed. Bytes the peer sent
    // ahead of the handshake are dropped (RFC 3207 §4.2). The wait keeps the time-out,
    // cancel and status rules of ReadLn. Failures raise ESockError naming the reason
    // (EAbortError for a cancel or time-out) and leave a connection on which nothing
    // more can be sent.
    void StartTls(const std::string& serverName);
    bool Secured() const;

    // The code of the last reply Transaction read, 0 while none has come; the last line read.
    int16_t ReplyNumber() const { return reply_.code(); }
    const std::string& LastReply() const { return reply_.last(); }
    const TReply& Reply() const { return reply_; }

    bool Connected() const { return connected_; }
    bool Canceled() const { return canceled_; }
    bool TimedOut() const { return timedOut_; }
    bool Succeeded() const { return succeeded_; }
    bool WaitDone() const { return waitDone_; }
    bool Destroying() const { return destroying_; }

    uint16_t Socket() const { return socket_; }
    HWND WindowHandle() const { return windowHandle_; }
    const winsock::sockaddr_in& RemoteAddress() const { return *remoteAddress_; }
    TThreadTimer& Timer() { return *timer_; }

    // Expires when the component is destroyed.
    std::weak_ptr<const bool> LifeToken() const { return alive_; }

    static int32_t WinsockUsers();

    // Called by the notification window for every message numbered WM_SOCKETEVENT or higher.
    LRESULT HandleSocketMessage(UINT msg, WPARAM wParam, LPARAM lParam);

    std::string LookUpErrorMessage(uint16_t code);

    static constexpr uint16_t kNoSocket = 65535;
    static constexpr size_t kBufferSize = 65536;
    static constexpr int kHostEntrySize = 1024;

protected:
    // Called when the connection Connect waits for stands, before OnConnect fires: its
    // local address is known and nothing has been exchanged on it. The base does nothing.
    virtual void ConnectionMade() {}
    void ReportStatus(StatusLevel level, const std::string& text);
    // After a failed platform call: raise ESockError unless the error is tolerated or 10000 or less.
    void CheckSocketError(uint16_t tolerated);
    void TimerOn();
    void TimerOff();
    void TimerTriggered(QObject* sender);
    void InitializeWinsock();

    // One turn of a wait: dispatches pending events and, when blocking, sleeps in the
    // event loop until the next one. Raises EAbortError(abortText) if the component
    // was destroyed meanwhile (without touching it).
    void Pump(PumpMode mode, const char* abortText);

    bool event(QEvent* e) override;

    bool connected_ = false;
    bool canceled_ = false;
    bool timedOut_ = false;
    bool succeeded_ = false;
    bool waitDone_ = false;
    bool destroying_ = false;

    uint16_t socket_ = kNoSocket;
    uint16_t acceptedSocket_ = kNoSocket; // the last socket Accept returned
    std::array<char, kBufferSize + 1> buffer_{};
    std::array<char, kBufferSize> sendBuffer_{}; // SendStream's block, apart from what reads peek into Buffer
    TReply reply_; // the last reply read; a subclass that reads more lines of it adds them

private:
    // Raises ESockError "No socket available: <error text>" when no socket can be made.
    void OpenSocket();
    void SendBytes(const char* data, size_t length);
    // Sends one block of SendStream, OnPacketSent after every send and the event loop
    // served now and then; false when send took nothing (the stream ends there).
    bool SendStreamBlock(const char* block, int32_t got, bool& watching,
                         std::chrono::steady_clock::time_point& lastPump);
    // What one look at the socket found for ReadLn.
    enum class LineTurn : uint8_t { PeerClosed, LineEnd, NotConnected, Wait, Again };
    // One turn of ReadLn: takes what came into `line` (growing `got`) unless it holds
    // the line end, whose index in Buffer then goes to `lf`. Raises "Line too long"
    // when Buffer is full without one.
    LineTurn ReadLnTurn(std::string& line, size_t& got, size_t& lf);
    void ArmTimer(TimerReport report);
    void ArmTimer(TimerReport report, int32_t limitMs);
    // Starts the running time-out's period again (progress was made).
    void RestartTimer();
    void DisarmTimer(TimerReport report);
    void WaitWritable(bool& watching);
    void StopWatchingWrites(bool watching);
    // The socket's send and recv as the operations above see them: through the TLS
    // session once StartTls has run (net/linksock_tls.cpp).
    int SocketSend(const char* data, int length);
    int SocketRecv(char* data, int length, int flags);
    bool FlushTls();
    // Takes what the peer sent into the session (a bounded amount), decrypts it into the
    // waiting plaintext and sends what that made the session owe the peer. Returns
    // WinSock's error when the socket had nothing, 0 otherwise.
    int PullTls();
    void DropInput();

    std::string host_;
    int32_t port_ = 0;
    int32_t timeOut_ = 0;
    int32_t reportLevel_ = 0;

    HWND windowHandle_ = 0;
    std::unique_ptr<TThreadTimer> timer_;
    std::unique_ptr<winsock::sockaddr_in> remoteAddress_;
    // Holds the host entry the lookup writes (aligned for it: checked where it is read).
    alignas(std::max_align_t) std::array<char, kHostEntrySize> hostEntryBuffer_{};
    uintptr_t lookup_ = 0; // the running lookup's handle, 0 when none
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    bool beingDestroyed_ = false; // the component state: no OnStatus, no OnDisconnect
    int waitDepth_ = 0;
    bool deferredDelete_ = false;
    bool winsockStarted_ = false;
    bool discardLine_ = false; // the next read first drops the rest of a line refused as too long
    std::unique_ptr<TTlsLink, TTlsLinkDeleter> tls_;
};

} // namespace kelvo
