// Helpers for the session's security tests: the test certificates and aiosmtpd with TLS and sign-in.
#pragma once

#include "tests/support/test_certificates.h"

#include <QJsonObject>

#include <memory>
#include <string>
#include <vector>

class QProcess;

namespace kelvo::test {

struct TlsServerOptions {
    std::string mode = "starttls";  // "starttls", "implicit" or "plain"
    std::string certificate = "good";
    bool requireStartTls = false;
    std::string mechanisms = "PLAIN,LOGIN";
    std::string user;  // empty: no sign-in required
    std::string password;
    std::string inject;  // sent behind "220 Ready to start TLS" (Python escapes allowed)
};

// tests/mail/support/aiosmtpd_tls_server.py run by Debian's /usr/bin/python3.
class AiosmtpdTlsServer {
public:
    AiosmtpdTlsServer(const TestCertificates& certs, const TlsServerOptions& options);
    ~AiosmtpdTlsServer();
    AiosmtpdTlsServer(const AiosmtpdTlsServer&) = delete;
    AiosmtpdTlsServer& operator=(const AiosmtpdTlsServer&) = delete;

    uint16_t Port() const { return port_; }
    // Message n (from 1), waiting up to 10 s; empty when it does not arrive.
    std::string Message(int n) const;
    // {"mail_from", "rcpt_tos", "helo", "login", "tls"} of message n.
    QJsonObject Envelope(int n) const;
    int Count() const;
    // Every sign-in attempt: "<mechanism> ok" or "<mechanism> refused".
    std::vector<std::string> SignIns() const;
    std::string Log() const;

private:
    std::unique_ptr<QProcess> process_;
    std::string dir_;
    uint16_t port_ = 0;
};

} // namespace kelvo::test
