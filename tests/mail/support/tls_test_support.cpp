// The security tests' certificates and TLS-capable aiosmtpd.
#include "tests/mail/support/tls_test_support.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <cstdlib>
#include <stdexcept>

namespace kelvo::test {

AiosmtpdTlsServer::AiosmtpdTlsServer(const TestCertificates& certs, const TlsServerOptions& o)
    : process_(std::make_unique<QProcess>())
{
    QTemporaryDir dir(QDir::tempPath() + "/kelvo-aiosmtpd-tls-XXXXXX");
    dir.setAutoRemove(false);
    if (!dir.isValid())
        throw std::runtime_error("no temporary directory for aiosmtpd");
    dir_ = dir.path().toStdString();
    QStringList args{QString(KELVO_SOURCE_DIR) + "/tests/mail/support/aiosmtpd_tls_server.py",
                     QString::fromStdString(dir_), QString::fromStdString(o.mode),
                     QString::fromStdString(certs.Path(o.certificate + ".pem")),
                     QString::fromStdString(certs.Path(o.certificate + ".key")), "--mechanisms",
                     QString::fromStdString(o.mechanisms)};
    if (o.requireStartTls)
        args << "--require-starttls";
    if (!o.user.empty())
        args << "--user" << QString::fromStdString(o.user);
    if (!o.inject.empty())
        args << "--inject" << QString::fromStdString(o.inject);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KELVO_TEST_SMTP_PASSWORD", QString::fromUtf8(o.password.data(), static_cast<qsizetype>(o.password.size())));
    process_->setProcessEnvironment(env);
    process_->start("/usr/bin/python3", args);
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

AiosmtpdTlsServer::~AiosmtpdTlsServer()
{
    process_->closeWriteChannel();
    if (!process_->waitForFinished(5000)) {
        process_->kill();
        process_->waitForFinished(5000);
    }
    QDir(QString::fromStdString(dir_)).removeRecursively();
}

namespace {

QByteArray WaitAndRead(const QString& path)
{
    for (int i = 0; i < 1000 && !QFile::exists(path); ++i)
        QThread::msleep(10);
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

} // namespace

std::string AiosmtpdTlsServer::Message(int n) const
{
    const QByteArray all = WaitAndRead(QString::fromStdString(dir_) + QString("/msg%1.eml").arg(n, 3, 10, QChar('0')));
    return std::string(all.constData(), static_cast<size_t>(all.size()));
}

QJsonObject AiosmtpdTlsServer::Envelope(int n) const
{
    return QJsonDocument::fromJson(
               WaitAndRead(QString::fromStdString(dir_) + QString("/msg%1.json").arg(n, 3, 10, QChar('0'))))
        .object();
}

int AiosmtpdTlsServer::Count() const
{
    return static_cast<int>(QDir(QString::fromStdString(dir_)).entryList({"msg*.eml"}, QDir::Files).size());
}

std::vector<std::string> AiosmtpdTlsServer::SignIns() const
{
    QFile f(QString::fromStdString(dir_) + "/auth.log");
    std::vector<std::string> out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (!line.isEmpty())
            out.push_back(line.toStdString());
    return out;
}

std::string AiosmtpdTlsServer::Log() const { return process_->readAllStandardError().toStdString(); }

} // namespace kelvo::test
