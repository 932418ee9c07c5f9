// A connection kept between sends that the server closed while it sat idle: real Postfix (smtpd_timeout=2s) and a scripted peer.
#include "mail/smtp.h"
#include "tests/support/postfix_instance.h"
#include "tests/mail/support/smtp_test_support.h"

#include <QTest>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kelvo;
using namespace kelvo::test;

namespace {

void Fill(TKivSMTP& smtp, const std::string& subject) {
    TPostMessage& m = smtp.PostMessage();
    m.SetFromAddress("ann@example.org");
    m.ToAddress().Add("root@localhost");
    m.SetSubject(subject);
    m.Body().Clear();
    m.Body().Add("text of " + subject);
}

TEST(SmtpIdleServer, PostfixThatTimedOutTheIdleSessionGetsAFreshConnection) {
    PostfixInstance postfix;
    if (!postfix.Available()) GTEST_SKIP() << postfix.Why();
    EnsureApp();
    TKivSMTP smtp;
    smtp.SetHost("127.0.0.1");
    smtp.SetPort(postfix.Port());
    smtp.SetUserID("kelvo.example");
    smtp.SetTimeOut(10000);
    smtp.Connect();
    Fill(smtp, "first");
    smtp.SendMail();
    // Postfix answers the idle session with "421 4.4.2 ... Error: timeout exceeded"
    // after its 2 s and closes; the window's event loop runs meanwhile.
    QTest::qWait(3500);
    Fill(smtp, "second");
    EXPECT_EQ(FailureOf([&] { smtp.SendMail(); }), "(none)");
    QTest::qWait(3500);
    EXPECT_EQ(FailureOf([&] { smtp.Disconnect(); }), "(none)");
    EXPECT_FALSE(smtp.Connected());
    QTest::qWait(300);
    EXPECT_EQ(postfix.Accepted(), 2u) << postfix.Log();
    EXPECT_NE(postfix.Log().find("timeout after END-OF-MESSAGE"), std::string::npos) << postfix.Log();
}

// The server's parting 421 sits unread; the connection still counts as open.
TEST(SmtpIdleServer, PendingServiceClosingReplyMakesDisconnectQuietAndSendsNoQuit) {
    EnsureApp();
    for (const bool closes : {false, true}) {
        SCOPED_TRACE(closes ? "421 and close" : "421, connection left open");
        std::vector<Step> script{S("220 test ready\r\n"), C("HELO kelvo"), S("250 test\r\n"),
                                 S("421 4.4.2 test Error: timeout exceeded\r\n")};
        script.push_back(closes ? Close() : ReadSome(1));
        ScriptedServer server(script, kSmtpReplies);
        TKivSMTP smtp;
        smtp.SetHost("127.0.0.1");
        smtp.SetPort(server.Port());
        smtp.SetUserID("kelvo");
        smtp.SetTimeOut(5000);
        smtp.Connect();
        QTest::qWait(300);
        EXPECT_EQ(FailureOf([&] { smtp.Disconnect(); }), "(none)");
        EXPECT_FALSE(smtp.Connected());
        EXPECT_TRUE(server.Join());
        EXPECT_EQ(server.Received().find("QUIT"), std::string::npos) << server.Received();
    }
}

} // namespace
