// Retrieving a 500-slice series over WADO-RS from a private Orthanc on 127.0.0.1 into a fresh instance cache, beside curl fetching the same multipart answer to a file.
#include "pacs/dicomweb.h"
#include "pacs/instance_cache.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

namespace {

constexpr int kSlices = 500;

// Orthanc (scripts/orthanc-test-instance) holding kSlices copies of pydicom's CT_small.dcm
// as one series, each with its own SOP Instance UID; made once for both benchmarks.
struct Pacs {
    QProcess orthanc;
    QString root, series;
    QString study = QStringLiteral("1.2.826.0.1.3680043.8.498.1");

    Pacs() {
        orthanc.start("/usr/bin/python3", {KELVO_SOURCE_DIR "/scripts/orthanc-test-instance"});
        QByteArray out;
        while (!out.contains("DICOM ") && orthanc.waitForReadyRead(60000)) out += orthanc.readAllStandardOutput();
        const int at = out.indexOf("HTTP ");
        root = QStringLiteral("http://127.0.0.1:%1/dicom-web/").arg(out.mid(at + 5, out.indexOf('\n', at) - at - 5).toInt());
        // The slices are written and sent by pydicom and urllib: setting them up is no part of the figures.
        const char* upload = R"PY(
import io, sys, urllib.request
from pydicom import dcmread
from pydicom.data import get_testdata_file
from pydicom.uid import generate_uid
base, study = sys.argv[1], sys.argv[2]
ds = dcmread(get_testdata_file("CT_small.dcm"))
ds.StudyInstanceUID, ds.SeriesInstanceUID = study, generate_uid()
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
for i in range(int(sys.argv[3])):
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = generate_uid()
    ds.InstanceNumber = i + 1
    buf = io.BytesIO(); ds.save_as(buf)
    opener.open(urllib.request.Request(base + "/instances", data=buf.getvalue(), method="POST")).read()
print(ds.SeriesInstanceUID)
)PY";
        QProcess py;
        py.start("/usr/bin/python3", {"-c", upload, root.section("/dicom-web", 0, 0), study, QString::number(kSlices)});
        py.waitForFinished(600000);
        series = QString::fromLatin1(py.readAllStandardOutput()).trimmed();
    }
    ~Pacs() {
        orthanc.closeWriteChannel();
        orthanc.waitForFinished(20000);
    }
    QString SeriesUrl() const { return root + "studies/" + study + "/series/" + series; }
};

Pacs& Server() {
    static Pacs pacs;
    return pacs;
}

void BM_CurlMultipart(benchmark::State& state) {
    Pacs& pacs = Server();
    QTemporaryDir dir;
    for (auto _ : state) {
        QProcess curl;
        curl.start("curl", {"-s", "--noproxy", "*", "-o", dir.filePath("answer"), "-H",
                            R"(Accept: multipart/related; type="application/dicom"; transfer-syntax=*)", pacs.SeriesUrl()});
        curl.waitForFinished(600000);
        if (curl.exitCode() != 0) state.SkipWithError("curl failed");
    }
    state.counters["MiB"] = QFileInfo(dir.filePath("answer")).size() / 1048576.0;
}
BENCHMARK(BM_CurlMultipart)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_KelvoRetrieve(benchmark::State& state) {
    Pacs& pacs = Server();
    kelvo::pacs::TPacsServer server;
    server.BaseUrl = QUrl(pacs.root);
    int instances = 0;
    std::unique_ptr<QTemporaryDir> dir;
    for (auto _ : state) {
        state.PauseTiming();
        // The last run's 500 files are removed here, outside the figure: curl's answer
        // is not removed between its runs either.
        dir = std::make_unique<QTemporaryDir>();
        kelvo::pacs::TInstanceCache cache(dir->path(), int64_t{1} << 32);
        kelvo::pacs::TDicomWebClient client(server, &cache);
        state.ResumeTiming();
        auto* job = client.Retrieve(pacs.study, pacs.series);
        QEventLoop loop;
        instances = 0;
        job->OnInstance = [&instances](const kelvo::pacs::TRetrievedInstance&) { ++instances; };
        job->OnDone = [&loop, &state](const kelvo::pacs::TPacsStatus& s) {
            if (!s.Ok()) state.SkipWithError(s.Text.toStdString().c_str());
            loop.quit();
        };
        job->Start();
        loop.exec();
    }
    state.counters["instances"] = instances;
}
BENCHMARK(BM_KelvoRetrieve)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
