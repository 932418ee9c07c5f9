// TLinksock: connection set-up, notifications, time-outs, and the line and transaction I/O.
#include "net/linksock.h"

#include "net/notify_window.h"
#include "net/reply.h"
#include "net/socket_texts.h"
#include "net/thread_timer.h"
#include "platform/exceptions.h"
#include "platform/guarded.h"
#include "platform/scope_exit.h"
#include "platform/streams.h"
#include "platform/winsock.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace kelvo {

namespace ws = winsock;

namespace {

int32_t winsockUsers = 0;

constexpr long kEventMask = ws::FD_READ | ws::FD_OOB | ws::FD_ACCEPT | ws::FD_CONNECT | ws::FD_CLOSE; // 0x3D
constexpr uint16_t kWouldBlock = ws::WSAEWOULDBLOCK;
static_assert(alignof(ws::hostent) <= alignof(std::max_align_t));
static_assert(std::is_same_v<ws::HANDLE, uintptr_t>);

using namespace socket_text;

struct ErrorRow {
    int32_t code;
    const char* text;
};

// Ascending by code; the closing row of code 0 never matches, since 0 is never looked up.
const ErrorRow kErrorTable[51] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    {0, "Unrecognized error code"},
};

// A scope guard's action that does nothing once the component has died meanwhile.
template <typename F>
auto WhileAlive(std::shared_ptr<bool> alive, F f) {
    return [alive = std::move(alive), f = std::move(f)] {
        if (*alive) f();
    };
}

// The abort text of the innermost operation running, for a status handler that destroys
// the component in the middle of it. All on the GUI thread; scopes nest with the waits.
const char* abortTextInUse = kSendAborted;

class AbortTextScope {
public:
    explicit AbortTextScope(const char* text) : saved_(abortTextInUse) { abortTextInUse = text; }
    ~AbortTextScope() { abortTextInUse = saved_; }
    AbortTextScope(const AbortTextScope&) = delete;
    AbortTextScope& operator=(const AbortTextScope&) = delete;

private:
    const char* saved_;
};

} // namespace

int32_t TLinksock::WinsockUsers() { return winsockUsers; }

TLinksock::TLinksock(QObject* owner) : QObject(owner), remoteAddress_(std::make_unique<ws::sockaddr_in>()) {
    windowHandle_ = CreateNotifyWindow(this);
    timer_ = std::make_unique<TThreadTimer>();
    timer_->SetEnabled(false);
    timer_->SetOnTimer([this](QObject* sender) { TimerTriggered(sender); });
    timeOut_ = 0;
    canceled_ = destroying_ = connected_ = false;
    try {
        InitializeWinsock();
    } catch (...) {
        timer_.reset();
        if (windowHandle_ != 0) DestroyWindow(windowHandle_);
        throw;
    }
}

TLinksock::~TLinksock() {
    beingDestroyed_ = true;
    *alive_ = false; // a wait still on the stack must not come back to this object
    TLinksock::Abort();
    Cancel();
    timer_.reset();
    if (lookup_ != 0) {
        ws::WSACancelAsyncRequest(lookup_);
        lookup_ = 0;
    }
    if (windowHandle_ != 0) DestroyWindow(windowHandle_);
    windowHandle_ = 0;
    destroying_ = true;
    if (winsockStarted_) {
        try {
            RequestCloseSocket();
        } catch (...) {
            // A failing close cannot be reported from here.
        }
        if (--winsockUsers == 0) ws::WSACleanup();
    }
}

void TLinksock::InitializeWinsock() {
    if (++winsockUsers == 1) {
        ws::WSADATA data;
        ws::WSAStartup(0x0101, &data);
    }
    const ws::SOCKET s = ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP);
    if (s == ws::INVALID_SOCKET) {
        if (--winsockUsers == 0) ws::WSACleanup();
        throw ESockError(kInitializationFailed);
    }
    socket_ = static_cast<uint16_t>(s);
    // Closing resets the connection at once instead of lingering.
    ws::linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    ws::setsockopt(s, ws::SOL_SOCKET, ws::SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    ws::WSAAsyncSelect(s, windowHandle_, WM_SOCKETEVENT, kEventMask);
    winsockStarted_ = true;
}

void TLinksock::OpenSocket() {
    // Protocol 0 and no linger option, unlike the start-up socket.
    const ws::SOCKET s = ws::socket(ws::AF_INET, ws::SOCK_STREAM, 0);
    if (s == ws::INVALID_SOCKET) {
        socket_ = kNoSocket;
        const int code = ws::WSAGetLastError();
        throw ESockError(kNoSocketAvailable + LookUpErrorMessage(static_cast<uint16_t>(code)));
    }
    socket_ = static_cast<uint16_t>(s);
    ws::WSAAsyncSelect(s, windowHandle_, WM_SOCKETEVENT, kEventMask);
}

void TLinksock::ReportStatus(StatusLevel level, const std::string& text) {
    if (static_cast<int32_t>(level) > reportLevel_ || beingDestroyed_ || !OnStatus) return;
    const std::shared_ptr<bool> alive = alive_;
    try {
        (void)Fire(LifeToken(), OnStatus, this, text);
    } catch (...) {
        // A status display must never break the operation it reports on.
    }
    if (!*alive) throw EAbortError(abortTextInUse); // nothing of the component may be touched any more
}

std::string TLinksock::LookUpErrorMessage(uint16_t code) {
    ReportStatus(StatusLevel::Everything, "Looking Up Error Message");
    std::string result;
    if (code != 0) {
        for (const ErrorRow& row : kErrorTable) {
            if (row.code == code) result = std::to_string(code) + ":" + row.text;
        }
    }
    if (result.empty()) result = kUnknownError + std::to_string(code);
    return result;
}

void TLinksock::CheckSocketError(uint16_t tolerated) {
    const int code = ws::WSAGetLastError();
    if (code != tolerated && code > 10000) throw ESockError(LookUpErrorMessage(static_cast<uint16_t>(code)));
}

void TLinksock::ArmTimer(TimerReport report) { ArmTimer(report, timeOut_); }

void TLinksock::ArmTimer(TimerReport report, int32_t limitMs) {
    if (report == TimerReport::Reported) ReportStatus(StatusLevel::Everything, "Timer On");
    timedOut_ = false;
    // A negative time-out means none, like 0.
    timer_->SetInterval(limitMs > 0 ? static_cast<uint32_t>(limitMs) : 0);
    timer_->SetEnabled(true);
}

void TLinksock::DisarmTimer(TimerReport report) {
    if (report == TimerReport::Reported) ReportStatus(StatusLevel::Everything, "Timer Off");
    timer_->SetEnabled(false);
}

void TLinksock::TimerOn() { ArmTimer(TimerReport::Reported); }

void TLinksock::TimerOff() { DisarmTimer(TimerReport::Reported); }

void TLinksock::TimerTriggered(QObject*) {
    try {
        ReportStatus(StatusLevel::Everything, "Timer Triggered");
        TimerOff();
    } catch (const EAbortError&) {
        return; // a status handler destroyed the component: nothing is left to time out
    }
    timedOut_ = true;
    waitDone_ = true;
    Abort();
}

void TLinksock::Cancel() {
    ReportStatus(StatusLevel::Everything, "Canceling");
    canceled_ = true;
}

void TLinksock::Abort() {
    ReportStatus(StatusLevel::Everything, "Abort");
    Cancel();
}

void TLinksock::Pump(PumpMode mode, const char* abortText) {
    const std::shared_ptr<bool> alive = alive_;
    ++waitDepth_;
    const QEventLoop::ProcessEventsFlags flags = mode == PumpMode::BlockUntilEvent
                                                     ? QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents
                                                     : QEventLoop::AllEvents;
    QCoreApplication::processEvents(flags);
    if (!*alive) throw EAbortError(abortText);
    if (--waitDepth_ == 0 && deferredDelete_) {
        deferredDelete_ = false;
        QCoreApplication::postEvent(this, new QDeferredDeleteEvent());
    }
}

bool TLinksock::event(QEvent* e) {
    if (e->type() == QEvent::DeferredDelete && waitDepth_ > 0) {
        // A wait of this component is on the stack: end it, and delete once it has left.
        deferredDelete_ = true;
        // A status handler may destroy the component outright; nothing is left to do then.
        (void)Guarded("deferred delete", [this] { Cancel(); });
        return true;
    }
    return QObject::event(e);
}

void TLinksock::ResolveHost() {
    const AbortTextScope scope(kHostLookupCanceled);
    ReportStatus(StatusLevel::Everything, "Resolve Host");
    if (host_.size() > kBufferSize) throw ESockError(kHostTooLong, ErrorKind::HostNameTooLong);
    std::memcpy(buffer_.data(), host_.data(), host_.size());
    buffer_[host_.size()] = '\0';
    remoteAddress_->sin_addr = ws::inet_addr(buffer_.data());
    if (remoteAddress_->sin_addr != ws::INADDR_NONE) return;

    remoteAddress_->sin_addr = 0;
    TimerOn();
    waitDone_ = false;
    lookup_ = ws::WSAAsyncGetHostByName(windowHandle_, WM_LOOKUPDONE, buffer_.data(), hostEntryBuffer_.data(),
                                        kHostEntrySize);
    if (lookup_ == 0) {
        TimerOff();
        throw ESockError(kHostLookupFailed);
    }
    while (!(waitDone_ || timedOut_ || canceled_)) Pump(PumpMode::BlockUntilEvent, kHostLookupCanceled);
    TimerOff();
    if (lookup_ != 0) {
        // Abandoned: withdraw it, so the late answer neither fills the buffer nor ends another wait.
        ws::WSACancelAsyncRequest(lookup_);
        lookup_ = 0;
    }

    if (timedOut_) throw ESockError(kHostLookupTimedOut, ErrorKind::HostLookupTimedOut);
    if (canceled_) throw ESockError(kHostLookupCanceled, ErrorKind::HostLookupCanceled);
    if (!succeeded_) throw ESockError(kHostLookupFailed);
    const auto* entry = reinterpret_cast<const ws::hostent*>(hostEntryBuffer_.data());
    if (entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) throw ESockError(kHostLookupFailed);
    std::memcpy(&remoteAddress_->sin_addr, entry->h_addr_list[0], 4);
    if (!Fire(LifeToken(), OnHostResolved, this)) throw EAbortError(kHostLookupCanceled);
}

void TLinksock::Connect() {
    const AbortTextScope scope(kConnectionCanceled);
    ReportStatus(StatusLevel::Everything, "Connecting");
    canceled_ = false;
    if (connected_) throw ESockError(kAlreadyConnected);

    const std::shared_ptr<bool> alive = alive_;
    for (int attempts = 0;; ++attempts) {
        try {
            ResolveHost();
        } catch (const ESockError& e) {
            if (!*alive) throw;
            // A failed lookup may still be mended by OnInvalidHost; a time-out, a cancel or
            // a name that does not fit cannot.
            const ErrorKind kind = e.Kind();
            if (kind == ErrorKind::HostLookupTimedOut || kind == ErrorKind::HostLookupCanceled ||
                kind == ErrorKind::HostNameTooLong)
                throw;
        }
        if (remoteAddress_->sin_addr != 0) break;
        if (attempts > 0 || !OnInvalidHost) throw ESockError(kNullRemoteAddress);
        bool handled = false;
        if (!Fire(LifeToken(), OnInvalidHost, handled)) throw EAbortError(kConnectionCanceled);
        if (!handled) throw ESockError(kNullRemoteAddress);
    }

    remoteAddress_->sin_family = ws::AF_INET;
    remoteAddress_->sin_port = (ws::htons)(static_cast<uint16_t>(port_ & 0xFFFF));
    waitDone_ = false;
    succeeded_ = true;
    if (socket_ == kNoSocket) OpenSocket(); // an earlier replacement failed; try once more
    if (ws::connect(socket_, remoteAddress_.get(), 16) == ws::SOCKET_ERROR) CheckSocketError(kWouldBlock);
    TimerOn();
    while (!(connected_ || waitDone_ || timedOut_ || canceled_ || !succeeded_))
        Pump(PumpMode::BlockUntilEvent, kConnectionCanceled);
    TimerOff();
    if (!timedOut_ && !canceled_ && succeeded_) return;
    if (!Fire(LifeToken(), OnConnectionFailed, this)) throw EAbortError(kConnectionCanceled);
    if (timedOut_) throw ESockError(kConnectionTimedOut);
    if (canceled_) throw ESockError(kConnectionCanceled);
    throw ESockError(kConnectionFailed);
}

void TLinksock::Disconnect() {
    ReportStatus(StatusLevel::Everything, "Disconnecting");
    RequestCloseSocket();
}

void TLinksock::RequestCloseSocket() {
    ReportStatus(StatusLevel::MajorStep, "Request Close Socket");
    connected_ = false;
    tls_.reset(); // a TLS session ends with its connection
    if (socket_ == kNoSocket) return;
    if (ws::closesocket(socket_) == ws::SOCKET_ERROR) {
        CheckSocketError(kWouldBlock);
        return;
    }
    socket_ = kNoSocket;
    discardLine_ = false; // a refused line ends with its connection
    if (!beingDestroyed_ && !Fire(LifeToken(), OnDisconnect, this)) return;
    // Always hold an unconnected socket ready for the next Connect.
    if (!destroying_) OpenSocket();
}

bool TLinksock::DataAvailable() {
    ReportStatus(StatusLevel::Everything, "Data Available");
    // Not into Buffer: a send waiting in the event loop may still hold unsent bytes there.
    char peeked;
    return SocketRecv(&peeked, 1, ws::MSG_PEEK) >= 1;
}

std::string TLinksock::LocalAddress() const {
    if (!connected_) return {};
    ws::sockaddr_in local;
    int length = sizeof local;
    if (ws::getsockname(socket_, &local, &length) != 0) return {};
    // sin_addr holds the address in network order: its bytes, as stored, are the four parts.
    unsigned char part[4];
    std::memcpy(part, &local.sin_addr, sizeof part);
    return std::to_string(part[0]) + "." + std::to_string(part[1]) + "." + std::to_string(part[2]) + "." +
           std::to_string(part[3]);
}

void TLinksock::SendWithoutDelay() {
    const int on = 1;
    ws::setsockopt(socket_, ws::IPPROTO_TCP, ws::TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

bool TLinksock::PeerStirredWhileIdle() {
    char byte = 0;
    if (ws::recv(socket_, &byte, 1, ws::MSG_PEEK) >= 0) return true;
    return ws::WSAGetLastError() != kWouldBlock;
}

LRESULT TLinksock::HandleSocketMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    const std::shared_ptr<bool> alive = alive_;
    (void)Guarded("socket notification", [&] {
        if (msg == WM_LOOKUPDONE) {
            // Only the lookup being waited for counts; a withdrawn one must not end a later wait.
            if (lookup_ == 0 || wParam != lookup_) return;
            lookup_ = 0;
            succeeded_ = HIWORD(lParam) == 0;
            waitDone_ = true;
            return;
        }
        // Notifications still queued for a socket closed since then belong to nobody.
        if (msg == WM_SOCKETEVENT && wParam != socket_ && wParam != acceptedSocket_) return;
        succeeded_ = HIWORD(lParam) == 0;
        if (msg != WM_SOCKETEVENT) return;
        switch (LOWORD(lParam)) {
        case ws::FD_ACCEPT:
            connected_ = true;
            break;
        case ws::FD_CONNECT:
            // Ends Connect's wait even when an FD_CLOSE handled in the same turn has
            // already taken the connection away again.
            waitDone_ = true;
            if (succeeded_) {
                connected_ = true;
                ConnectionMade();
                if (!Fire(LifeToken(), OnConnect, this)) return;
            }
            break;
        case ws::FD_CLOSE:
            // With data still waiting, the reader meets the end when it has used it up.
            if (!DataAvailable() && *alive) RequestCloseSocket();
            break;
        default:
            break;
        }
    });
    return 0;
}

void TLinksock::StopWatchingWrites(bool watching) {
    if (watching && socket_ != kNoSocket) ws::WSAAsyncSelect(socket_, windowHandle_, WM_SOCKETEVENT, kEventMask);
}

void TLinksock::WaitWritable(bool& watching) {
    // FD_WRITE is asked for only while a send waits for room, so the wait can sleep.
    if (!watching) {
        ws::WSAAsyncSelect(socket_, windowHandle_, WM_SOCKETEVENT, kEventMask | ws::FD_WRITE);
        watching = true;
    }
    Pump(PumpMode::BlockUntilEvent, kSendAborted);
}

void TLinksock::RestartTimer() {
    // Off and on again starts a full period; quietly, since no wait begins or ends here.
    if (timer_->Enabled()) {
        timer_->SetEnabled(false);
        timer_->SetEnabled(true);
    }
}

void TLinksock::SendBytes(const char* data, size_t length) {
    bool watching = false;
    const ScopeExit stop(WhileAlive(alive_, [&] { StopWatchingWrites(watching); }));
    size_t remaining = length;
    bool waited = false;
    while (remaining > 0 && !canceled_) {
        const int chunk = static_cast<int>(std::min<size_t>(remaining, INT_MAX));
        const int n = SocketSend(data + (length - remaining), chunk);
        if (n == 0) break;
        if (n > 0) {
            remaining -= static_cast<size_t>(n);
            // The time-out measures a peer that takes nothing, not a long text to a slow
            // one: every byte taken after a wait starts the period again.
            if (waited) {
                RestartTimer();
                waited = false;
            }
            continue;
        }
        CheckSocketError(kWouldBlock);
        WaitWritable(watching);
        waited = true;
    }
}

void TLinksock::SendBuffer(const char* data, uint16_t length) {
    const AbortTextScope scope(kSendAborted);
    ReportStatus(StatusLevel::MajorStep, "Sending Buffer");
    TimerOn();
    const ScopeExit off(WhileAlive(alive_, [this] { TimerOff(); }));
    if (!canceled_) {
        size_t n = length;
        if (n == 0) n = data ? strnlen(data, 65535) : 0;
        SendBytes(data, n);
    }
    if (canceled_) {
        canceled_ = false;
        throw EAbortError(kSendAborted);
    }
}

void TLinksock::Write(const std::string& text) {
    const AbortTextScope scope(kSendAborted);
    ReportStatus(StatusLevel::Everything, "Write");
    // The text ends at its first NUL; longer texts than the working buffer go out whole.
    const size_t n = std::min(text.find('\0'), text.size());
    ReportStatus(StatusLevel::MajorStep, "Sending Buffer");
    TimerOn();
    const ScopeExit off(WhileAlive(alive_, [this] { TimerOff(); }));
    if (!canceled_) SendBytes(text.data(), n);
    if (canceled_) {
        canceled_ = false;
        throw EAbortError(kSendAborted);
    }
}

void TLinksock::Writeln(const std::string& text) {
    const AbortTextScope scope(kSendAborted);
    ReportStatus(StatusLevel::Everything, "Writeln");
    Write(text + "\r\n");
}

void TLinksock::SendStream(TStream& stream) {
    const AbortTextScope scope(kSendAborted);
    ReportStatus(StatusLevel::Everything, "SendStream");
    stream.SetPosition(0);
    bool watching = false;
    const ScopeExit cleanup(WhileAlive(alive_, [&] {
        DisarmTimer(TimerReport::Quiet);
        StopWatchingWrites(watching);
    }));
    if (!canceled_) {
        auto lastPump = std::chrono::steady_clock::now();
        // The block waits in its own buffer: anything that reads or peeks during the
        // waits below uses Buffer and must not overwrite bytes not yet sent.
        char* const block = sendBuffer_.data();
        do {
            const int64_t left = stream.Size() - stream.Position();
            const int32_t count = static_cast<int32_t>(std::min<int64_t>(left, static_cast<int64_t>(kBufferSize)));
            const int32_t got = stream.Read(block, count);
            if (got <= 0) break; // a stream that gives nothing more would otherwise be asked for ever
            if (!SendStreamBlock(block, got, watching, lastPump)) return;
        } while (stream.Position() != stream.Size() && !canceled_);
    }
    if (canceled_) {
        canceled_ = false;
        throw EAbortError(kSendAborted);
    }
}

bool TLinksock::SendStreamBlock(const char* block, int32_t got, bool& watching,
                                std::chrono::steady_clock::time_point& lastPump) {
    // Keep the window live between sends without paying for a dispatch per block.
    constexpr auto kPumpEvery = std::chrono::milliseconds(10);
    // A stalled peer cannot hold the send for ever: the timer is armed when the
    // block first has to wait, and restarted whenever the peer takes more.
    bool armed = false;
    bool waited = false;
    int32_t remaining = got;
    do {
        const int n = SocketSend(block + (got - remaining), remaining);
        if (n == 0) return false;
        if (n > 0) {
            remaining -= n;
            if (waited) {
                RestartTimer();
                waited = false;
            }
            if (!Fire(LifeToken(), OnPacketSent, this)) throw EAbortError(kSendAborted);
            const auto now = std::chrono::steady_clock::now();
            if (now - lastPump >= kPumpEvery) {
                lastPump = now;
                Pump(PumpMode::DispatchOnly, kSendAborted);
            }
        } else {
            CheckSocketError(kWouldBlock);
            if (!armed) {
                ArmTimer(TimerReport::Quiet);
                armed = true;
            }
            WaitWritable(watching);
            waited = true;
            lastPump = std::chrono::steady_clock::now();
        }
    } while (remaining > 0 && !canceled_);
    if (armed) DisarmTimer(TimerReport::Quiet);
    return true;
}

void TLinksock::ReadLn(std::string& line) { ReadLnWithin(line, timeOut_); }

void TLinksock::ReadLnWithin(std::string& line, int32_t limitMs) {
    const AbortTextScope scope(kReadAborted);
    ReportStatus(StatusLevel::Everything, "ReadLn");
    size_t got = 0;
    line.clear();
    ArmTimer(TimerReport::Reported, limitMs);
    const ScopeExit off(WhileAlive(alive_, [this] { TimerOff(); }));
    size_t lf = 0;
    bool found = false;
    do {
        const LineTurn turn = ReadLnTurn(line, got, lf);
        if (turn == LineTurn::PeerClosed) {
            line.clear(); // the peer closed: an empty line, not an error
            return;
        }
        if (turn == LineTurn::LineEnd) {
            found = true;
            break;
        }
        if (turn == LineTurn::NotConnected) break;
        // With a cancel already pending this is the last turn: look at what has arrived,
        // but do not sleep waiting for more.
        if (turn == LineTurn::Wait) Pump(canceled_ ? PumpMode::DispatchOnly : PumpMode::BlockUntilEvent, kReadAborted);
    } while (!canceled_);

    if (canceled_) {
        canceled_ = false;
        throw EAbortError(kReadAborted);
    }
    if (found) {
        line.resize(lf + 1);
        const int r = SocketRecv(line.data() + got, static_cast<int>(lf + 1 - got), 0);
        line.resize(got + static_cast<size_t>(std::max(r, 0)));
    } else {
        line.clear();
    }
}

TLinksock::LineTurn TLinksock::ReadLnTurn(std::string& line, size_t& got, size_t& lf) {
    if (got >= kBufferSize) {
        // The peek has no room left: refuse rather than write past the buffer, and
        // drop the rest of this line before the next read.
        line.clear();
        discardLine_ = true;
        throw ESockError(kLineTooLong);
    }
    const int n = SocketRecv(buffer_.data() + got, static_cast<int>(kBufferSize - got), ws::MSG_PEEK);
    if (n == 0) return LineTurn::PeerClosed;
    if (n < 0) {
        if (ws::WSAGetLastError() == ws::WSAENOTCONN) return LineTurn::NotConnected;
        CheckSocketError(kWouldBlock);
        return LineTurn::Wait;
    }
    const char* start = buffer_.data() + got;
    const void* hit = std::memchr(start, '\n', static_cast<size_t>(n));
    if (discardLine_) {
        // The tail of a line refused as too long is no line of its own: drop it
        // through its line end, then read on (nothing is gathered meanwhile).
        const size_t take =
            hit ? static_cast<size_t>(static_cast<const char*>(hit) - start) + 1 : static_cast<size_t>(n);
        const int r = SocketRecv(buffer_.data(), static_cast<int>(take), 0);
        if (hit != nullptr && r == static_cast<int>(take)) {
            discardLine_ = false;
            return LineTurn::Again; // the next line may be waiting already
        }
        return LineTurn::Wait;
    }
    if (hit != nullptr) {
        lf = got + static_cast<size_t>(static_cast<const char*>(hit) - start);
        return LineTurn::LineEnd;
    }
    line.resize(got + static_cast<size_t>(n));
    const int r = SocketRecv(line.data() + got, n, 0);
    got += static_cast<size_t>(std::max(r, 0));
    line.resize(got);
    return LineTurn::Wait;
}

std::string TLinksock::Transaction(const std::string& command) {
    const AbortTextScope scope(kSendAborted);
    ReportStatus(StatusLevel::Everything, "Transaction");
    reply_.Await();
    Writeln(command);
    std::string line;
    ReadLn(line);
    reply_.Start(line);
    if (!line.empty()) {
        ReportStatus(StatusLevel::ServerReply, line);
        reply_.TakeCode();
    }
    return line;
}

void TLinksock::CheckConnection() {
    const AbortTextScope scope(kNotConnected);
    ReportStatus(StatusLevel::Everything, "Checking Connection");
    bool asked = false;
    while (!connected_) {
        if (asked || !OnConnectionRequired) throw Exception(kNotConnected);
        bool handled = false;
        if (!Fire(LifeToken(), OnConnectionRequired, handled)) throw EAbortError(kNotConnected);
        if (!handled) throw Exception(kNotConnected);
        asked = true;
    }
}

void TLinksock::ClearInput() {
    ReportStatus(StatusLevel::Everything, "Clearing Input");
    const int n = SocketRecv(buffer_.data(), static_cast<int>(kBufferSize), 0);
    // Dropped with the rest: the end of a line that was refused as too long.
    if (n > 0 && std::memchr(buffer_.data(), '\n', static_cast<size_t>(n)) != nullptr) discardLine_ = false;
}

uint16_t TLinksock::Accept() {
    const AbortTextScope scope(kAcceptingCanceled);
    ReportStatus(StatusLevel::MajorStep, "Accepting");
    while (!waitDone_ && !canceled_) Pump(PumpMode::BlockUntilEvent, kAcceptingCanceled);
    if (canceled_) throw ESockError(kAcceptingCanceled);
    if (!succeeded_) throw ESockError(kDataConnectionFailed);
    ws::sockaddr_in address;
    int length = 16;
    const ws::SOCKET s = ws::accept(socket_, &address, &length);
    if (s == ws::INVALID_SOCKET) CheckSocketError(kWouldBlock);
    ws::WSAAsyncSelect(s, windowHandle_, WM_SOCKETEVENT, kEventMask);
    if (s != ws::INVALID_SOCKET) {
        acceptedSocket_ = static_cast<uint16_t>(s);
        *remoteAddress_ = address;
    }
    if (canceled_) {
        canceled_ = false;
        throw EAbortError(kSendAborted);
    }
    return static_cast<uint16_t>(s);
}

} // namespace kelvo
