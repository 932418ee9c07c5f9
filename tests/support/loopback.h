// Listening sockets on 127.0.0.1 at a port the kernel picks, for peers the tests play.
#pragma once

#include <cstdint>

namespace kelvo::test {

// A POSIX TCP listener; closed with the object. A failure to listen is a test failure.
class LoopbackListener {
public:
    // receiveBuffer > 0 shrinks the receive buffer before the port is bound, so that
    // accepted connections inherit it and advertise a small window from the start.
    explicit LoopbackListener(int backlog = 4, int receiveBuffer = 0);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int Fd() const { return fd_; }
    uint16_t Port() const { return port_; }
    // True when a connection waits to be accepted (the kernel completed its handshake).
    bool Knocked() const;
    // Closes the socket now; later connections are refused.
    void Close();

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A loopback port on which nothing listens: connections to it are refused.
uint16_t ClosedLoopbackPort();

// Shrinks the send buffer of a POSIX socket (and stops its growth), so that a
// client's large send has to wait for the peer.
void LimitSendBuffer(int fd, int bytes);

// The descriptor behind a socket of the program's own socket layer, -1 when not open.
int NativeSocket(uint16_t socket);

} // namespace kelvo::test
