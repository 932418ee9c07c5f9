// The PACS tests' peers (the misbehaving DICOMweb server and a private Orthanc, each a process of its own) and a way to run a job to its end.
#pragma once

#include "pacs/dicomweb.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelvo::test {

// A Python server started for one test, which prints "NAME value" lines once it
// listens; stopped by closing its stdin when the object goes.
class ServerProcess {
public:
    ServerProcess(const QString& script, const QStringList& args);
    ~ServerProcess();
    Q_DISABLE_COPY(ServerProcess)

    // The port of the line "NAME port" it printed at start (0 when it did not start).
    uint16_t Port(const QString& name) const;
    const std::string& Why() const { return why_; }
    // The "S: ..." lines it printed so far.
    QStringList Lines();

private:
    QProcess process_;
    QStringList lines_;
    std::string why_;
};

// tests/pacs/misbehaving_server.py serving `dicomFile`; https with `cert` and `key`.
class MisbehavingServer : public ServerProcess {
public:
    explicit MisbehavingServer(const QString& dicomFile, const QString& cert = {}, const QString& key = {});
    // The DICOMweb root of one behaviour ("ok", "stall", "401" ...).
    QString Root(const QString& mode, const QString& scheme = QStringLiteral("http")) const;
};

// A private Orthanc with DICOMweb (scripts/orthanc-test-instance), asking for
// `credentials` ("user:password") when given.
class OrthancServer : public ServerProcess {
public:
    explicit OrthancServer(const QString& credentials = {});
    bool Available() const { return Port("HTTP") != 0; }
    QString Root() const { return QStringLiteral("http://127.0.0.1:%1/dicom-web/").arg(Port("HTTP")); }
};

// What a job reported, in order, until its end.
struct JobRun {
    pacs::TPacsStatus Status;
    int DoneCount = 0, ProgressCount = 0;
    std::vector<pacs::TStudyRow> Rows;
    std::vector<pacs::TRetrievedInstance> Instances;
    pacs::TStoreResult Stored;
};

// Starts `job` and runs the event loop until its OnDone (60 s at most; a job that
// needs longer has hung). `onInstance` runs after each retrieved instance is recorded.
JobRun RunJob(pacs::TPacsJob* job, const std::function<void(pacs::TPacsJob&)>& onInstance = {});

// A server description for `root` with an idle time-out of `idleMs`.
pacs::TPacsServer ServerAt(const QString& root, int idleMs = 10000);
QByteArray FileBytes(const QString& path);

} // namespace kelvo::test
