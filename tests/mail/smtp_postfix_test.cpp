// End to end with Postfix on 127.0.0.1:25: messages with and without attachments reach a local mailbox and parse.
#include "mail/smtp.h"
#include "tests/mail/support/mail_test_support.h"
#include "tests/mail/support/smtp_test_support.h"

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

// Finds the messages whose Subject holds the token and describes each by subject.
const char* const kFindScript = R"PY(
import json, mailbox, sys
from email import message_from_bytes, policy
path, token = sys.argv[1], sys.argv[2]
found = {}
try:
    box = mailbox.mbox(path, create=False)
    keys = list(box.keys())
except (FileNotFoundError, mailbox.NoSuchMailboxError):
    keys = []
for key in keys:
    msg = message_from_bytes(box.get_bytes(key), policy=policy.default)
    subject = str(msg['Subject'] or '')
    if token not in subject:
        continue
    info = {'defects': [type(d).__name__ for d in msg.defects],
            'from': str(msg['From']), 'to': str(msg['To']),
            'content_type': msg.get_content_type(), 'attachments': []}
    for part in msg.walk():
        if part.is_multipart():
            continue
        if part.get_filename():
            info['attachments'].append({'filename': part.get_filename(),
                                        'hex': part.get_payload(decode=True).hex()})
        elif part.get_content_maintype() == 'text':
            info['text'] = part.get_content().replace('\r\n', '\n')
        info['defects'] += [type(d).__name__ for d in part.defects]
    found[subject] = info
print(json.dumps(found))
)PY";

struct PostfixRun {
    int exitCode = -1;
    std::string out;
};

PostfixRun PostfixSetup(const char* action)
{
    QProcess p;
    p.start("/bin/bash", {QString(KELVO_SOURCE_DIR) + "/scripts/postfix-test-setup", action});
    PostfixRun run;
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit)
        run.exitCode = p.exitCode();
    run.out = (p.readAllStandardOutput() + p.readAllStandardError()).trimmed().toStdString();
    return run;
}

// Stops Postfix on every way out of the test, but only when this test started it.
class PostfixGuard {
public:
    explicit PostfixGuard(bool started) : started_(started) {}
    ~PostfixGuard()
    {
        if (started_)
            PostfixSetup("stop");
    }
    PostfixGuard(const PostfixGuard&) = delete;
    PostfixGuard& operator=(const PostfixGuard&) = delete;

private:
    bool started_;
};

TEST(SmtpPostfix, MessagesWithAndWithoutAttachmentsReachTheMailbox)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "Postfix is started by root only";
    const PostfixRun start = PostfixSetup("start");
    if (start.exitCode == 2)
        GTEST_SKIP() << start.out;
    ASSERT_EQ(start.exitCode, 0) << start.out;
    ASSERT_TRUE(start.out == "started" || start.out == "running") << start.out;
    const PostfixGuard guard(start.out == "started");

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

    QJsonObject found;
    for (int i = 0; i < 300 && found.size() < 2; ++i) {
        const PythonRun run = RunPython(kFindScript, {kMailbox, token});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        found = QJsonDocument::fromJson(QByteArray::fromStdString(run.out)).object();
        if (found.size() < 2)
            QThread::msleep(100);
    }
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
