// The security tests' server options: TLS mode, certificate pair and sign-in for fake_smtp.py.
#include "tests/mail/support/tls_test_support.h"

namespace kelvo::test {

FakeSmtpOptions WithTls(const TestCertificates& certs, const TlsServerOptions& o) {
    FakeSmtpOptions options;
    if (o.mode != "plain") {
        options.tls = o.mode;
        options.certificateFile = certs.Path(o.certificate + ".pem");
        options.keyFile = certs.Path(o.certificate + ".key");
    }
    options.requireStartTls = o.requireStartTls;
    options.mechanisms = o.mechanisms;
    options.user = o.user;
    options.password = o.password;
    options.inject = o.inject;
    return options;
}

} // namespace kelvo::test
