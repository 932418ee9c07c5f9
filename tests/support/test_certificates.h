// The TLS tests' certificates: a test CA and good, expired, wrongly named and self-signed server certificates.
#pragma once

#include <string>

namespace kelvo::test {

// The certificates of tests/tls/make_test_certs.sh in a fresh directory; removed with the object.
class TestCertificates {
public:
    TestCertificates();
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;
    // Path of a file the script made: "ca.pem", "good.pem", "good.key", ...
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

} // namespace kelvo::test
