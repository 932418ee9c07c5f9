// The session's security: STARTTLS, implicit TLS and sign-in against the tests' SMTP server and own CA, and servers that refuse, drop or inject.
#include "mail/smtp.h"
#include "net/tls_channel.h"
#include "platform/exceptions.h"
#include "tests/mail/support/smtp_test_support.h"
#include "tests/mail/support/tls_test_support.h"

#include <gtest/gtest.h>

#include <QJsonArray>

#include <string>
#include <vector>

using namespace kelvo;
using namespace kelvo::test;

namespace {

const std::string kSecuring = TKivSMTP::kSecuringStatus;
const std::string kSigningIn = TKivSMTP::kSigningInStatus;
// Not ASCII, with control characters, but no NUL (which PLAIN cannot carry).
const std::string kOddPassword = "P\xC3\xA4\xC3\x9F w\x01rd\x1F\x7F \xF0\x9F\x94\x91\t\"'\\%end";

class SmtpTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        EnsureApp();
        certs = new TestCertificates;
    }
    static void TearDownTestSuite() {
        SetTlsTrustFileForTesting({});
        delete certs;
        certs = nullptr;
    }
    void SetUp() override { SetTlsTrustFileForTesting(certs->Path("ca.pem")); }

    // Sets up the session for a server on `port` and records everything it reports.
    void Prepare(TKivSMTP& smtp, uint16_t port, TSmtpSecurity security, const std::string& user,
                 const std::string& password) {
        smtp.SetHost("127.0.0.1");
        smtp.SetPort(port);
        smtp.SetUserID("kelvo.test");
        smtp.SetTimeOut(10000);
        smtp.SetReportLevel(8);
        smtp.SetSecurity(security);
        smtp.SetUserName(user);
        smtp.SetPassword(password);
        smtp.OnStatus = [this](QObject*, const std::string& s) { reported.push_back(s); };
        smtp.OnProgress = [this](QObject*, const std::string& s) { progress.push_back(s); };
        TPostMessage& m = smtp.PostMessage();
        m.SetFromAddress("ann@example.org");
        m.ToAddress().Add("author@example.org");
        m.SetSubject("Feedback over TLS");
        m.Body().Add("Hello,");
        m.Body().Add(".starts with a dot");
        m.Body().Add("bye");
    }

    // Connects and sends; returns the error's text, "" on success.
    std::string Send(TKivSMTP& smtp) {
        try {
            smtp.Connect();
            smtp.SendMail();
        } catch (const std::exception& e) {
            reported.push_back(e.what());
            return e.what();
        }
        return "";
    }

    void ExpectPasswordNowhere(const std::string& password) {
        for (const std::string& s : reported) EXPECT_EQ(s.find(password), std::string::npos) << s;
        for (const std::string& s : progress) EXPECT_EQ(s.find(password), std::string::npos) << s;
    }

    static TestCertificates* certs;
    std::vector<std::string> reported;
    std::vector<std::string> progress;
};

TestCertificates* SmtpTls::certs = nullptr;

TlsServerOptions Server(std::string mode, std::string certificate, bool requireStartTls, std::string mechanisms,
                        std::string user, std::string password, std::string inject = {}) {
    return {std::move(mode), std::move(certificate), requireStartTls,  std::move(mechanisms),
            std::move(user), std::move(password),    std::move(inject)};
}

struct Scenario {
    const char* name;
    TlsServerOptions server;
    TSmtpSecurity security;
    std::string user;
    std::string password;
    std::string error; // "" when the mail is to arrive
    std::vector<std::string> signIns;
    std::vector<std::string> progress;
};

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> rows = {
        // clang-format off
        {"StartTlsAndPlain", Server("starttls", "good", false, "PLAIN,LOGIN", "ann", "s3cret"), ssStartTls, "ann", "s3cret",
         "", {"PLAIN ok"}, {kSecuring, kSigningIn}},
        {"StartTlsAndLoginWhenOnlyLoginIsOffered", Server("starttls", "good", false, "LOGIN", "ann", "s3cret"), ssStartTls,
         "ann", "s3cret", "", {"LOGIN ok"}, {kSecuring, kSigningIn}},
        {"ImplicitTlsAndPlain", Server("implicit", "good", false, "PLAIN,LOGIN", "ann", "s3cret"), ssImplicitTls, "ann",
         "s3cret", "", {"PLAIN ok"}, {kSecuring, kSigningIn}},
        {"ImplicitTlsWithoutUser", Server("implicit", "good", false, "PLAIN,LOGIN", "", ""), ssImplicitTls, "", "", "", {},
         // clang-format on
         {kSecuring}},
        // clang-format off
        {"ServerRequiringStartTlsGetsIt", Server("starttls", "good", true, "PLAIN,LOGIN", "", ""), ssStartTlsWhenOffered,
         "", "", "", {}, {kSecuring}},
        {"OddPasswordOverPlain", Server("starttls", "good", false, "PLAIN", "b\xC3\xB6" "b@example.org", kOddPassword),
         ssStartTlsWhenOffered, "b\xC3\xB6" "b@example.org", kOddPassword, "", {"PLAIN ok"}, {kSecuring, kSigningIn}},
        {"OddPasswordOverLogin", Server("starttls", "good", false, "LOGIN", "bob", kOddPassword), ssStartTls, "bob",
         kOddPassword, "", {"LOGIN ok"}, {kSecuring, kSigningIn}},
        {"WrongPassword", Server("starttls", "good", false, "PLAIN,LOGIN", "ann", "s3cret"), ssStartTls, "ann",
         "not-the-s3cret", "Sign-in refused: 535 5.7.8 Authentication credentials invalid", {"PLAIN refused"},
         // clang-format on
         {kSecuring, kSigningIn}},
        // clang-format off
        {"WrongPasswordOverLogin", Server("starttls", "good", false, "LOGIN", "ann", "s3cret"), ssStartTls, "ann",
         "not-the-s3cret", "Sign-in refused: 535 5.7.8 Authentication credentials invalid", {"LOGIN refused"},
         // clang-format on
         {kSecuring, kSigningIn}},
        // clang-format off
        {"NoUsableMechanism", Server("starttls", "good", false, "CRAM-MD5", "ann", "s3cret"), ssStartTls, "ann", "s3cret",
         "The server offers no usable sign-in method (AUTH PLAIN or AUTH LOGIN)", {}, {kSecuring}},
        {"ExpiredCertificate", Server("starttls", "expired", false, "PLAIN,LOGIN", "ann", "s3cret"), ssStartTls, "ann",
         "s3cret", "Certificate verification failed: certificate has expired", {}, {kSecuring}},
        {"WrongHostCertificate", Server("implicit", "wronghost", false, "PLAIN,LOGIN", "ann", "s3cret"), ssImplicitTls,
         "ann", "s3cret", "Certificate verification failed: host name mismatch", {}, {kSecuring}},
        {"SelfSignedCertificate", Server("starttls", "self", false, "PLAIN,LOGIN", "", ""), ssStartTlsWhenOffered, "", "",
         "Certificate verification failed: self-signed certificate", {}, {kSecuring}},
        {"NoStartTlsWhenRequired", Server("plain", "good", false, "PLAIN,LOGIN", "", ""), ssStartTls, "", "",
         "The server does not offer STARTTLS: nothing was sent in clear", {}, {}},
        {"NoStartTlsWithAUser", Server("plain", "good", false, "PLAIN,LOGIN", "", ""), ssStartTlsWhenOffered, "ann",
         "s3cret", "The server does not offer STARTTLS: nothing was sent in clear", {}, {}},
        {"UserWithoutSecurity", Server("plain", "good", false, "PLAIN,LOGIN", "", ""), ssNone, "ann", "s3cret",
         "Signing in needs an encrypted connection: the password was not sent", {}, {}},
        // clang-format on
        {"InjectedRepliesBehindTheGoAheadAreDropped",
         // clang-format off
         Server("starttls", "good", false, "PLAIN,LOGIN", "ann", "s3cret", "250-AUTH PLAIN\\r\\n250 OK\\r\\n"), ssStartTls,
         "ann", "s3cret", "", {"PLAIN ok"}, {kSecuring, kSigningIn}},
        // clang-format on
    };
    return rows;
}

class SmtpTlsScenario : public SmtpTls, public ::testing::WithParamInterface<Scenario> {};

TEST_P(SmtpTlsScenario, DeliversOnlyAsSecurityAllowsAndNeverShowsThePassword) {
    const Scenario& s = GetParam();
    FakeSmtpServer server(WithTls(*certs, s.server));
    TKivSMTP smtp;
    Prepare(smtp, server.Port(), s.security, s.user, s.password);
    const std::string error = Send(smtp);
    EXPECT_EQ(error, s.error) << server.Log();
    EXPECT_EQ(progress, s.progress);
    // OnStatus hears the same steps (level 4), in the same order.
    std::vector<std::string> stepsReported;
    for (const std::string& r : reported)
        if (r == kSecuring || r == kSigningIn) stepsReported.push_back(r);
    EXPECT_EQ(stepsReported, s.progress);
    if (s.error.empty()) {
        EXPECT_EQ(server.Message(1), ExpectedReceived(smtp));
        const QJsonObject envelope = server.Envelope(1);
        EXPECT_EQ(envelope["tls"].toBool(), true);
        EXPECT_EQ(envelope["login"].toString().toStdString(), s.user.empty() ? "" : s.user);
        smtp.Disconnect();
    } else {
        EXPECT_FALSE(smtp.Connected());
        EXPECT_EQ(server.Count(), 0);
    }
    EXPECT_EQ(server.SignIns(), s.signIns);
    if (!s.password.empty()) ExpectPasswordNowhere(s.password);
}

INSTANTIATE_TEST_SUITE_P(Aiosmtpd, SmtpTlsScenario, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// Scripted plain servers: what the client sends is checked line by line, so anything
// sent in clear that should not have been shows up as a mismatch.
using Script = std::vector<Step>;

const char* const kEhloReply = "250-kelvo-test\r\n250-STARTTLS\r\n250 AUTH PLAIN LOGIN\r\n";

struct Refusal {
    const char* name;
    Script script;
    std::string errorStart;
};

class SmtpTlsRefusal : public SmtpTls, public ::testing::WithParamInterface<Refusal> {};

TEST_P(SmtpTlsRefusal, FailsWithoutSendingCredentialsOrMail) {
    const Refusal& r = GetParam();
    ScriptedServer server(r.script, kSmtpReplies);
    TKivSMTP smtp;
    Prepare(smtp, server.Port(), ssStartTls, "ann", "s3cret");
    const std::string error = Send(smtp);
    EXPECT_EQ(error.rfind(r.errorStart, 0), 0u) << error;
    EXPECT_FALSE(smtp.Connected());
    ASSERT_TRUE(server.Join());
    EXPECT_EQ(server.Errors(), std::vector<std::string>{});
    EXPECT_EQ(server.Received().find("s3cret"), std::string::npos);
    EXPECT_EQ(server.Received().find("AUTH"), std::string::npos);
    EXPECT_EQ(server.Received().find("MAIL"), std::string::npos);
    ExpectPasswordNowhere("s3cret");
}

INSTANTIATE_TEST_SUITE_P(
    Scripted, SmtpTlsRefusal,
    ::testing::Values(
        Refusal{"StartTlsAnnouncedThenRefused",
                {S("220 kelvo-test ESMTP\r\n"), C("EHLO kelvo.test"), S(kEhloReply), C("STARTTLS"),
                 S("454 4.7.0 TLS not available due to temporary reason\r\n"), C("QUIT"), S("221 bye\r\n")},
                "The server refused STARTTLS: 454 4.7.0 TLS not available due to temporary reason"},
        Refusal{"StartTlsNotOffered",
                {S("220 kelvo-test ESMTP\r\n"), C("EHLO kelvo.test"), S("250-kelvo-test\r\n250 AUTH PLAIN LOGIN\r\n"),
                 C("QUIT"), S("221 bye\r\n")},
                "The server does not offer STARTTLS"},
        Refusal{"EhloRefusedNoHeloFallback",
                {S("220 kelvo-test ESMTP\r\n"), C("EHLO kelvo.test"), S("502 5.5.1 EHLO not implemented\r\n"),
                 C("QUIT"), S("221 bye\r\n")},
                "The server refused EHLO: 502 5.5.1 EHLO not implemented"},
        Refusal{"HandshakeDroppedMidway",
                {S("220 kelvo-test ESMTP\r\n"), C("EHLO kelvo.test"), S(kEhloReply), C("STARTTLS"),
                 S("220 2.0.0 Ready to start TLS\r\n"), ReadSome(5), Close()},
                "TLS handshake failed: "},
        Refusal{"ClosedInsteadOfGoAhead",
                {S("220 kelvo-test ESMTP\r\n"), C("EHLO kelvo.test"), S(kEhloReply), C("STARTTLS"), Close()},
                "Connection closed by the server"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// A server that does not know EHLO offers nothing, STARTTLS included: "when offered"
// without a sign-in then delivers with HELO, as a plain host name would; STARTTLS
// required or a sign-in asked for still ends the session before any mail is sent.
TEST_F(SmtpTls, RefusedEhloFallsBackToHeloOnlyWhenNothingWasRequired) {
    struct Row {
        const char* name;
        TSmtpSecurity security;
        std::string user;
        bool delivered;
    };
    const std::vector<Row> rows = {
        {"when offered, no user", ssStartTlsWhenOffered, "", true},
        {"required, no user", ssStartTls, "", false},
        {"when offered, with a user", ssStartTlsWhenOffered, "ann", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Script script = {S("220 old ESMTP-less server\r\n"), C("EHLO kelvo.test"),
                         S("502 5.5.1 EHLO not implemented\r\n")};
        if (row.delivered) {
            script.insert(script.end(),
                          {C("HELO kelvo.test"), S("250 hello\r\n"), C("RSET"), S("250 ok\r\n"),
                           C("MAIL FROM:<ann@example.org>"), S("250 ok\r\n"), C("RCPT TO:<author@example.org>"),
                           S("250 ok\r\n"), C("DATA"), S("354 go\r\n"), Data(), S("250 queued\r\n")});
        } else {
            script.insert(script.end(), {C("QUIT"), S("221 bye\r\n")});
        }
        ScriptedServer server(script, kSmtpReplies);
        TKivSMTP smtp;
        Prepare(smtp, server.Port(), row.security, row.user, "s3cret");
        bool success = false;
        smtp.OnSuccess = [&](QObject*) { success = true; };
        const std::string error = Send(smtp);
        EXPECT_EQ(success, row.delivered);
        if (row.delivered) {
            EXPECT_EQ(error, "");
            EXPECT_FALSE(smtp.Secured());
        } else {
            EXPECT_EQ(error, "The server refused EHLO: 502 5.5.1 EHLO not implemented");
        }
        ASSERT_TRUE(server.Join());
        EXPECT_EQ(server.Errors(), std::vector<std::string>{});
        EXPECT_EQ(server.Messages().size(), row.delivered ? 1u : 0u);
    }
}

TEST_F(SmtpTls, PlainHostNameKeepsTheHeloDialogue) {
    // Nothing asked for: HELO as before, and no extension is tried.
    ScriptedServer server({S("220 hi\r\n"), C("HELO kelvo.test"), S("250 ok\r\n"), C("QUIT"), S("221 bye\r\n")},
                          kSmtpReplies);
    TKivSMTP smtp;
    Prepare(smtp, server.Port(), ssNone, "", "");
    smtp.Connect();
    smtp.Disconnect();
    ASSERT_TRUE(server.Join());
    EXPECT_EQ(server.Errors(), std::vector<std::string>{});
    EXPECT_EQ(progress, std::vector<std::string>{});
}

TEST_F(SmtpTls, SecondSendOnTheSecuredConnectionStaysSecured) {
    FakeSmtpServer server(WithTls(*certs, Server("starttls", "good", true, "PLAIN", "ann", "s3cret")));
    TKivSMTP smtp;
    Prepare(smtp, server.Port(), ssStartTls, "ann", "s3cret");
    ASSERT_EQ(Send(smtp), "") << server.Log();
    smtp.PostMessage().ToAddress().Add("second@example.org");
    smtp.SendMail();
    EXPECT_EQ(server.Message(2), ExpectedReceived(smtp));
    EXPECT_TRUE(server.Envelope(2)["tls"].toBool());
    smtp.Disconnect();
    EXPECT_FALSE(smtp.Secured());
}

} // namespace
