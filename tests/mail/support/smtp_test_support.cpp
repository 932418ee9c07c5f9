// Helpers for the SMTP session tests.
#include "smtp_test_support.h"

#include "mail/smtp.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <stdexcept>

namespace kelvo::test {

void EnsureApp()
{
    static int argc = 1;
    static char name[] = "kelvo_mail_test";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr)
        new QCoreApplication(argc, argv);  // lives for the whole test program
}

std::string ExpectedReceived(TKivSMTP& smtp)
{
    std::string out;
    for (const std::string& line : smtp.FinalHeader().Items())
        out += line + "\r\n";
    out += "\r\n\r\n";
    const std::string body = smtp.BodyStream().DataString();
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find("\r\n", start);
        end = end == std::string::npos ? body.size() : end + 2;
        const size_t skip = body[start] == '.' ? 1 : 0;  // RFC 5321 §4.5.2
        out.append(body, start + skip, end - start - skip);
        start = end;
    }
    return out;
}

AiosmtpdServer::AiosmtpdServer() : process_(std::make_unique<QProcess>())
{
    QTemporaryDir dir(QDir::tempPath() + "/kelvo-aiosmtpd-XXXXXX");
    dir.setAutoRemove(false);
    if (!dir.isValid())
        throw std::runtime_error("no temporary directory for aiosmtpd");
    dir_ = dir.path().toStdString();
    const QString script = QString(KELVO_SOURCE_DIR) + "/tests/mail/support/aiosmtpd_server.py";
    process_->start("/usr/bin/python3", {script, QString::fromStdString(dir_)});
    if (!process_->waitForStarted(10000))
        throw std::runtime_error("aiosmtpd did not start");
    QByteArray line;
    for (int i = 0; i < 200 && !line.contains('\n'); ++i) {
        process_->waitForReadyRead(100);
        line += process_->readAllStandardOutput();
        if (process_->state() != QProcess::Running)
            break;
    }
    if (!line.startsWith("PORT "))
        throw std::runtime_error("aiosmtpd gave no port: " + process_->readAllStandardError().toStdString());
    port_ = static_cast<uint16_t>(line.mid(5).trimmed().toUInt());
}

AiosmtpdServer::~AiosmtpdServer()
{
    process_->closeWriteChannel();
    if (!process_->waitForFinished(5000)) {
        process_->kill();
        process_->waitForFinished(5000);
    }
    QDir(QString::fromStdString(dir_)).removeRecursively();
}

static std::string ReadWhole(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = f.readAll();
    return std::string(all.constData(), static_cast<size_t>(all.size()));
}

std::string AiosmtpdServer::Message(int n) const
{
    const QString path = QString::fromStdString(dir_) + QString("/msg%1.eml").arg(n, 3, 10, QChar('0'));
    for (int i = 0; i < 1000 && !QFile::exists(path); ++i)
        QThread::msleep(10);
    return ReadWhole(path);
}

QJsonObject AiosmtpdServer::Envelope(int n) const
{
    const QString path = QString::fromStdString(dir_) + QString("/msg%1.json").arg(n, 3, 10, QChar('0'));
    for (int i = 0; i < 1000 && !QFile::exists(path); ++i)
        QThread::msleep(10);
    const std::string text = ReadWhole(path);
    return QJsonDocument::fromJson(QByteArray(text.data(), static_cast<qsizetype>(text.size()))).object();
}

int AiosmtpdServer::Count() const
{
    return static_cast<int>(QDir(QString::fromStdString(dir_)).entryList({"msg*.eml"}, QDir::Files).size());
}

std::string AiosmtpdServer::Log() const
{
    return process_->readAllStandardError().toStdString();
}

} // namespace kelvo::test
