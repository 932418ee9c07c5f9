// The PACS tests' server processes and the job runner.
#include "tests/pacs/support/pacs_test_support.h"

#include "tests/support/event_loop.h"

#include <QFile>
#include <QRegularExpression>

namespace kelvo::test {

ServerProcess::ServerProcess(const QString& script, const QStringList& args) {
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral("/usr/bin/python3"), QStringList{script} + args);
    QByteArray out;
    // Orthanc takes a few seconds to open its index.
    while (process_.waitForReadyRead(60000)) {
        out += process_.readAllStandardOutput();
        // FAILED, or the last start line, printed once the server listens.
        if (out.contains("FAILED") || out.contains("PORT ") || out.contains("DICOM ")) break;
    }
    if (out.contains("FAILED") || !out.contains(' ')) {
        why_ = "the server did not start: " + out.toStdString();
        return;
    }
    for (const QByteArray& line : out.split('\n'))
        if (!line.trimmed().isEmpty()) lines_ << QString::fromUtf8(line.trimmed());
}

ServerProcess::~ServerProcess() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.closeWriteChannel();
    if (!process_.waitForFinished(20000)) process_.kill();
    process_.waitForFinished(5000);
}

uint16_t ServerProcess::Port(const QString& name) const {
    for (const QString& line : lines_)
        if (line.startsWith(name + " ")) return static_cast<uint16_t>(line.mid(name.size() + 1).toUInt());
    return 0;
}

QStringList ServerProcess::Lines() {
    while (process_.waitForReadyRead(200)) {}
    for (const QByteArray& line : process_.readAllStandardOutput().split('\n'))
        if (!line.trimmed().isEmpty()) lines_ << QString::fromUtf8(line.trimmed());
    return lines_.filter(QRegularExpression(QStringLiteral("^S: ")));
}

MisbehavingServer::MisbehavingServer(const QString& dicomFile, const QString& cert, const QString& key)
    : ServerProcess(QStringLiteral(KELVO_SOURCE_DIR "/tests/pacs/misbehaving_server.py"),
                    cert.isEmpty() ? QStringList{dicomFile} : QStringList{dicomFile, cert, key}) {}

QString MisbehavingServer::Root(const QString& mode, const QString& scheme) const {
    return QStringLiteral("%1://127.0.0.1:%2/%3/").arg(scheme).arg(Port(QStringLiteral("PORT"))).arg(mode);
}

OrthancServer::OrthancServer(const QString& credentials)
    : ServerProcess(QStringLiteral(KELVO_SOURCE_DIR "/scripts/orthanc-test-instance"),
                    credentials.isEmpty() ? QStringList{} : QStringList{credentials}) {}

JobRun RunJob(pacs::TPacsJob* job, const std::function<void(pacs::TPacsJob&)>& onInstance) {
    JobRun run;
    job->OnProgress = [&run](const pacs::TPacsProgress&) { ++run.ProgressCount; };
    job->OnDone = [&run](const pacs::TPacsStatus& status) { run.Status = status, ++run.DoneCount; };
    if (auto* search = dynamic_cast<pacs::TSearchJob*>(job))
        search->OnStudies = [&run](const std::vector<pacs::TStudyRow>& rows) { run.Rows = rows; };
    if (auto* store = dynamic_cast<pacs::TStoreJob*>(job))
        store->OnStored = [&run](const pacs::TStoreResult& result) { run.Stored = result; };
    if (auto* retrieve = dynamic_cast<pacs::TRetrieveJob*>(job))
        retrieve->OnInstance = [&run, job, onInstance](const pacs::TRetrievedInstance& instance) {
            run.Instances.push_back(instance);
            if (onInstance) onInstance(*job);
        };
    job->Start();
    SpinUntil([&run] { return run.DoneCount > 0; }, 60000);
    // Nothing may follow the end.
    SpinFor(50);
    return run;
}

pacs::TPacsServer ServerAt(const QString& root, int idleMs) {
    pacs::TPacsServer server;
    server.BaseUrl = QUrl(root);
    server.IdleTimeoutMs = idleMs;
    return server;
}

QByteArray FileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace kelvo::test
