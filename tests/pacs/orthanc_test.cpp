// DICOMweb against a private Orthanc: pydicom's files stored with STOW-RS, found again with QIDO-RS and retrieved with WADO-RS byte for byte.
#include "pacs/dicomweb.h"
#include "pacs/dimse.h"
#include "pacs/instance_cache.h"
#include "tests/pacs/support/pacs_test_support.h"
#include "tests/support/application.h"
#include "tests/support/event_loop.h"
#include "tests/support/loopback.h"
#include "tests/support/sample_files.h"

#include <QDir>
#include <QTemporaryDir>

#include <optional>
#include <tuple>

#include <gtest/gtest.h>

namespace kelvo::pacs {
namespace {

using test::JobRun;
using test::RunJob;

[[maybe_unused]] ::testing::Environment* const kApp = test::AddApplicationEnvironment(test::AppKind::Core);

constexpr const char* kCtStudy = "1.3.6.1.4.1.5962.1.2.1.20040119072730.12322";
constexpr const char* kMrStudy = "1.3.6.1.4.1.5962.1.2.4.20040826185059.5457";

TEST(Orthanc, StoredFilesAreFoundOverDicomwebAndDimseAndRetrievedByteForByte) {
    test::OrthancServer orthanc(QStringLiteral("kelvo:secret"));
    ASSERT_TRUE(orthanc.Available()) << orthanc.Why();
    QTemporaryDir dir;
    TInstanceCache cache(dir.path(), int64_t{1} << 30);
    TPacsServer server = test::ServerAt(orthanc.Root());
    server.User = "kelvo";
    server.Password = "secret";
    server.ClearPassword = TClearPassword::SendConfirmed; // loopback only
    TDicomWebClient client(server, &cache);

    const QString ct = test::PydicomFile("CT_small.dcm"), mr = test::PydicomFile("MR_small.dcm");
    const JobRun stored = RunJob(client.Store({ct, mr}));
    ASSERT_EQ(stored.Status.Kind, TPacsError::None) << stored.Status.Text.toStdString();
    EXPECT_EQ(stored.Stored.Stored.size(), 2);

    // Searches: each row is the study it should be, or none.
    const struct { const char* scenario; TStudyQuery query; QStringList studies; } rows[] = {
        {"everything, newest first", {}, {kMrStudy, kCtStudy}},
        {"name wildcard", {.PatientName = "CompressedSamples^C*"}, {kCtStudy}},
        {"patient id", {.PatientId = "4MR1"}, {kMrStudy}},
        {"modality", {.Modality = "CT"}, {kCtStudy}},
        {"date range", {.From = QDate(2004, 1, 1), .To = QDate(2004, 2, 1)}, {kCtStudy}},
        {"open-ended date", {.From = QDate(2004, 6, 1)}, {kMrStudy}},
        {"no match", {.PatientName = "Nobody*"}, {}},
        {"paging: how many", {.Limit = 1, .Offset = 1}, {"1"}},
    };
    for (const auto& row : rows) {
        const JobRun found = RunJob(client.Search(row.query));
        EXPECT_EQ(found.Status.Kind, TPacsError::None) << found.Status.Text.toStdString();
        QStringList uids;
        for (const TStudyRow& r : found.Rows) uids << r.StudyUid + (r.Date.isValid() && r.Series == 1 && r.Instances == 1 ? "" : " incomplete");
        EXPECT_EQ(row.query.Limit == 1 ? QStringList{QString::number(uids.size())} : uids, row.studies) << row.scenario;
    }

    // Retrieve: the bytes stored come back; the second time from the cache.
    for (const auto& [study, file] : {std::pair{kCtStudy, ct}, std::pair{kMrStudy, mr}}) {
        const JobRun got = RunJob(client.Retrieve(study)), again = RunJob(client.Retrieve(study));
        ASSERT_EQ(got.Status.Kind, TPacsError::None) << got.Status.Text.toStdString();
        ASSERT_TRUE(got.Instances.size() == 1 && again.Instances.size() == 1);
        EXPECT_TRUE(!got.Instances[0].FromCache && again.Instances[0].FromCache);
        EXPECT_EQ(test::FileBytes(got.Instances[0].Path), test::FileBytes(file));
    }

    // C-FIND at Orthanc's DICOM port; and at a port where nothing listens.
    for (const auto& [port, kind, studies] :
         {std::tuple{orthanc.Port("DICOM"), TPacsError::None, QStringList{QString(kMrStudy) + "/1"}},
          std::tuple{test::ClosedLoopbackPort(), TPacsError::Refused, QStringList{}}}) {
        TDimseFindJob find({"KELVOTEST", "127.0.0.1", port, "KELVO"}, {.PatientId = "4MR1"}, 10);
        QStringList uids;
        std::optional<TPacsStatus> done;
        find.OnStudies = [&uids](const std::vector<TStudyRow>& rows) { uids << rows.at(0).StudyUid + "/" + QString::number(rows.size()); };
        find.OnDone = [&done](const TPacsStatus& s) { done = s; };
        find.Start();
        ASSERT_TRUE(test::SpinUntil([&done] { return done.has_value(); }, 60000));
        EXPECT_EQ(done->Kind, kind) << done->Text.toStdString();
        EXPECT_EQ(uids, studies);
    }

    // C-STORE, then C-GET at the DICOM port: the data set comes back whole into the cache, the
    // second time from the cache alone; refusals and a cancel leave nothing behind.
    const TDicomNode node{"KELVOTEST", "127.0.0.1", orthanc.Port("DICOM"), "KELVO"};
    const QString j2k = test::PydicomFile("JPEG2000.dcm");
    const auto run = [](TDimseJob& job) {
        std::optional<TPacsStatus> done;
        job.OnDone = [&done](const TPacsStatus& s) { done = s; };
        job.Start();
        test::SpinUntil([&done] { return done.has_value(); }, 60000);
        return done.value_or(TPacsStatus{TPacsError::TimedOut, {}});
    };
    for (const auto& [files, kind] : {std::pair{QStringList{j2k}, TPacsError::None},
                                      std::pair{QStringList{dir.path() + "/lists"}, TPacsError::LocalFile}}) {
        TDimseStoreJob store(node, files, 10);
        const TPacsStatus status = run(store);
        EXPECT_EQ(status.Kind, kind) << status.Text.toStdString();
    }
    QString j2kStudy;
    for (const TStudyRow& r : RunJob(client.Search({})).Rows)
        if (r.StudyUid != kCtStudy && r.StudyUid != kMrStudy) j2kStudy = r.StudyUid;
    ASSERT_FALSE(j2kStudy.isEmpty());
    const QByteArray sent = test::FileBytes(j2k);
    for (const auto& [study, kind, fromCache] :
         {std::tuple{j2kStudy, TPacsError::None, false}, std::tuple{j2kStudy, TPacsError::None, true},
          std::tuple{QString("1.2.3.4.5"), TPacsError::ServerError, false}}) {
        TDimseRetrieveJob get(node, &cache, study, {}, 10);
        std::vector<TRetrievedInstance> got;
        get.OnInstance = [&got](const TRetrievedInstance& i) { got.push_back(i); };
        TPacsProgress last;
        get.OnProgress = [&last](const TPacsProgress& p) { last = p; };
        const TPacsStatus status = run(get);
        EXPECT_EQ(status.Kind, kind) << status.Text.toStdString();
        ASSERT_EQ(got.size(), kind == TPacsError::None ? 1u : 0u);
        if (got.empty()) continue;
        EXPECT_EQ(got[0].FromCache, fromCache);
        EXPECT_EQ(last.Instances, 1);
        EXPECT_EQ(last.Bytes, fromCache ? 0 : test::FileBytes(got[0].Path).size());
        EXPECT_EQ(test::FileBytes(got[0].Path).right(sent.size() / 2), sent.right(sent.size() / 2));
    }
    // C-MOVE to our own listener, whose port Orthanc knows for the AE title KELVO.
    TDicomNode moving = node;
    moving.OurPort = orthanc.Port("MOVE");
    TDimseRetrieveJob move(moving, &cache, kCtStudy, {}, 10);
    std::vector<TRetrievedInstance> moved;
    move.OnInstance = [&moved](const TRetrievedInstance& i) { moved.push_back(i); };
    const TPacsStatus moveStatus = run(move);
    EXPECT_EQ(moveStatus.Kind, TPacsError::None) << moveStatus.Text.toStdString();
    ASSERT_TRUE(moved.size() == 1 && !moved[0].FromCache);
    const QByteArray ctBytes = test::FileBytes(ct);
    EXPECT_TRUE(test::FileBytes(moved[0].Path).contains(ctBytes.mid(ctBytes.size() / 2, 8192)));
    {
        TDimseRetrieveJob canceled(node, &cache, kCtStudy, {}, 10);
        std::optional<TPacsStatus> done;
        canceled.OnDone = [&done](const TPacsStatus& s) { done = s; };
        canceled.Start();
        canceled.Cancel();
        EXPECT_EQ(done.has_value() ? done->Kind : TPacsError::None, TPacsError::Canceled);
    }
    // A peer that takes the connection and then says nothing: the time-out ends the wait.
    test::LoopbackListener silent;
    const TDicomNode mute{"KELVOTEST", "127.0.0.1", silent.Port(), "KELVO"};
    TDimseStoreJob storeMute(mute, {j2k}, 1);
    TDimseRetrieveJob getMute(mute, &cache, j2kStudy, {}, 1);
    for (TDimseJob* job : std::initializer_list<TDimseJob*>{&storeMute, &getMute}) {
        const TPacsStatus status = run(*job);
        EXPECT_EQ(status.Kind, TPacsError::TimedOut) << status.Text.toStdString();
    }
    EXPECT_TRUE(
        test::SpinUntil([&dir] { return QDir(dir.path()).entryList({"*.part"}, QDir::AllEntries).isEmpty(); }, 30000));

    // Faults of the real server: an unknown study, a wrong password.
    EXPECT_EQ(RunJob(client.Retrieve("1.2.3.4.5")).Status.Kind, TPacsError::NotFound);
    server.Password = "wrong";
    TDicomWebClient wrong(server, &cache);
    EXPECT_EQ(RunJob(wrong.Search({})).Status.Kind, TPacsError::Unauthorized);
}

} // namespace
} // namespace kelvo::pacs
