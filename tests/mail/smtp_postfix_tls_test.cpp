// Postfix with a second listener on 127.0.0.1 that accepts mail only over TLS: STARTTLS gets a message through, the plain dialogue is turned away.
#include "mail/smtp.h"
#include "net/tls_channel.h"
#include "tests/mail/support/mail_test_support.h"
#include "tests/mail/support/smtp_test_support.h"
#include "tests/mail/support/tls_test_support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

using namespace kelvo;
using namespace kelvo::test;

namespace {

const char* const kMailbox = "/var/mail/root";

// Prints the Received lines and the text of the message whose Subject holds the token.
const char* const kFindScript = R"PY(
import json, mailbox, sys
from email import message_from_bytes, policy
path, token = sys.argv[1], sys.argv[2]
found = None
try:
    box = mailbox.mbox(path, create=False)
    keys = list(box.keys())
except (FileNotFoundError, mailbox.NoSuchMailboxError):
    keys = []
for key in keys:
    msg = message_from_bytes(box.get_bytes(key), policy=policy.default)
    if token in str(msg['Subject'] or ''):
        found = {'received': [str(r) for r in msg.get_all('Received', [])],
                 'text': msg.get_content().replace('\r\n', '\n')}
print(json.dumps(found))
)PY";

struct SetupRun {
    int exitCode = -1;
    std::string out;
};

SetupRun PostfixSetup(const QStringList& args)
{
    QProcess p;
    p.start("/bin/bash", QStringList{QString(KELVO_SOURCE_DIR) + "/scripts/postfix-test-setup"} + args);
    SetupRun run;
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit)
        run.exitCode = p.exitCode();
    run.out = (p.readAllStandardOutput() + p.readAllStandardError()).trimmed().toStdString();
    return run;
}

// Takes the listener away and stops Postfix (when this test started it) on every way out.
class PostfixGuard {
public:
    PostfixGuard(bool started, uint16_t port) : started_(started), port_(port) {}
    ~PostfixGuard()
    {
        PostfixSetup({"tls-listener", "remove", QString::number(port_)});
        if (started_)
            PostfixSetup({"stop"});
    }
    PostfixGuard(const PostfixGuard&) = delete;
    PostfixGuard& operator=(const PostfixGuard&) = delete;

private:
    bool started_;
    uint16_t port_;
};

void Prepare(TKivSMTP& smtp, uint16_t port, TSmtpSecurity security, const std::string& subject)
{
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

TEST(SmtpPostfixTls, StartTlsDeliversAndThePlainDialogueIsTurnedAway)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "Postfix is started by root only";
    const SetupRun start = PostfixSetup({"start"});
    if (start.exitCode == 2)
        GTEST_SKIP() << start.out;
    ASSERT_EQ(start.exitCode, 0) << start.out;
    EnsureApp();
    const TestCertificates certs;
    const uint16_t port = ClosedLoopbackPort();
    const PostfixGuard guard(start.out == "started", port);
    const SetupRun listener = PostfixSetup({"tls-listener", "add", QString::number(port),
                                            QString::fromStdString(certs.Path("good.pem")),
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

    QJsonObject found;
    for (int i = 0; i < 300 && found.isEmpty(); ++i) {
        const PythonRun run = RunPython(kFindScript, {kMailbox, token + " secured"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        found = QJsonDocument::fromJson(QByteArray::fromStdString(run.out)).object();
        if (found.isEmpty())
            QThread::msleep(100);
    }
    ASSERT_FALSE(found.isEmpty()) << "the message did not reach " << kMailbox;
    EXPECT_EQ(found["text"].toString().toStdString(), "\nSent over the TLS listener.\n");
    // Postfix notes the protocol of the hop: ESMTPS is ESMTP over TLS (RFC 3848).
    const std::string received = QJsonDocument(found["received"].toArray()).toJson().toStdString();
    EXPECT_NE(received.find("with ESMTPS"), std::string::npos) << received;
    // Nothing with the token came in clear.
    EXPECT_EQ(RunPython(kFindScript, {kMailbox, token + " plain"}).out, "null\n");
}

} // namespace
