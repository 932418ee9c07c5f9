// Loading the TLS module: the program's own module is found and makes sessions, and a missing or foreign one fails the TLS set-up with a clear message.
#include "net/tls_channel.h"
#include "net/tls_session.h"
#include "platform/exceptions.h"
#include "platform/module.h"
#include "tests/support/sample_files.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QTemporaryDir>

#include <string>
#include <vector>

namespace kelvo {
namespace {

TEST(TlsModule, TheProgramsModuleIsFoundAndMakesSessions) {
    const std::string path = ModulePath("kelvo_tls.so");
    EXPECT_TRUE(QFileInfo(QString::fromStdString(path)).isFile()) << path;
    EXPECT_EQ(&TlsModule(), &OpenTlsModule(path));
    EXPECT_EQ(TlsModule().Abi, kTlsModuleAbi);
    TTlsChannel channel("mail.example.org");
    // The client speaks first: its hello is waiting to be sent.
    EXPECT_EQ(channel.Handshake(), TTlsChannel::Progress::NeedInput);
    EXPECT_FALSE(channel.Output().empty());
    const size_t hello = channel.Output().size();
    channel.Consume(5);
    EXPECT_EQ(channel.Output().size(), hello - 5);
    // The module's own refusals keep their words.
    try {
        TTlsChannel unnamed("");
        ADD_FAILURE() << "a session without a server name";
    } catch (const ESockError& e) {
        EXPECT_EQ(e.Message(), "TLS set-up failed: no server name to verify the certificate against");
    }
}

TEST(TlsModule, AMissingOrForeignModuleIsAClearError) {
    QTemporaryDir dir;
    const std::vector<test::TBadModule> cases = test::BadModules(dir.path(), "kelvo_tls.so");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        try {
            (void)OpenTlsModule(c.Path);
            ADD_FAILURE() << "the module was accepted";
        } catch (const ESockError& e) {
            const std::string m = e.Message();
            EXPECT_EQ(m.rfind("TLS set-up failed: the TLS module " + c.Path + " cannot be used: ", 0), 0u) << m;
            EXPECT_NE(m.find(c.Why), std::string::npos) << m;
        }
    }
}

} // namespace
} // namespace kelvo
