// Runs fake_smtp.py from the source tree and reads what it stored in its directory.
#include "fake_smtp_server.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <gtest/gtest.h>

namespace kelvo::test {
namespace {

QByteArray ReadWhole(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A stored file is renamed into place whole, so once it exists it is complete.
QByteArray WaitForFile(const QString& path) {
    for (int i = 0; i < 1000 && !QFile::exists(path); ++i) QThread::msleep(10);
    return ReadWhole(path);
}

QString MessageName(int n, const char* ext) {
    return QStringLiteral("msg-%1.%2").arg(n, 3, 10, QLatin1Char('0')).arg(QLatin1String(ext));
}

} // namespace

FakeSmtpServer::FakeSmtpServer(FakeSmtpOptions options) : process_(std::make_unique<QProcess>()) {
    if (!dir_.isValid()) {
        ADD_FAILURE() << "no temporary directory for the SMTP server";
        return;
    }
    // clang-format off
    QStringList args{QStringLiteral(KELVO_SOURCE_DIR "/tests/support/fake_smtp.py"), QStringLiteral("--dir"),
                     dir_.path(), QStringLiteral("--idle-timeout"), QString::number(options.idleTimeoutSeconds),
                     QStringLiteral("--drop-every"), QString::number(options.dropEvery), QStringLiteral("--seed"),
                     QString::number(options.seed), QStringLiteral("--mechanisms"),
                     // clang-format on
                     QString::fromStdString(options.mechanisms)};
    if (!options.tls.empty())
        args << "--tls" << QString::fromStdString(options.tls) << "--cert"
             << QString::fromStdString(options.certificateFile) << "--key" << QString::fromStdString(options.keyFile);
    if (options.requireStartTls) args << "--require-starttls";
    if (!options.user.empty()) args << "--user" << QString::fromStdString(options.user);
    if (!options.inject.empty()) args << "--inject" << QString::fromStdString(options.inject);
    // The password goes by the environment, never on a command line others can read.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KELVO_TEST_SMTP_PASSWORD",
               QString::fromUtf8(options.password.data(), static_cast<qsizetype>(options.password.size())));
    process_->setProcessEnvironment(env);
    process_->start(QStringLiteral("/usr/bin/python3"), args);
    QByteArray line;
    while (!line.endsWith('\n') && process_->waitForReadyRead(20000)) line += process_->readLine();
    const QList<QByteArray> words = line.trimmed().split(' ');
    if (words.size() == 2 && words[0] == "ready") port_ = static_cast<uint16_t>(words[1].toUInt());
    if (port_ == 0) ADD_FAILURE() << "the SMTP server did not start: " << line.data() << Log();
}

FakeSmtpServer::~FakeSmtpServer() {
    process_->terminate();
    if (!process_->waitForFinished(5000)) {
        process_->kill();
        process_->waitForFinished(5000);
    }
}

std::string FakeSmtpServer::Dir() const { return dir_.path().toStdString(); }

std::string FakeSmtpServer::MessagePath(int n) const { return dir_.filePath(MessageName(n, "eml")).toStdString(); }

std::string FakeSmtpServer::Message(int n) const {
    return WaitForFile(dir_.filePath(MessageName(n, "eml"))).toStdString();
}

QJsonObject FakeSmtpServer::Envelope(int n) const {
    return QJsonDocument::fromJson(WaitForFile(dir_.filePath(MessageName(n, "json")))).object();
}

int FakeSmtpServer::Count() const {
    int n = 0;
    while (QFile::exists(dir_.filePath(MessageName(n + 1, "eml")))) ++n;
    return n;
}

QStringList FakeSmtpServer::Commands() const {
    QStringList commands;
    const QString log = QString::fromUtf8(ReadWhole(dir_.filePath(QStringLiteral("commands.log"))));
    for (const QString& line : log.split('\n', Qt::SkipEmptyParts)) commands << line.section(' ', 1);
    return commands;
}

std::vector<std::string> FakeSmtpServer::SignIns() const {
    std::vector<std::string> out;
    for (const QByteArray& line : ReadWhole(dir_.filePath(QStringLiteral("auth.log"))).split('\n'))
        if (!line.isEmpty()) out.push_back(line.toStdString());
    return out;
}

std::string FakeSmtpServer::File(const std::string& name) const {
    return ReadWhole(dir_.filePath(QString::fromStdString(name))).toStdString();
}

std::string FakeSmtpServer::Log() const { return process_->readAllStandardError().toStdString(); }

} // namespace kelvo::test
