// The scripted SMTP peer: one accepted connection, played on its own thread with non-blocking POSIX calls and poll.
#include "smtp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace kelvo::test {
namespace {

constexpr int kStepWaitMs = 15000;

int ListenOn(uint16_t& port, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        throw std::runtime_error("scripted SMTP server cannot listen");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// Waits for `events` on fd until ms pass or stop is set; returns the revents seen (0 on time-out).
short WaitFor(int fd, short events, int ms, const std::atomic<bool>& stop)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop) {
        pollfd p{fd, events, 0};
        if (::poll(&p, 1, 20) > 0)
            return p.revents;
        if (std::chrono::steady_clock::now() >= end)
            return 0;
    }
    return 0;
}

} // namespace

ScriptedSmtpServer::ScriptedSmtpServer(std::vector<SmtpStep> script, int receiveBuffer)
    : script_(std::move(script)), receiveBuffer_(receiveBuffer)
{
    listenFd_ = ListenOn(port_, receiveBuffer_);
    thread_ = std::thread([this] { Run(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    ::close(listenFd_);
}

bool ScriptedSmtpServer::Join(int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done_ && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done_;
}

std::string ScriptedSmtpServer::Received()
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedSmtpServer::Messages()
{
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<std::string> ScriptedSmtpServer::Errors()
{
    std::lock_guard lock(mutex_);
    return errors_;
}

void ScriptedSmtpServer::Run()
{
    auto fail = [this](const std::string& e) {
        std::lock_guard lock(mutex_);
        errors_.push_back(e);
    };
    if (!(WaitFor(listenFd_, POLLIN, kStepWaitMs, stop_) & POLLIN)) {
        done_ = true;
        return;
    }
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        fail("accept failed");
        done_ = true;
        return;
    }
    accepted_ = true;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    std::string pending;  // read but not yet used by a step
    // Reads what is there; 1 = got bytes, 0 = the client closed, -1 = error, -2 = nothing in time.
    auto readMore = [&](int ms) -> int {
        const short ev = WaitFor(fd, POLLIN, ms, stop_);
        if (ev == 0)
            return -2;
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            pending.append(buf, static_cast<size_t>(n));
            std::lock_guard lock(mutex_);
            received_.append(buf, static_cast<size_t>(n));
            return 1;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 1;
        return n == 0 ? 0 : -1;
    };
    auto sendAll = [&](const std::string& bytes) -> bool {
        size_t off = 0;
        while (off < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n > 0) {
                off += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                const short ev = WaitFor(fd, POLLOUT, kStepWaitMs, stop_);
                if (ev & POLLOUT)
                    continue;
            }
            return false;
        }
        return true;
    };

    bool ended = false;
    for (const SmtpStep& step : script_) {
        if (stop_ || ended)
            break;
        switch (step.kind) {
        case SmtpStep::Send:
            if (!sendAll(step.text)) {
                fail("send failed before: " + step.text.substr(0, 40));
                ended = true;
            }
            break;
        case SmtpStep::Expect: {
            size_t eol;
            while ((eol = pending.find('\n')) == std::string::npos) {
                if (readMore(kStepWaitMs) <= 0)
                    break;
            }
            if (eol == std::string::npos) {
                fail("no line for C: " + step.text);
                ended = true;
                break;
            }
            const std::string line = pending.substr(0, eol + 1);
            pending.erase(0, eol + 1);
            const bool wildcard = !step.text.empty() && step.text.back() == '*';
            const std::string want = wildcard ? step.text.substr(0, step.text.size() - 1) : step.text;
            const bool match = wildcard ? line.compare(0, want.size(), want) == 0 && line.size() >= want.size() + 2 &&
                                              line.compare(line.size() - 2, 2, "\r\n") == 0
                                        : line == want + "\r\n";
            if (!match)
                fail("expected C: " + step.text + " got: " + line);
            break;
        }
        case SmtpStep::Data: {
            // The data ends at CR LF "." CR LF; the first line may be "." alone too.
            size_t end = std::string::npos;
            size_t from = 0;
            for (;;) {
                if (pending.compare(0, 3, ".\r\n") == 0) {
                    end = 0;
                    break;
                }
                end = pending.find("\r\n.\r\n", from);
                if (end != std::string::npos) {
                    end += 2;
                    break;
                }
                from = pending.size() > 4 ? pending.size() - 4 : 0;
                if (readMore(kStepWaitMs) <= 0)
                    break;
            }
            if (end == std::string::npos) {
                fail("message data did not end");
                ended = true;
                break;
            }
            {
                std::lock_guard lock(mutex_);
                messages_.push_back(pending.substr(0, end));
            }
            pending.erase(0, end + 3);
            break;
        }
        case SmtpStep::ReadSome:
            while (pending.size() < step.bytes) {
                if (readMore(kStepWaitMs) <= 0)
                    break;
            }
            pending.erase(0, std::min(step.bytes, pending.size()));
            break;
        case SmtpStep::Close:
            ::close(fd);
            fd = -1;
            ended = true;
            break;
        case SmtpStep::Reset: {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(fd);
            fd = -1;
            ended = true;
            break;
        }
        case SmtpStep::Silent:
            // Wait for the client to hang up, without touching the data it sent.
            while (!stop_) {
                const short ev = WaitFor(fd, POLLRDHUP, 100, stop_);
                if (ev & (POLLRDHUP | POLLHUP | POLLERR))
                    break;
            }
            ended = true;
            break;
        case SmtpStep::BigLine: {
            std::string line = "500 ";
            line.append(step.bytes > 6 ? step.bytes - 6 : 0, 'x');
            line += "\r\n";
            if (!sendAll(line))
                ended = true;  // the client gave up on the line: that is the point
            break;
        }
        case SmtpStep::Pause:
            for (size_t waited = 0; waited < step.bytes && !stop_; waited += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            break;
        }
    }
    done_ = true;
    if (fd >= 0) {
        // Keep the connection until the client goes, taking in what it sends, so that
        // its reads see our last reply before any close.
        while (!stop_) {
            const int r = readMore(100);
            if (r == 0 || r == -1)
                break;
        }
        ::close(fd);
    }
}

uint16_t UnusedLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

} // namespace kelvo::test
