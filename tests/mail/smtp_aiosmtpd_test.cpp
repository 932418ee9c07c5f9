// The SMTP session against a real server, aiosmtpd: envelope, bytes received, and two sends on one connection.
#include "mail/smtp.h"
#include "tests/mail/support/mail_test_support.h"
#include "tests/mail/support/smtp_test_support.h"

#include <QJsonArray>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kelvo;
using namespace kelvo::test;

namespace {

// The session's settings for the server, greeting as "kelvo.test".
void Aim(TKivSMTP& smtp, const FakeSmtpServer& server) {
    smtp.SetHost("127.0.0.1");
    smtp.SetPort(server.Port());
    smtp.SetUserID("kelvo.test");
    smtp.SetTimeOut(10000);
}

std::vector<std::string> Strings(const QJsonValue& v) {
    std::vector<std::string> out;
    for (const QJsonValue& e : v.toArray()) out.push_back(e.toString().toStdString());
    return out;
}

TEST(SmtpAiosmtpd, DeliversTwoMessagesOnOneConnection) {
    EnsureApp();
    FakeSmtpServer server;
    TempDir dir;
    const std::string data = AllByteValues() + RandomBytes(100000, 7);
    const std::string attachment = dir.File("report.bin", data);

    TKivSMTP smtp;
    Aim(smtp, server);
    int successes = 0;
    smtp.OnSuccess = [&](QObject*) { ++successes; };
    smtp.Connect();

    TPostMessage& m = smtp.PostMessage();
    m.SetFromAddress("ann@example.org");
    m.SetFromName("Ann Lee");
    m.ToAddress().Add("Bob Brown <bob@example.org>");
    m.ToAddress().Add("carol@example.org");
    m.ToCarbonCopy().Add("Dan <dan@example.org>");
    m.ToBlindCarbonCopy().Add("mailto:eve@example.org");
    m.SetSubject("Feedback on the canvas");
    m.SetLocalProgram("Kelvo test");
    m.Body().Add("Hello,");
    m.Body().Add(".");
    m.Body().Add(".. two dots");
    m.Body().Add("");
    m.Body().Add("bye");
    smtp.SendMail();
    const std::string first = ExpectedReceived(smtp);

    m.ToAddress().Add("frank@example.org");
    m.Attachments().Add(attachment);
    smtp.SendMail();
    const std::string second = ExpectedReceived(smtp);
    smtp.Disconnect(); // QUIT answered 221
    EXPECT_EQ(successes, 2);
    EXPECT_FALSE(smtp.Connected());

    EXPECT_EQ(server.Message(1), first) << server.Log();
    const QJsonObject e1 = server.Envelope(1);
    EXPECT_EQ(e1["mail_from"].toString().toStdString(), "ann@example.org");
    EXPECT_EQ(Strings(e1["rcpt_tos"]),
              (std::vector<std::string>{"bob@example.org", "carol@example.org", "dan@example.org", "eve@example.org"}));
    EXPECT_EQ(e1["helo"].toString().toStdString(), "kelvo.test");
    // The body as received: one empty line first, dot-stuffing undone.
    EXPECT_NE(first.find("\r\n\r\n\r\nHello,\r\n.\r\n.. two dots\r\n\r\nbye\r\n"), std::string::npos);

    EXPECT_EQ(server.Message(2), second);
    const QJsonObject e2 = server.Envelope(2);
    EXPECT_EQ(e2["mail_from"].toString().toStdString(), "ann@example.org");
    EXPECT_EQ(Strings(e2["rcpt_tos"]), std::vector<std::string>{"frank@example.org"});
    EXPECT_EQ(server.Count(), 2);

    // The second message, read back by Python's email package, carries the file whole.
    const QJsonObject parsed = ParseWithPython(server.Message(2), dir);
    EXPECT_EQ(parsed["content_type"].toString().toStdString(), "multipart/mixed");
    EXPECT_TRUE(parsed["defects"].toArray().isEmpty());
    const QJsonArray parts = parsed["parts"].toArray();
    ASSERT_EQ(parts.size(), 2);
    std::string text = parts[0].toObject()["text"].toString().toStdString();
    std::erase(text, '\r');
    EXPECT_EQ(text, "Hello,\n.\n.. two dots\n\nbye");
    EXPECT_EQ(parts[1].toObject()["filename"].toString().toStdString(), "report.bin");
    EXPECT_TRUE(FromHex(parts[1].toObject()["data_hex"].toString().toStdString()) == data);
}

TEST(SmtpAiosmtpd, RefusedDataPhaseCommandsComeBackWithTheServersText) {
    EnsureApp();
    FakeSmtpServer server;
    TKivSMTP smtp;
    Aim(smtp, server);
    smtp.Connect();
    TPostMessage& m = smtp.PostMessage();
    m.SetFromAddress("ann@example.org");
    // Every entry gives an empty address, so no RCPT goes out and the server refuses DATA.
    m.ToAddress().Add("");
    m.ToAddress().Add("<>");
    std::string failure;
    try {
        smtp.SendMail();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    EXPECT_EQ(failure, "503 Error: need RCPT command\r\n");
    EXPECT_TRUE(smtp.Connected());
    EXPECT_FALSE(smtp.Busy());
    // The connection is still in step: a proper message goes through.
    m.ToAddress().Clear();
    m.ToAddress().Add("bob@example.org");
    m.Body().Add("after the refusal");
    smtp.SendMail();
    smtp.Disconnect();
    EXPECT_NE(server.Message(1).find("after the refusal\r\n"), std::string::npos);
}

} // namespace

namespace {

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

} // namespace

// aiosmtpd refuses a line over its limit ("500 Line too long"); folded, long and
// non-ASCII header fields go through and read back as given.
TEST(SmtpAiosmtpd, LongAndNonAsciiHeaderFieldsAreAccepted) {
    EnsureApp();
    FakeSmtpServer server;
    TempDir dir;
    TKivSMTP smtp;
    Aim(smtp, server);
    smtp.Connect();
    TPostMessage& m = smtp.PostMessage();
    m.SetFromAddress("ann@example.org");
    m.SetFromName("J\xC3\xB6rg Q. M\xC3\xBCller");
    std::string words;
    for (int i = 0; words.size() < 1509; ++i) words += (i ? " w" : "w") + std::to_string(i);
    const std::vector<std::string> subjects{Repeat("\xC3\xA9", 300), words.substr(0, 1509)};
    for (size_t i = 0; i < subjects.size(); ++i) {
        for (int r = 0; r < 60; ++r)
            m.ToAddress().Add("R\xC3\xA9"
                              "ceiver " +
                              std::to_string(r) + " <r" + std::to_string(r) + "@example.org>");
        m.SetSubject(subjects[i]);
        m.Body().Clear();
        m.Body().Add("text");
        smtp.SendMail();
        const QJsonObject parsed = ParseWithPython(server.Message(static_cast<int>(i) + 1), dir);
        EXPECT_TRUE(parsed["defects"].toArray().isEmpty())
            << parsed["defects"].toArray().at(0).toString().toStdString();
        EXPECT_EQ(parsed["headers"].toObject()["Subject"].toString().toStdString(), subjects[i]);
        EXPECT_EQ(parsed["from_name"].toString().toStdString(), "J\xC3\xB6rg Q. M\xC3\xBCller");
        EXPECT_EQ(parsed["to"].toArray().size(), 60);
    }
    smtp.Disconnect();
    EXPECT_EQ(server.Count(), 2);
}
