// Loading the TLS module: the program's own module is found and makes sessions, and a missing or foreign one fails the TLS set-up with a clear message.
#include "net/tls_channel.h"
#include "net/tls_session.h"
#include "platform/exceptions.h"
#include "platform/module.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <dlfcn.h>

#include <string>

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

std::string QtCorePath() {
    Dl_info info{};
    EXPECT_NE(::dladdr(reinterpret_cast<void*>(&QCoreApplication::applicationName), &info), 0);
    return info.dli_fname != nullptr ? info.dli_fname : "";
}

TEST(TlsModule, AMissingOrForeignModuleIsAClearError) {
    QTemporaryDir dir;
    const std::string text = dir.path().toStdString() + "/kelvo_tls.so";
    QFile f(QString::fromStdString(text));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not a shared object\n");
    f.close();
    // clang-format off
    const struct { std::string path; const char* why; } cases[] = {
        {dir.path().toStdString() + "/missing/kelvo_tls.so", "No such file"},
        {text,                                                "kelvo_tls.so"},
        {QtCorePath(),                                        "not a Kelvo module (it has no kelvo_tls_module)"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        try {
            (void)OpenTlsModule(c.path);
            ADD_FAILURE() << "the module was accepted";
        } catch (const ESockError& e) {
            const std::string m = e.Message();
            EXPECT_EQ(m.rfind("TLS set-up failed: the TLS module " + c.path + " cannot be used: ", 0), 0u) << m;
            EXPECT_NE(m.find(c.why), std::string::npos) << m;
        }
    }
}

} // namespace
} // namespace kelvo
