// Every listener of the tests binds the same way: 127.0.0.1, port 0, SO_REUSEADDR.
#include "loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvo::test {
namespace {

// Binds a fresh socket to 127.0.0.1:0; returns it with the port the kernel chose.
int BoundSocket(uint16_t& port, int receiveBuffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ADD_FAILURE() << "cannot bind a socket to 127.0.0.1";
        port = 0;
        return fd;
    }
    port = ntohs(a.sin_port);
    return fd;
}

} // namespace

LoopbackListener::LoopbackListener(int backlog, int receiveBuffer) {
    fd_ = BoundSocket(port_, receiveBuffer);
    if (fd_ >= 0 && ::listen(fd_, backlog) != 0) ADD_FAILURE() << "cannot listen on 127.0.0.1";
}

LoopbackListener::~LoopbackListener() { Close(); }

bool LoopbackListener::Knocked() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

void LoopbackListener::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

uint16_t ClosedLoopbackPort() {
    // Bound but never listening, then closed: the kernel refuses connections to the
    // port until another socket takes it, which the tests' short lives make unlikely.
    uint16_t port = 0;
    const int fd = BoundSocket(port, 0);
    if (fd >= 0) ::close(fd);
    return port;
}

void LimitSendBuffer(int fd, int bytes) { ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes); }

} // namespace kelvo::test
