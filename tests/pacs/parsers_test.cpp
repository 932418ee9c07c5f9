// The PACS library's parts that need no server: the multipart reader, DICOM JSON, the query string, the server's settings and the instance cache.
#include "pacs/dicom_json.h"
#include "pacs/dicomweb.h"
#include "pacs/instance_cache.h"
#include "pacs/multipart.h"
#include "tests/support/application.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

namespace kelvo::pacs {
namespace {

[[maybe_unused]] ::testing::Environment* const kApp = test::AddApplicationEnvironment(test::AppKind::Core);

struct Parsed {
    std::vector<QByteArray> parts; // each "content-type|data"
    std::optional<TPacsError> error;
};

// Reads `body` in pieces of `piece` bytes, with parts of at most 1 MiB.
Parsed ReadMultipart(const QByteArray& body, qsizetype piece) {
    Parsed out;
    TMultipartReader reader("b0und", 1 << 20);
    reader.OnPartBegin = [&](const THeaderFields& f) { out.parts.push_back(HeaderValue(f, "content-type") + "|"); };
    reader.OnPartData = [&](const char* d, qsizetype n) { out.parts.back().append(d, n); };
    try {
        for (qsizetype i = 0; i < body.size(); i += piece) reader.Feed(body.constData() + i, std::min(piece, body.size() - i));
        reader.Finish();
    } catch (const EPacsError& e) {
        out.error = e.PacsKind();
    }
    return out;
}

TEST(Multipart, PartsComeWholeWhateverThePieceSizeOrTheyFailByKind) {
    const QByteArray big(5000, 'x');
    const struct { const char* scenario; QByteArray body; std::vector<QByteArray> parts; std::optional<TPacsError> error; } rows[] = {
        {"two parts", "--b0und\r\nContent-Type: application/dicom\r\n\r\nAB\r\n--b0und\r\n\r\n\r\n--b\r\n--b0und--\r\n", {"application/dicom|AB", "|\r\n--b"}, {}},
        {"preamble, padding, epilogue", "hello\r\n--b0und  \r\nX: 1\r\n\r\nDATA\r\n--b0und--junk", {"|DATA"}, {}},
        {"content-length agrees", "--b0und\r\nContent-Length: 5000\r\n\r\n" + big + "\r\n--b0und--", {"|" + big}, {}},
        {"no closing boundary", "--b0und\r\n\r\nAB\r\n--b0und\r\n\r\nCD", {}, TPacsError::Truncated},
        {"body with no part", "just text", {}, TPacsError::Truncated},
        {"part longer than announced", "--b0und\r\nContent-Length: 10\r\n\r\n" + big + "\r\n--b0und--", {}, TPacsError::TooLarge},
        {"part shorter than announced", "--b0und\r\nContent-Length: 10\r\n\r\nabc\r\n--b0und--", {}, TPacsError::Truncated},
        {"part without end past the limit", "--b0und\r\n\r\n" + QByteArray(3 << 20, 'y'), {}, TPacsError::TooLarge},
        {"header without end", "--b0und\r\n" + QByteArray(40000, 'h'), {}, TPacsError::BadResponse},
        {"text after a boundary", "--b0und junk\r\n\r\nA\r\n--b0und--", {}, TPacsError::BadResponse},
    };
    EXPECT_EQ(MultipartBoundary(R"(Multipart/Related; BOUNDARY="a b=c"; type="application/dicom")"), "a b=c");
    EXPECT_EQ(MultipartBoundary("application/dicom+json; boundary=x"), "");
    EXPECT_EQ(MultipartBoundary("multipart/related; boundary=" + QByteArray(71, 'z')), "");
    for (const auto& row : rows) {
        for (qsizetype piece : {qsizetype{1}, qsizetype{7}, qsizetype{4096}, row.body.size()}) {
            SCOPED_TRACE(std::string(row.scenario) + ", pieces of " + std::to_string(piece));
            const Parsed got = ReadMultipart(row.body, piece);
            EXPECT_EQ(got.error, row.error);
            if (!row.error) {
                EXPECT_EQ(got.parts, row.parts);
            }
        }
    }
}

TEST(DicomJson, StudiesAreReadDefensivelyAndComeNewestFirst) {
    const QByteArray body = R"([
      {"0020000D": {"vr": "UI", "Value": ["1.1"]}, "00080020": {"vr": "DA", "Value": ["20200101"]},
       "00100010": {"vr": "PN", "Value": [{"Alphabetic": "Doe^Jane"}]}, "00201206": {"vr": "IS", "Value": [2]},
       "00201208": {"vr": "IS", "Value": ["17"]}, "00080061": {"vr": "CS", "Value": ["CT", "SR"]}},
      {"0020000D": {"vr": "UI", "Value": ["1.2"]}, "00080020": {"vr": "DA", "Value": ["20230505"]},
       "00201208": {"vr": "IS", "Value": [-4]}, "00081030": {"vr": "LO", "Value": [7]}},
      {"0020000D": {"vr": "UI", "Value": ["1.3"]}, "00080020": {"vr": "DA", "Value": ["2023"]}},
      {"00100010": {"vr": "PN"}}, 17, "text", {"0020000D": "not an attribute"}
    ])";
    QStringList got;
    for (const TStudyRow& r : ParseStudies(body))
        got << QStringLiteral("%1 %2 %3 %4/%5 %6 %7").arg(r.StudyUid, r.PatientName, r.Date.toString(Qt::ISODate))
                   .arg(r.Series).arg(r.Instances).arg(r.Modalities.join('+'), r.Description);
    EXPECT_EQ(got, QStringList({"1.2  2023-05-05 -1/-1  7", "1.1 Doe^Jane 2020-01-01 2/17 CT+SR ", "1.3   -1/-1  "}));
    EXPECT_TRUE(ParseStudies("").empty());
    for (const char* bad : {"{}", "[", "null", "\"x\""}) EXPECT_THROW(ParseStudies(bad), EPacsError) << bad;
}

TEST(DicomJson, SeriesComeByNumberUnnumberedLast) {
    QStringList got;
    for (const TSeriesRow& r : ParseSeries(R"([{"0020000E": {"vr": "UI", "Value": ["2.9"]}},
        {"0020000E": {"vr": "UI", "Value": ["2.2"]}, "00200011": {"vr": "IS", "Value": [12]}, "00080060": {"vr": "CS", "Value": ["MR"]}},
        {"0020000E": {"vr": "UI", "Value": ["2.1"]}, "00200011": {"vr": "IS", "Value": ["3"]}, "00201209": {"vr": "IS", "Value": [30]}},
        {"00200011": {"vr": "IS", "Value": [1]}}, 5])"))
        got << QStringLiteral("%1 %2 %3/%4").arg(r.SeriesUid, r.Modality).arg(r.Number).arg(r.Instances);
    EXPECT_EQ(got, QStringList({"2.1  3/30", "2.2 MR 12/-1", "2.9  -1/-1"}));
}

TEST(Server, SettingsKeepEverythingButThePassword) {
    TPacsServer s;
    s.BaseUrl = QUrl("https://127.0.0.1:8443/dicom-web");
    s.Password = "hunter2";
    s.Node = {"ORTHANC", "127.0.0.1", 4242, "ME", 11112};
    const TPacsServer back = ServerFromJson(ServerToJson(s));
    EXPECT_FALSE(QJsonDocument(ServerToJson(s)).toJson().contains("hunter2"));
    EXPECT_TRUE(back.BaseUrl == s.BaseUrl && back.Password.isEmpty() && back.Node.Port == 4242 && back.Node.OurAeTitle == "ME" &&
                back.Node.OurPort == 11112);
}

void Put(TInstanceCache& cache, const QString& uid, int bytes) {
    auto writer = cache.Begin();
    writer->Write(QByteArray(bytes, 'd').constData(), bytes);
    cache.Commit(std::move(writer), uid);
}

TEST(Cache, EntriesAppearOnlyWholeAndTheLeastRecentlyUsedGoFirst) {
    QTemporaryDir dir;
    {
        TInstanceCache cache(dir.path(), 3000);
        Put(cache, "1.1", 1000);
        Put(cache, "1.2", 1000);
        Put(cache, "1.3", 1000);
        cache.Touch("1.1");
        Put(cache, "1.4", 1000); // evicts 1.2, the least recently used
        EXPECT_TRUE(cache.Contains("1.1") && !cache.Contains("1.2") && !QFile::exists(cache.Path("1.2")));
        EXPECT_EQ(cache.SizeBytes(), 3000);
        // A writer dropped before its commit leaves nothing.
        {
            auto writer = cache.Begin();
            writer->Write("half", 4);
            EXPECT_TRUE(QFile::exists(writer->TemporaryPath()));
        }
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 3);
        // A name from the network is never a path.
        Put(cache, "../../etc/x", 10);
        EXPECT_TRUE(cache.Path("../../etc/x").startsWith(cache.Dir() + "/") && !cache.Path("../../etc/x").contains(".."));
        cache.SetCompleteList("study", {"1.1", "1.4"});
        cache.SetCompleteList("gone", {"1.1", "1.2"});
        EXPECT_TRUE(cache.CompleteList("gone").isEmpty());
    }
    // A temporary left by a crash is removed at the next open; the entries stay.
    ASSERT_TRUE(QFile(dir.filePath("abc123.part")).open(QIODevice::WriteOnly));
    TInstanceCache again(dir.path(), 3000);
    EXPECT_FALSE(QFile::exists(dir.filePath("abc123.part")));
    EXPECT_TRUE(again.Contains("1.1"));
    EXPECT_EQ(again.CompleteList("study"), QStringList({"1.1", "1.4"}));
}

} // namespace
} // namespace kelvo::pacs
