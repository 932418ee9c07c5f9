// The scripted peer: one accepted connection, played on its own thread with non-blocking
// POSIX calls and poll, so that no step can outlive its time-out or the server.
#include "scripted_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace kelvo::test {
namespace {

constexpr int kStepWaitMs = 15000;

using Clock = std::chrono::steady_clock;

// Waits for `events` on fd until ms pass (for ever when ms < 0) or stop is set;
// returns the revents seen (0 on time-out).
short WaitFor(int fd, short events, int ms, const std::atomic<bool>& stop) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!stop) {
        pollfd p{fd, events, 0};
        if (::poll(&p, 1, 20) > 0) return p.revents;
        if (ms >= 0 && Clock::now() >= end) return 0;
    }
    return 0;
}

void SleepUnlessStopped(int ms, const std::atomic<bool>& stop) {
    for (int waited = 0; waited < ms && !stop; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, ms - waited)));
}

bool LineMatches(const std::string& line, const std::string& expected) {
    if (expected.empty() || expected.back() != '*') return line == expected + "\r\n";
    const std::string head = expected.substr(0, expected.size() - 1);
    return line.size() >= head.size() + 2 && line.compare(0, head.size(), head) == 0 &&
           line.compare(line.size() - 2, 2, "\r\n") == 0;
}

// Where message data ends in `pending` (the offset of the "." line), or npos.
size_t DataEnd(const std::string& pending, size_t from) {
    if (pending.compare(0, 3, ".\r\n") == 0) return 0;
    const size_t at = pending.find("\r\n.\r\n", from);
    return at == std::string::npos ? at : at + 2;
}

} // namespace

// The accepted socket and what has been read from it but not yet used by a step.
class ScriptedServer::Connection {
public:
    Connection(ScriptedServer& server, int fd) : server_(server), fd_(fd) {}
    ~Connection() { CloseNow(); }

    // Plays one step; false ends the script.
    bool Play(const Step& step);
    // Keeps the connection until the client goes, taking in what it sends, so that its
    // reads see our last reply before any close.
    void HoldUntilClientGoes();
    bool Open() const { return fd_ >= 0; }

private:
    // 1 = got bytes (or none yet), 0 = the client closed, -1 = error, -2 = nothing in time.
    int ReadMore(int ms);
    bool SendAll(const std::string& bytes);
    bool Fail(const std::string& error);
    bool ExpectLine(const std::string& expected);
    bool TakeData();
    bool ReadUpTo(size_t n, bool exactly);
    void HoldUnread(int ms);
    void Trickle(const Step& step);
    void CloseNow();

    ScriptedServer& server_;
    int fd_;
    std::string pending_;
};

bool ScriptedServer::Connection::Play(const Step& step) {
    switch (step.kind) {
    case Step::Send: {
        const bool sent = SendAll(step.data);
        SleepUnlessStopped(server_.options_.pauseAfterSendMs, server_.stop_);
        return sent || Fail("send failed before: " + step.data.substr(0, 40));
    }
    case Step::Expect:
        return ExpectLine(step.data);
    case Step::Data:
        return TakeData();
    case Step::ReadBytes:
        return ReadUpTo(step.bytes, true);
    case Step::ReadSome:
        return ReadUpTo(step.bytes, false);
    case Step::Pause:
        SleepUnlessStopped(step.ms, server_.stop_);
        return true;
    case Step::Close:
        CloseNow();
        return false;
    case Step::Reset: {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        CloseNow();
        return false;
    }
    case Step::Hold:
        HoldUnread(step.ms);
        return true;
    case Step::Drain:
        while (ReadMore(kStepWaitMs) > 0) {}
        return true;
    case Step::HalfClose:
        ::shutdown(fd_, SHUT_WR);
        return true;
    case Step::Trickle:
        Trickle(step);
        return true;
    case Step::BigLine: {
        std::string line = "500 ";
        line.append(step.bytes > 6 ? step.bytes - 6 : 0, 'x');
        // The client giving up on the line is the point: that ends the script quietly.
        return SendAll(line + "\r\n");
    }
    }
    return false;
}

int ScriptedServer::Connection::ReadMore(int ms) {
    if (WaitFor(fd_, POLLIN, ms, server_.stop_) == 0) return -2;
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
        pending_.append(buf, static_cast<size_t>(n));
        std::lock_guard lock(server_.mutex_);
        server_.received_.append(buf, static_cast<size_t>(n));
        return 1;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 1;
    return n == 0 ? 0 : -1;
}

bool ScriptedServer::Connection::SendAll(const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        const bool wouldBlock = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (!wouldBlock || !(WaitFor(fd_, POLLOUT, kStepWaitMs, server_.stop_) & POLLOUT)) return false;
    }
    return true;
}

bool ScriptedServer::Connection::Fail(const std::string& error) {
    std::lock_guard lock(server_.mutex_);
    server_.errors_.push_back(error);
    return false;
}

bool ScriptedServer::Connection::ExpectLine(const std::string& expected) {
    size_t eol;
    while ((eol = pending_.find('\n')) == std::string::npos) {
        if (ReadMore(kStepWaitMs) <= 0) return Fail("no line for C: " + expected);
    }
    const std::string line = pending_.substr(0, eol + 1);
    pending_.erase(0, eol + 1);
    if (!LineMatches(line, expected)) Fail("expected C: " + expected + " got: " + line);
    return true;
}

bool ScriptedServer::Connection::TakeData() {
    size_t from = 0;
    size_t end;
    while ((end = DataEnd(pending_, from)) == std::string::npos) {
        from = pending_.size() > 4 ? pending_.size() - 4 : 0;
        if (ReadMore(kStepWaitMs) <= 0) return Fail("message data did not end");
    }
    {
        std::lock_guard lock(server_.mutex_);
        server_.messages_.push_back(pending_.substr(0, end));
    }
    pending_.erase(0, end + 3);
    return true;
}

bool ScriptedServer::Connection::ReadUpTo(size_t n, bool exactly) {
    bool complete = true;
    while (pending_.size() < n) {
        if (ReadMore(kStepWaitMs) <= 0) {
            complete = false;
            break;
        }
    }
    pending_.erase(0, std::min(n, pending_.size()));
    return complete || !exactly || Fail("short read");
}

void ScriptedServer::Connection::HoldUnread(int ms) {
    // Polls for the hang-up only: the client's bytes stay unread, so its sends stall.
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!server_.stop_ && (ms < 0 || Clock::now() < end)) {
        if (WaitFor(fd_, POLLRDHUP, 20, server_.stop_) & (POLLRDHUP | POLLHUP | POLLERR)) return;
    }
}

void ScriptedServer::Connection::Trickle(const Step& step) {
    size_t got = 0;
    while (got < step.bytes && !server_.stop_) {
        if (!(WaitFor(fd_, POLLIN, kStepWaitMs, server_.stop_) & POLLIN)) return;
        char buf[65536];
        const size_t want = std::min({step.data.size(), sizeof buf, step.bytes - got});
        const ssize_t n = ::recv(fd_, buf, want, 0);
        if (n <= 0) return;
        got += static_cast<size_t>(n);
        {
            std::lock_guard lock(server_.mutex_);
            server_.received_.append(buf, static_cast<size_t>(n));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
    }
}

void ScriptedServer::Connection::HoldUntilClientGoes() {
    while (Open() && !server_.stop_) {
        const int r = ReadMore(100);
        if (r == 0 || r == -1) break;
    }
}

void ScriptedServer::Connection::CloseNow() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

ScriptedServer::ScriptedServer(std::vector<Step> script, PeerOptions options)
    : script_(std::move(script)), options_(options), listener_(4, options.receiveBuffer) {
    thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

bool ScriptedServer::Join(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done_ && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done_;
}

std::string ScriptedServer::Received() {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedServer::Messages() {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<std::string> ScriptedServer::Errors() {
    std::lock_guard lock(mutex_);
    return errors_;
}

void ScriptedServer::Run() {
    if (!(WaitFor(listener_.Fd(), POLLIN, kStepWaitMs, stop_) & POLLIN)) {
        done_ = true;
        return;
    }
    const int fd = ::accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        std::lock_guard lock(mutex_);
        errors_.push_back("accept failed");
        done_ = true;
        return;
    }
    accepted_ = true;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Connection connection(*this, fd);
    for (const Step& step : script_) {
        if (stop_ || !connection.Play(step)) break;
    }
    done_ = true;
    connection.HoldUntilClientGoes();
}

} // namespace kelvo::test
