// DICOMweb against a private Orthanc: pydicom's files stored with STOW-RS, found again with QIDO-RS and retrieved with WADO-RS byte for byte.
#include "pacs/dicomweb.h"
#include "pacs/dimse.h"
#include "pacs/instance_cache.h"
#include "tests/pacs/support/pacs_test_support.h"
#include "tests/support/application.h"
#include "tests/support/event_loop.h"
#include "tests/support/loopback.h"
#include "tests/support/sample_files.h"

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

    // Faults of the real server: an unknown study, a wrong password.
    EXPECT_EQ(RunJob(client.Retrieve("1.2.3.4.5")).Status.Kind, TPacsError::NotFound);
    server.Password = "wrong";
    TDicomWebClient wrong(server, &cache);
    EXPECT_EQ(RunJob(wrong.Search({})).Status.Kind, TPacsError::Unauthorized);
}

} // namespace
} // namespace kelvo::pacs
