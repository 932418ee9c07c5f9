// TLinksock's TLS layer: the handshake wait and the socket's send and recv routed through a TTlsChannel.
//
// WinSock's rules hold above this layer: send answers with the bytes it took or "would
// block", recv peeks and takes plaintext, and an empty result means the peer closed.
// A plaintext block counts as sent only once all of its ciphertext is on the socket,
// so a caller that sees "would block" retries with the same bytes, as every send loop
// of the socket client does; the block's count is paid out on that retry.
#include "net/linksock.h"

#include "net/socket_texts.h"
#include "net/tls_texts.h"
#include "net/tls_channel.h"
#include "platform/exceptions.h"
#include "platform/winsock.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kelvo {

namespace ws = winsock;

struct TTlsLink {
    explicit TTlsLink(const std::string& serverName) : channel(serverName) {}
    TTlsChannel channel;
    std::string plain;       // decrypted and not yet taken
    size_t owed = 0;         // plaintext taken whose ciphertext is still going out
    bool peerClosed = false; // end of stream (close_notify or a closed socket)
};

void TTlsLinkDeleter::operator()(TTlsLink* link) const { delete link; }

namespace {

constexpr size_t kMaxPull = 4 * TTlsChannel::kMaxRecord;
using namespace socket_text;
using namespace tls_text;

} // namespace

bool TLinksock::Secured() const { return tls_ && tls_->channel.Established() && !tls_->channel.Failed(); }

bool TLinksock::FlushTls() {
    TTlsChannel& channel = tls_->channel;
    while (!channel.Output().empty()) {
        const std::string& out = channel.Output();
        const int chunk = static_cast<int>(std::min<size_t>(out.size(), kBufferSize));
        const int n = ws::send(socket_, out.data(), chunk, 0);
        if (n <= 0) return false; // the error (would block or worse) is WinSock's own
        channel.Consume(static_cast<size_t>(n));
    }
    return true;
}

void TLinksock::DropInput() {
    std::array<char, 4096> scratch;
    while (ws::recv(socket_, scratch.data(), static_cast<int>(scratch.size()), 0) > 0) {}
}

int TLinksock::SocketSend(const char* data, int length) {
    if (!tls_) return ws::send(socket_, data, length, 0);
    TTlsLink& t = *tls_;
    if (t.channel.Failed() || !t.channel.Established()) {
        // Nothing goes out in clear on a connection that was to be secured.
        ws::WSASetLastError(ws::WSAECONNABORTED);
        return ws::SOCKET_ERROR;
    }
    if (!FlushTls()) return ws::SOCKET_ERROR;
    if (t.owed > 0) {
        const size_t paid = t.owed;
        t.owed = 0;
        return static_cast<int>(paid);
    }
    if (length <= 0) return 0;
    size_t taken = t.channel.Encrypt(data, static_cast<size_t>(length));
    if (taken == 0 && !t.channel.Failed()) {
        // A renegotiation holds the data back: take the peer's handshake records (any
        // plaintext among them waits for the next read) and try once more. Still
        // nothing means "would block"; the wait wakes on the peer's next records too.
        PullTls();
        taken = t.channel.Encrypt(data, static_cast<size_t>(length));
        if (taken == 0 && !t.channel.Failed()) {
            ws::WSASetLastError(ws::WSAEWOULDBLOCK);
            return ws::SOCKET_ERROR;
        }
    }
    if (t.channel.Failed()) throw ESockError(t.channel.FailureText());
    if (!FlushTls()) {
        t.owed = taken;
        return ws::SOCKET_ERROR;
    }
    return static_cast<int>(taken);
}

int TLinksock::PullTls() {
    TTlsLink& t = *tls_;
    int lastError = 0;
    std::array<char, TTlsChannel::kMaxRecord> raw;
    // Bounded, so a peer that sends without pause can neither hold this call nor
    // fill memory: what is left waits in the socket for the next call.
    for (size_t taken = 0; taken < kMaxPull;) {
        const int n = ws::recv(socket_, raw.data(), static_cast<int>(raw.size()), 0);
        if (n > 0) {
            t.channel.Feed(raw.data(), static_cast<size_t>(n));
            taken += static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            t.peerClosed = true;
        else
            lastError = ws::WSAGetLastError();
        break;
    }
    if (t.channel.Decrypt(t.plain) == TTlsChannel::Progress::Done) t.peerClosed = true;
    if (t.channel.Failed()) throw ESockError(t.channel.FailureText());
    // Decrypting may have answered the peer (a ClientHello for its HelloRequest), and
    // the peer may say nothing until that answer has come: it cannot wait for the
    // next call, which may be a time-out away.
    FlushTls();
    return lastError;
}

int TLinksock::SocketRecv(char* data, int length, int flags) {
    if (!tls_) return ws::recv(socket_, data, length, flags);
    TTlsLink& t = *tls_;
    if (t.channel.Failed() || !t.channel.Established()) {
        ws::WSASetLastError(ws::WSAECONNABORTED);
        return ws::SOCKET_ERROR;
    }
    FlushTls(); // records the session owes the peer; what does not fit waits for the next send
    int lastError = 0;
    if (t.plain.empty() && !t.peerClosed) lastError = PullTls();
    if (!t.plain.empty()) {
        const size_t n = std::min(t.plain.size(), static_cast<size_t>(std::max(length, 0)));
        std::memcpy(data, t.plain.data(), n);
        if (!(flags & ws::MSG_PEEK)) t.plain.erase(0, n);
        return static_cast<int>(n);
    }
    if (t.peerClosed) return 0;
    ws::WSASetLastError(lastError != 0 ? lastError : ws::WSAEWOULDBLOCK);
    return ws::SOCKET_ERROR;
}

void TLinksock::StartTls(const std::string& serverName) {
    if (tls_) throw ESockError(kAlreadySecured);
    // Whatever the server sent behind its go-ahead was not protected by the session
    // about to start; taking it for the first replies inside that session is the
    // STARTTLS response injection (RFC 3207 §4.2, CVE-2011-0411 and its kin).
    DropInput();
    tls_.reset(new TTlsLink(serverName));
    TTlsLink& t = *tls_;
    const std::shared_ptr<bool> alive = alive_;
    TimerOn();
    bool watching = false;
    struct Cleanup {
        TLinksock* self;
        std::shared_ptr<bool> alive;
        bool& watching;
        ~Cleanup() {
            if (*alive) {
                self->StopWatchingWrites(watching);
                self->TimerOff();
            }
        }
    } cleanup{this, alive_, watching};

    std::array<char, TTlsChannel::kMaxRecord> raw;
    while (!canceled_) {
        const TTlsChannel::Progress step = t.channel.Handshake();
        // Flush first: a failed verification still owes the server its alert.
        while (!canceled_ && !FlushTls()) {
            CheckSocketError(ws::WSAEWOULDBLOCK);
            WaitWritable(watching);
        }
        if (step == TTlsChannel::Progress::Done) break;
        if (step == TTlsChannel::Progress::Failed) throw ESockError(t.channel.FailureText());
        const int n = ws::recv(socket_, raw.data(), static_cast<int>(raw.size()), 0);
        if (n > 0) {
            t.channel.Feed(raw.data(), static_cast<size_t>(n));
            continue;
        }
        if (n == 0) throw ESockError(kHandshakeClosed);
        const int error = ws::WSAGetLastError();
        if (error != ws::WSAEWOULDBLOCK)
            throw ESockError(std::string(kHandshakeFailed) + LookUpErrorMessage(static_cast<uint16_t>(error)));
        Pump(PumpMode::BlockUntilEvent, kHandshakeAborted);
    }
    if (canceled_) {
        canceled_ = false;
        throw EAbortError(timedOut_ ? kHandshakeTimedOut : kHandshakeAborted);
    }
}

} // namespace kelvo
