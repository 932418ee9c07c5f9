// The TLS test peer: a blocking OpenSSL server on its own thread, bounded by socket time-outs.
#include "tls_server.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>

namespace kelvo::test {

TlsServer::TlsServer(const std::string& certFile, const std::string& keyFile, Mode mode, std::string prelude)
    : cert_(certFile), key_(keyFile), mode_(mode), prelude_(std::move(prelude)) {
    // OpenSSL writes through write(2): a client that has gone must not end the test program.
    std::signal(SIGPIPE, SIG_IGN);
    port_ = listener_.Port();
    thread_ = std::thread([this] { Run(); });
}

TlsServer::~TlsServer() {
    // A client still connected must not hold the test for the full read time-out.
    const int fd = connFd_.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
}

bool TlsServer::Join(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done_ && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done_;
}

std::string TlsServer::Received() {
    std::lock_guard lock(mutex_);
    return received_;
}

std::string TlsServer::ReceivedAfterFailure() {
    std::lock_guard lock(mutex_);
    return afterFailure_;
}

void TlsServer::Run() {
    pollfd p{listener_.Fd(), POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) {
        done_ = true;
        return;
    }
    const int fd = ::accept(listener_.Fd(), nullptr, nullptr);
    if (fd < 0) {
        done_ = true;
        return;
    }
    connFd_ = fd;
    // Every read and write gives up after 10 s, so a confused client cannot hang the test.
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (!prelude_.empty()) (void)::send(fd, prelude_.data(), prelude_.size(), MSG_NOSIGNAL);

    char buf[16384];
    if (mode_ == Mode::DropMidHandshake) {
        (void)::recv(fd, buf, 5, 0);
        connFd_ = -1;
        ::close(fd);
        done_ = true;
        return;
    }
    if (mode_ == Mode::Silent) {
        while (::recv(fd, buf, sizeof buf, 0) > 0) {}
        connFd_ = -1;
        ::close(fd);
        done_ = true;
        return;
    }

    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx, cert_.c_str());
    SSL_CTX_use_PrivateKey_file(ctx, key_.c_str(), SSL_FILETYPE_PEM);
    if (mode_ == Mode::Renegotiate) SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    const bool accepted = SSL_accept(ssl) == 1;
    if (accepted && mode_ == Mode::Flood) {
        handshakeOk_ = true;
        const std::string block(16384, 'x');
        while (SSL_write(ssl, block.data(), static_cast<int>(block.size())) > 0) {}
    } else if (accepted) {
        handshakeOk_ = true;
        std::string pending;
        int n;
        while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) {
            {
                std::lock_guard lock(mutex_);
                received_.append(buf, static_cast<size_t>(n));
            }
            pending.append(buf, static_cast<size_t>(n));
            size_t lf;
            while ((lf = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, lf + 1);
                pending.erase(0, lf + 1);
                if (mode_ == Mode::Renegotiate) {
                    SSL_renegotiate(ssl);
                    SSL_do_handshake(ssl); // the HelloRequest
                    SSL_clear_mode(ssl, SSL_MODE_AUTO_RETRY); // a read returns once a handshake is through
                    for (int r; line[0] == '?' && SSL_renegotiate_pending(ssl) && (r = SSL_read(ssl, buf, 1)) <= 0 &&
                                SSL_get_error(ssl, r) == SSL_ERROR_WANT_READ;) {}
                    SSL_set_mode(ssl, SSL_MODE_AUTO_RETRY);
                }
                if (line[0] == '?' || line[0] == '!') {
                    const std::string reply = "250 " + line;
                    SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
                }
            }
        }
    } else {
        ERR_clear_error();
        int n;
        while ((n = static_cast<int>(::recv(fd, buf, sizeof buf, 0))) > 0) {
            std::lock_guard lock(mutex_);
            afterFailure_.append(buf, static_cast<size_t>(n));
        }
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    connFd_ = -1;
    ::close(fd);
    done_ = true;
}

} // namespace kelvo::test
