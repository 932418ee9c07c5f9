// Runs the Postfix set-up script and reads root's mailbox with Python's mailbox and email packages.
#include "system_postfix.h"

#include <QJsonDocument>
#include <QProcess>
#include <QThread>

namespace kelvo::test {
namespace {

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
            'content_type': msg.get_content_type(),
            'received': [str(r) for r in msg.get_all('Received', [])], 'attachments': []}
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

} // namespace

PostfixSetupRun PostfixSetup(const QStringList& args) {
    QProcess p;
    p.start("/bin/bash", QStringList{QStringLiteral(KELVO_SOURCE_DIR "/scripts/postfix-test-setup")} + args);
    PostfixSetupRun run;
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit) run.exitCode = p.exitCode();
    run.out = (p.readAllStandardOutput() + p.readAllStandardError()).trimmed().toStdString();
    return run;
}

PostfixStarted::PostfixStarted() : start_(PostfixSetup({"start"})) {}

PostfixStarted::~PostfixStarted() {
    if (start_.exitCode == 0 && start_.out == "started") PostfixSetup({"stop"});
}

QJsonObject MailboxMessages(const std::string& token, std::string* error) {
    QProcess p;
    p.start("/usr/bin/python3", {"-c", kFindScript, kRootMailbox, QString::fromStdString(token)});
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (error) *error = "python3 failed: " + p.readAllStandardError().toStdString();
        return {};
    }
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

QJsonObject WaitForMailboxMessages(const std::string& token, int count, std::string* error) {
    QJsonObject found;
    for (int i = 0; i < 300; ++i) {
        found = MailboxMessages(token, error);
        if (found.size() >= count || (error && !error->empty())) break;
        QThread::msleep(100);
    }
    return found;
}

} // namespace kelvo::test
