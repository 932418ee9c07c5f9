// Made afresh for every test program by tests/tls/make_test_certs.sh, so no key is kept in the tree.
#include "test_certificates.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdlib>
#include <stdexcept>

namespace kelvo::test {

TestCertificates::TestCertificates() {
    QTemporaryDir dir(QDir::tempPath() + "/kelvo-certs-XXXXXX");
    dir.setAutoRemove(false);
    if (!dir.isValid()) throw std::runtime_error("no temporary directory for the certificates");
    dir_ = dir.path().toStdString();
    const std::string cmd = std::string("sh '") + KELVO_SOURCE_DIR + "/tests/tls/make_test_certs.sh' '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("making the test certificates failed: " + cmd);
}

TestCertificates::~TestCertificates() { QDir(QString::fromStdString(dir_)).removeRecursively(); }

} // namespace kelvo::test
