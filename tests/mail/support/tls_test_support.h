// Helpers for the session's security tests: the test certificates and the tests' SMTP server with TLS and sign-in.
#pragma once

#include "tests/support/fake_smtp_server.h"
#include "tests/support/test_certificates.h"

#include <string>

namespace kelvo::test {

struct TlsServerOptions {
    std::string mode = "starttls"; // "starttls", "implicit" or "plain"
    std::string certificate = "good";
    bool requireStartTls = false;
    std::string mechanisms = "PLAIN,LOGIN";
    std::string user; // empty: no sign-in required
    std::string password;
    std::string inject; // sent behind "220 Ready to start TLS" (Python escapes allowed)
};

// The tests' SMTP server set up as `options` say, with the certificate pair they name.
FakeSmtpOptions WithTls(const TestCertificates& certs, const TlsServerOptions& options);

} // namespace kelvo::test
