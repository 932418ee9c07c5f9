// A TLS peer on 127.0.0.1 for the socket client's TLS tests (OpenSSL's server side on a thread).
#pragma once

#include "tests/support/loopback.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace kelvo::test {

class TlsServer {
public:
    enum class Mode {
        // Handshake, then record plaintext; a line starting with '?' is answered with
        // "250 " and the line.
        Answer,
        // Read a few bytes of the client's hello, then close.
        DropMidHandshake,
        // Never answer; wait for the client to go.
        Silent,
        // Handshake, then send 'x' without a line end until the client goes.
        Flood,
        // As Answer over TLS 1.2, renegotiating before each answer: behind a '?' line
        // once the client's new handshake is through, behind a '!' line at once.
        Renegotiate,
    };
    // `prelude` is sent in clear, in one segment, right after the connection is taken.
    TlsServer(const std::string& certFile, const std::string& keyFile, Mode mode, std::string prelude = {});
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    uint16_t Port() const { return port_; }
    bool Join(int timeoutMs = 10000);
    // Plaintext received inside the session.
    std::string Received();
    // Bytes received after the handshake failed on the server's side.
    std::string ReceivedAfterFailure();
    bool HandshakeSucceeded() const { return handshakeOk_; }

private:
    void Run();

    std::string cert_, key_;
    Mode mode_;
    std::string prelude_;
    LoopbackListener listener_{1};
    std::atomic<int> connFd_{-1};
    uint16_t port_ = 0;
    std::atomic<bool> done_{false};
    std::atomic<bool> handshakeOk_{false};
    std::mutex mutex_;
    std::string received_;
    std::string afterFailure_;
    std::thread thread_;
};

} // namespace kelvo::test
