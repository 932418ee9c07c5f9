// DICOMweb against a scripted misbehaving server on 127.0.0.1: every fault ends a job with its kind, at once or at the idle time-out, and leaves no half instance in the cache.
#include "pacs/dicomweb.h"
#include "pacs/instance_cache.h"
#include "tests/pacs/support/pacs_test_support.h"
#include "tests/support/application.h"
#include "tests/support/loopback.h"
#include "tests/support/sample_files.h"
#include "tests/support/test_certificates.h"

#include <QSslCertificate>
#include <QTemporaryDir>

#include <tuple>

#include <gtest/gtest.h>

namespace kelvo::pacs {
namespace {

using test::JobRun;
using test::RunJob;
using test::ServerAt;

[[maybe_unused]] ::testing::Environment* const kApp = test::AddApplicationEnvironment(test::AppKind::Core);

class Faults : public ::testing::Test {
protected:
    const QString file_ = test::PydicomFile("CT_small.dcm");
    test::MisbehavingServer server_{file_};
    QTemporaryDir dir_;
    TInstanceCache cache_{dir_.path(), int64_t{1} << 30};

    void SetUp() override { ASSERT_NE(server_.Port("PORT"), 0) << server_.Why(); }
    JobRun Retrieve(const TPacsServer& server, const std::function<void(TPacsJob&)>& onInstance = {}) {
        TDicomWebClient client(server, &cache_);
        return RunJob(client.Retrieve("1.2.3"), onInstance);
    }
    QStringList Temporaries() const { return QDir(dir_.path()).entryList({"*.part"}, QDir::Files); }
};

TEST_F(Faults, EachMisbehaviourEndsARetrieveWithItsKindAndNoHalfInstance) {
    const struct { const char* mode; int idleMs; TPacsError kind; size_t instances; } rows[] = {
        {"ok", 10000, TPacsError::None, 2},
        {"trickle", 1000, TPacsError::None, 1}, // slow, but never silent for a second
        {"stall", 500, TPacsError::TimedOut, 0},
        {"truncated", 10000, TPacsError::Truncated, 1},
        {"oversized", 10000, TPacsError::TooLarge, 0},
        {"notmultipart", 10000, TPacsError::BadResponse, 0},
        {"401", 10000, TPacsError::Unauthorized, 0},
        {"403", 10000, TPacsError::Forbidden, 0},
        {"404", 10000, TPacsError::NotFound, 0},
        {"500", 10000, TPacsError::ServerError, 0},
    };
    const QByteArray original = test::FileBytes(file_);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mode);
        const JobRun run = Retrieve(ServerAt(server_.Root(row.mode), row.idleMs));
        ASSERT_EQ(run.DoneCount, 1);
        EXPECT_EQ(run.Status.Kind, row.kind) << run.Status.Text.toStdString();
        EXPECT_TRUE(run.Status.Text.startsWith(PacsErrorText(row.kind).left(20))) << run.Status.Text.toStdString();
        EXPECT_EQ(run.Instances.size(), row.instances);
        EXPECT_GE(run.ProgressCount, static_cast<int>(row.instances)); // at least one report per instance
        for (const TRetrievedInstance& i : run.Instances) EXPECT_EQ(test::FileBytes(i.Path), original);
        EXPECT_TRUE(Temporaries().isEmpty()) << Temporaries().join(' ').toStdString();
    }
    // A search answered with a web page, or refused.
    for (const auto& [mode, kind] : {std::pair{"notmultipart", TPacsError::BadResponse}, std::pair{"401", TPacsError::Unauthorized}}) {
        TDicomWebClient client(ServerAt(server_.Root(mode)), &cache_);
        EXPECT_EQ(RunJob(client.Search({})).Status.Kind, kind) << mode;
    }
    // Nothing listens: refused at once.
    EXPECT_EQ(Retrieve(ServerAt(QStringLiteral("http://127.0.0.1:%1/").arg(test::ClosedLoopbackPort()))).Status.Kind,
              TPacsError::Refused);
}

TEST_F(Faults, APasswordOverPlainHttpIsSentOnlyWhenConfirmed) {
    TPacsServer server = ServerAt(server_.Root("ok"));
    std::tie(server.User, server.Password) = std::pair("doc", "pw");
    {
        TDicomWebClient client(server, &cache_);
        EXPECT_EQ(RunJob(client.Search({})).Status.Kind, TPacsError::InsecurePassword);
    }
    EXPECT_TRUE(server_.Lines().isEmpty()) << server_.Lines().join('\n').toStdString();
    server.ClearPassword = TClearPassword::SendConfirmed;
    TDicomWebClient client(server, &cache_);
    EXPECT_EQ(RunJob(client.Search({})).Status.Kind, TPacsError::None);
    ASSERT_EQ(server_.Lines().size(), 1);
    EXPECT_TRUE(server_.Lines()[0].endsWith("Basic " + QByteArray("doc:pw").toBase64())) << server_.Lines()[0].toStdString();
}

TEST_F(Faults, CancelAtTheFirstInstanceStopsAtOnceAndTheStudyIsFetchedAgainLater) {
    const JobRun canceled = Retrieve(ServerAt(server_.Root("slowparts")), [](TPacsJob& job) { job.Cancel(); });
    EXPECT_EQ(canceled.Status.Kind, TPacsError::Canceled);
    EXPECT_TRUE(canceled.DoneCount == 1 && canceled.Instances.size() == 1 && Temporaries().isEmpty());
    // A retrieve that ran whole opens again from the cache alone.
    const TPacsServer ok = ServerAt(server_.Root("ok"));
    EXPECT_FALSE(Retrieve(ok).Instances.at(0).FromCache);
    const JobRun again = Retrieve(ok);
    ASSERT_EQ(again.Instances.size(), 1u); // the same instance twice is one entry
    EXPECT_TRUE(again.Status.Ok() && again.Instances[0].FromCache);
    EXPECT_EQ(server_.Lines().filter("GET /ok/").size(), 1);
}

TEST_F(Faults, HttpsTrustsTheCallersCaAndRefusesAnUnknownCertificateBeforeSending) {
    const test::TestCertificates certs;
    const QList<QSslCertificate> ca = QSslCertificate::fromPath(QString::fromStdString(certs.Path("ca.pem")));
    ASSERT_EQ(ca.size(), 1);
    const struct { const char* cert; bool trustCa; TPacsError kind; } rows[] = {
        {"good", true, TPacsError::None},
        {"good", false, TPacsError::Certificate},
        {"self", true, TPacsError::Certificate},
        {"wronghost", true, TPacsError::Certificate},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.cert) + (row.trustCa ? " with the CA" : " without the CA"));
        test::MisbehavingServer tls(file_, QString::fromStdString(certs.Path(std::string(row.cert) + ".pem")),
                                    QString::fromStdString(certs.Path(std::string(row.cert) + ".key")));
        ASSERT_NE(tls.Port("PORT"), 0) << tls.Why();
        TPacsServer server = ServerAt(tls.Root("ok", "https"));
        std::tie(server.User, server.Password) = std::pair("doc", "pw"); // over https, with no confirmation
        if (row.trustCa) server.ExtraCaCertificates = ca;
        TDicomWebClient client(server, &cache_);
        const JobRun run = RunJob(client.Search({}));
        EXPECT_EQ(run.Status.Kind, row.kind) << run.Status.Text.toStdString();
        EXPECT_EQ(tls.Lines().size(), row.kind == TPacsError::None ? 1 : 0);
    }
}

} // namespace
} // namespace kelvo::pacs
