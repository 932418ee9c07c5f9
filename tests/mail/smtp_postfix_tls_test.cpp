// Postfix with a second listener on 127.0.0.1 that accepts mail only over TLS: STARTTLS gets a message through, the plain dialogue is turned away.
#include "mail/smtp.h"
#include "net/tls_channel.h"
#include "tests/mail/support/mail_test_support.h"
#include "tests/mail/support/smtp_test_support.h"
#include "tests/mail/support/tls_test_support.h"
#include "tests/support/system_postfix.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

using namespace kelvo;
using namespace kelvo::test;

namespace {

// Takes the TLS listener away again on every way out.
class ListenerGuard {
public:
    explicit ListenerGuard(uint16_t port) : port_(port) {}
    ~ListenerGuard() { PostfixSetup({"tls-listener", "remove", QString::number(port_)}); }
    ListenerGuard(const ListenerGuard&) = delete;
    ListenerGuard& operator=(const ListenerGuard&) = delete;

private:
    uint16_t port_;
};

void Prepare(TKivSMTP& smtp, uint16_t port, TSmtpSecurity security, const std::string& subject) {
    smtp.SetHost("127.0.0.1");
    smtp.SetPort(port);
    smtp.SetUserID("kelvo.test");
    smtp.SetTimeOut(20000);
    smtp.SetSecurity(security);
    TPostMessage& m = smtp.PostMessage();
    m.SetFromAddress("feedback@kelvo.localdomain");
    m.ToAddress().Add("root@localhost");
    m.SetSubject(subject);
    m.Body().Add("Sent over the TLS listener.");
}

TEST(SmtpPostfixTls, StartTlsDeliversAndThePlainDialogueIsTurnedAway) {
    const PostfixStarted postfix;
    if (postfix.Unavailable()) GTEST_SKIP() << postfix.Start().out;
    ASSERT_TRUE(postfix.Running()) << postfix.Start().out;
    EnsureApp();
    const TestCertificates certs;
    const uint16_t port = ClosedLoopbackPort();
    const ListenerGuard guard(port);
    const PostfixSetupRun listener =
        PostfixSetup({"tls-listener", "add", QString::number(port), QString::fromStdString(certs.Path("good.pem")),
                      QString::fromStdString(certs.Path("good.key"))});
    ASSERT_EQ(listener.exitCode, 0) << listener.out;
    SetTlsTrustFileForTesting(certs.Path("ca.pem"));
    const std::string token = "kelvo-tls-" + std::to_string(::getpid()) + "-" + std::to_string(::time(nullptr));

    {
        TKivSMTP plain;
        Prepare(plain, port, ssNone, token + " plain");
        plain.Connect();
        try {
            plain.SendMail();
            ADD_FAILURE() << "the TLS-only listener took mail in clear";
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind("530", 0), 0u) << e.what();
        }
    }

    TKivSMTP smtp;
    Prepare(smtp, port, ssStartTls, token + " secured");
    smtp.Connect();
    EXPECT_TRUE(smtp.Secured());
    smtp.SendMail();
    smtp.Disconnect();
    SetTlsTrustFileForTesting({});

    std::string error;
    const QJsonObject messages = WaitForMailboxMessages(token + " secured", 1, &error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(messages.size(), 1) << "the message did not reach " << kRootMailbox;
    const QJsonObject found = messages.begin()->toObject();
    EXPECT_EQ(found["text"].toString().toStdString(), "\nSent over the TLS listener.\n");
    // Postfix notes the protocol of the hop: ESMTPS is ESMTP over TLS (RFC 3848).
    const std::string received = QJsonDocument(found["received"].toArray()).toJson().toStdString();
    EXPECT_NE(received.find("with ESMTPS"), std::string::npos) << received;
    // Nothing with the token came in clear.
    EXPECT_TRUE(MailboxMessages(token + " plain", &error).isEmpty());
    EXPECT_EQ(error, "");
}

} // namespace
