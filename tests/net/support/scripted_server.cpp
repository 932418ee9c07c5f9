// The scripted TCP peer: one accepted connection, played on its own thread with blocking POSIX calls.
#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace kelvo::testing {
namespace {

int listenOn(uint16_t& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0)
        throw std::runtime_error("scripted server cannot listen");
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// Waits until fd is readable, the deadline passes or stop is set.
bool waitReadable(int fd, int ms, const std::atomic<bool>& stop)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0)
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
    }
    return false;
}

} // namespace

ScriptedServer::ScriptedServer(std::vector<Step> script, int receiveBuffer)
    : script_(std::move(script)), receiveBuffer_(receiveBuffer)
{
    listenFd_ = listenOn(port_);
    if (receiveBuffer_ > 0)
        ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer_, sizeof receiveBuffer_);
    thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    ::close(listenFd_);
}

bool ScriptedServer::Join(int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done_ && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done_;
}

std::string ScriptedServer::Received()
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedServer::Errors()
{
    std::lock_guard lock(mutex_);
    return errors_;
}

void ScriptedServer::Run()
{
    auto fail = [this](const std::string& e) {
        std::lock_guard lock(mutex_);
        errors_.push_back(e);
    };
    if (!waitReadable(listenFd_, 15000, stop_)) {
        done_ = true;
        return;
    }
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        fail("accept failed");
        done_ = true;
        return;
    }
    accepted_ = true;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string pending;  // read but not yet matched
    auto readMore = [&](int ms) -> int {
        if (!waitReadable(fd, ms, stop_))
            return -2;
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            pending.append(buf, static_cast<size_t>(n));
            std::lock_guard lock(mutex_);
            received_.append(buf, static_cast<size_t>(n));
        }
        return static_cast<int>(n);
    };
    for (const Step& step : script_) {
        if (stop_ || fd < 0)
            break;
        switch (step.kind) {
        case Step::Send: {
            size_t off = 0;
            while (off < step.data.size()) {
                const ssize_t n = ::send(fd, step.data.data() + off, step.data.size() - off, MSG_NOSIGNAL);
                if (n <= 0) {
                    fail("send failed");
                    break;
                }
                off += static_cast<size_t>(n);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            break;
        }
        case Step::Expect: {
            size_t eol;
            while ((eol = pending.find('\n')) == std::string::npos) {
                if (readMore(10000) <= 0) {
                    fail("no line for C: " + step.data);
                    break;
                }
            }
            if (eol == std::string::npos)
                break;
            std::string line = pending.substr(0, eol + 1);
            pending.erase(0, eol + 1);
            if (line != step.data + "\r\n")
                fail("expected C: " + step.data + " got: " + line);
            break;
        }
        case Step::Pause:
            for (int waited = 0; waited < step.ms && !stop_; waited += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            break;
        case Step::Close:
            ::close(fd);
            fd = -1;
            break;
        case Step::Reset: {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(fd);
            fd = -1;
            break;
        }
        case Step::Hold: {
            // Peek only: the client's bytes stay unread, so its sends stall.
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.ms);
            while (!stop_ && std::chrono::steady_clock::now() < end) {
                pollfd p{fd, POLLRDHUP, 0};
                if (::poll(&p, 1, 20) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)))
                    break;
            }
            break;
        }
        case Step::Drain:
            while (readMore(15000) > 0) {
            }
            break;
        case Step::HalfClose:
            ::shutdown(fd, SHUT_WR);
            break;
        case Step::Trickle: {
            size_t got = 0;
            while (got < step.bytes && !stop_) {
                if (!waitReadable(fd, 15000, stop_))
                    break;
                char buf[65536];
                const size_t want = std::min({step.data.size(), sizeof buf, step.bytes - got});
                const ssize_t n = ::recv(fd, buf, want, 0);
                if (n <= 0)
                    break;
                got += static_cast<size_t>(n);
                {
                    std::lock_guard lock(mutex_);
                    received_.append(buf, static_cast<size_t>(n));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
            }
            break;
        }
        case Step::ReadBytes:
            while (pending.size() < step.bytes) {
                if (readMore(15000) <= 0) {
                    fail("short read");
                    break;
                }
            }
            pending.erase(0, std::min(step.bytes, pending.size()));
            break;
        }
    }
    if (fd >= 0) {
        // Hold the connection until the client goes, so that its reads see our data first.
        done_ = true;
        while (!stop_) {
            const int r = readMore(100);
            if (r == 0 || r == -1)
                break;
        }
        ::close(fd);
    }
    done_ = true;
}

void LimitSendBuffer(int fd, int bytes)
{
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

uint16_t UnusedPort()
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

} // namespace kelvo::testing
