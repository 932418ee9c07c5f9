// End to end with Postfix on 127.0.0.1:25: messages with and without attachments reach a local mailbox and parse.
#include "mail/smtp.h"
#include "tests/mail/support/mail_test_support.h"
#include "tests/mail/support/smtp_test_support.h"
#include "tests/support/system_postfix.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

using namespace kelvo;
using namespace kelvo::test;

namespace {

TEST(SmtpPostfix, MessagesWithAndWithoutAttachmentsReachTheMailbox) {
    const PostfixStarted postfix;
    if (postfix.Unavailable()) GTEST_SKIP() << postfix.Start().out;
    ASSERT_TRUE(postfix.Running()) << postfix.Start().out;

    EnsureApp();
    TempDir dir;
    const std::string data = AllByteValues() + RandomBytes(200000, 11);
    const std::string file = dir.File("scan data.bin", data);
    const std::string note = dir.File("note.txt", "first line\r\nsecond line\r\n");
    const std::string token = "kelvo-" + std::to_string(::getpid()) + "-" + std::to_string(::time(nullptr));

    TKivSMTP smtp;
    smtp.SetHost("127.0.0.1");
    smtp.SetUserID("kelvo.test");
    smtp.SetTimeOut(20000);
    ASSERT_EQ(smtp.Port(), 25);
    smtp.Connect();
    TPostMessage& m = smtp.PostMessage();
    m.SetFromAddress("feedback@kelvo.localdomain");
    m.SetFromName("Kelvo Feedback");
    m.ToAddress().Add("Root <root@localhost>");
    m.SetSubject(token + " plain");
    m.Body().Add("A plain message.");
    m.Body().Add(".");
    m.Body().Add("Last line.");
    smtp.SendMail();
    m.ToAddress().Add("root@localhost");
    m.SetSubject(token + " attached");
    m.Attachments().Add(file);
    m.Attachments().Add(note);
    smtp.SendMail();
    smtp.Disconnect();

    std::string error;
    const QJsonObject found = WaitForMailboxMessages(token, 2, &error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(found.size(), 2) << "delivered: " << QJsonDocument(found).toJson().toStdString();

    const QJsonObject plain = found[QString::fromStdString(token + " plain")].toObject();
    EXPECT_TRUE(plain["defects"].toArray().isEmpty());
    EXPECT_EQ(plain["from"].toString().toStdString(), "Kelvo Feedback <feedback@kelvo.localdomain>");
    EXPECT_EQ(plain["content_type"].toString().toStdString(), "text/plain");
    EXPECT_EQ(plain["text"].toString().toStdString(), "\nA plain message.\n.\nLast line.\n");
    EXPECT_TRUE(plain["attachments"].toArray().isEmpty());

    const QJsonObject attached = found[QString::fromStdString(token + " attached")].toObject();
    EXPECT_TRUE(attached["defects"].toArray().isEmpty());
    EXPECT_EQ(attached["content_type"].toString().toStdString(), "multipart/mixed");
    const QJsonArray files = attached["attachments"].toArray();
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[0].toObject()["filename"].toString().toStdString(), "scan data.bin");
    EXPECT_TRUE(FromHex(files[0].toObject()["hex"].toString().toStdString()) == data);
    EXPECT_EQ(files[1].toObject()["filename"].toString().toStdString(), "note.txt");
    EXPECT_EQ(FromHex(files[1].toObject()["hex"].toString().toStdString()), "first line\r\nsecond line\r\n");
}

} // namespace
