// Pictures from files: opening a file to its first frame as a whole process beside
// DCMTK's dcm2pnm writing the same picture to PNG, a 500-frame file's first frame
// beside a one-frame file's, loading a 4096 x 4096 CT beside pydicom and a memcpy,
// loading a lossless JPEG 2000 CT
// beside OpenJPEG's opj_decompress, one window/level re-render of a
// 2048 x 2048 CT, and the peak memory of a 4096 x 4096 picture at several zooms and
// of loading it alone.
#include "app/main_window.h"
#include "app/view_controls.h"
#include "canvas/view_navigation.h"
#include "bench/support/first_frame.h"
#include "imaging/loader.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using namespace kelvo::bench;

const char* const kChildFlag = "--child=";
// Made on first use: the children, timed from their start, never need it.
QString ScratchPath() {
    static QTemporaryDir dir;
    return dir.path();
}

QString PydicomFile(const char* name) {
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"),
             QStringLiteral("import pydicom.data, os; print(os.path.dirname(pydicom.data.__file__))")});
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed() + QStringLiteral("/test_files/") +
           QLatin1String(name);
}

// A CT of side x side 16-bit values (a body of +1000 in air of -1000, with noise) in
// `frames` frames (each its own noise), written once by pydicom: linking DCMTK here would put its libraries into every
// child this program starts, and the child stands for the program, which loads them
// only with its first DICOM file.
QString GeneratedCt(int side, int frames = 1) {
    const QString path = ScratchPath() + QStringLiteral("/ct%1x%2.dcm").arg(side).arg(frames);
    if (QFile::exists(path)) return path;
    static const char* const script = R"(
import sys, numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, CTImageStorage
path, side, frames = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
meta = FileMetaDataset()
meta.MediaStorageSOPClassUID = CTImageStorage
meta.MediaStorageSOPInstanceUID = "1.2.826.0.1.3680043.9.7433.1.1"
meta.TransferSyntaxUID = ExplicitVRLittleEndian
ds = Dataset()
ds.file_meta = meta
ds.is_little_endian, ds.is_implicit_VR = True, False
ds.SOPClassUID, ds.SOPInstanceUID, ds.Modality = CTImageStorage, meta.MediaStorageSOPInstanceUID, "CT"
ds.Rows = ds.Columns = side
ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 1
ds.RescaleIntercept, ds.RescaleSlope, ds.WindowCenter, ds.WindowWidth = "0", "1", "40", "400"
ds.PixelSpacing = ["0.3", "0.3"]
y, x = np.mgrid[0:side, 0:side] - side // 2
body = np.where(x * x + y * y < side * side // 5, 1000, -1000)
noise = np.random.default_rng(12345).integers(-100, 100, (frames, side, side))
if frames > 1:
    ds.NumberOfFrames = frames
ds.PixelData = (body + noise).astype("<i2").tobytes()
ds.save_as(path, write_like_original=False)
)";
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"), QString::fromLatin1(script), path, QString::number(side), QString::number(frames)});
    if (!p.waitForFinished(120000) || p.exitCode() != 0) return QString();
    return path;
}

// The CT of GeneratedCt as one lossless JPEG 2000 codestream (opj_compress, its
// defaults), and a DICOM file holding that codestream as its one fragment.
struct TJ2kCt {
    QString Codestream;
    QString Dicom;
};
TJ2kCt GeneratedJ2kCt(int side) {
    const TJ2kCt out{ScratchPath() + QStringLiteral("/ct%1.j2k").arg(side),
                     ScratchPath() + QStringLiteral("/ct%1_j2k.dcm").arg(side)};
    if (QFile::exists(out.Dicom)) return out;
    const QString ct = GeneratedCt(side);
    static const char* const script = R"(
import subprocess, sys, pydicom
from pydicom.encaps import encapsulate
from pydicom.uid import JPEG2000Lossless
ct, j2k, path = sys.argv[1:4]
ds = pydicom.dcmread(ct)
raw = j2k[:-4] + ".rawl"
with open(raw, "wb") as f:
    f.write(ds.PixelData)
subprocess.run(["opj_compress", "-i", raw, "-o", j2k, "-F", "%d,%d,1,16,s" % (ds.Columns, ds.Rows)],
               check=True, stdout=subprocess.DEVNULL)
with open(j2k, "rb") as f:
    ds.PixelData = encapsulate([f.read()])
ds["PixelData"].is_undefined_length = True
ds.file_meta.TransferSyntaxUID = JPEG2000Lossless
ds.save_as(path, write_like_original=False)
)";
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"), QString::fromLatin1(script), ct, out.Codestream, out.Dicom});
    if (ct.isEmpty() || !p.waitForFinished(120000) || p.exitCode() != 0) return {};
    return out;
}

// The peak resident memory of this process image (VmHWM). Not getrusage's ru_maxrss:
// that survives exec, so a child would start at the parent's peak at fork.
long PeakKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text)) return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Children, by the request after the flag:
//   open:PATH        the program's own start-up with the file, to its first frame;
//   show:PATH|ZOOM   a main window set to the zoom opens the file and shows it, then
//                    prints its peak resident memory before and after (KiB) and the zoom;
//   load:PATH        only the loader: peak resident memory before and after loading.
int RunChild(const char* arg, int argc, char** argv) {
    const QString request = QString::fromLocal8Bit(arg);
    const QString mode = request.section(QLatin1Char(':'), 0, 0);
    const QString rest = request.section(QLatin1Char(':'), 1);
    if (mode == QLatin1String("open")) return RunProgramToFirstFrame(rest, argc, argv);
    const QString path = rest.section(QLatin1Char('|'), 0, 0);
    if (mode == QLatin1String("load")) {
        const long before = PeakKiB();
        const kelvo::imaging::TPicture p = kelvo::imaging::LoadPicture(path);
        std::printf("loaded %ld %ld %zu\n", before, PeakKiB(), p.DataBytes());
        return EXIT_SUCCESS;
    }
    QApplication app(argc, argv);
    kelvo::TForm1 form;
    form.ShowError = [](const QString& m) { std::fprintf(stderr, "%s\n", qPrintable(m)); };
    const long before = PeakKiB();
    // Opened fitted, then zoomed as the wheel does it: beyond 4x only the view's
    // gestures reach on this picture.
    if (!form.OpenFile(path)) return EXIT_FAILURE;
    form.ViewControls->Navigation->ZoomAbout(rest.section(QLatin1Char('|'), 1, 1).toDouble(), QPoint());
    ShowAndWaitForFirstFrame(form, *form.MyCAD1);
    std::printf("painted %ld %ld %g\n", before, PeakKiB(), form.MyCAD1->Zoom());
    std::fflush(stdout);
    return EXIT_SUCCESS;
}

QStringList ChildArgs(const QString& request) { return {QString::fromLatin1(kChildFlag) + request}; }

// The program opening the file, from starting the process to the first line it prints
// (its report of the first frame with the picture), as the start-up benchmarks time
// theirs; what the child does after that (leaving the loop, tearing the windows down) is
// not part of opening the file. In turns with dcm2pnm writing the same picture to PNG.
void OpenBesideDcm2pnm(benchmark::State& state, const QString& path) {
    if (path.isEmpty()) {
        state.SkipWithError("no picture to open");
        return;
    }
    RunInTurns(state, {SelfPath(), ChildArgs(QStringLiteral("open:") + path), TUntil::FirstLine, "painted"},
               {QStringLiteral("/usr/bin/dcm2pnm"),
                {QStringLiteral("+on"), path, ScratchPath() + QStringLiteral("/out.png")},
                TUntil::Exit,
                {}});
}

void BM_OpenCtSmallBesideDcm2pnm(benchmark::State& state) { OpenBesideDcm2pnm(state, PydicomFile("CT_small.dcm")); }
BENCHMARK(BM_OpenCtSmallBesideDcm2pnm)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(31);
void BM_OpenCt2048BesideDcm2pnm(benchmark::State& state) { OpenBesideDcm2pnm(state, GeneratedCt(2048)); }
BENCHMARK(BM_OpenCt2048BesideDcm2pnm)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(11);

// The first frame of a 500-frame 512 x 512 CT (uncompressed), from starting the
// program to its report of that frame, in turns with the same for a one-frame file.
void BM_OpenFrames500BesideOneFrame(benchmark::State& state) {
    const QString many = GeneratedCt(512, 500);
    const QString one = GeneratedCt(512);
    if (many.isEmpty() || one.isEmpty()) {
        state.SkipWithError("no pictures (pydicom writes them)");
        return;
    }
    RunInTurns(state, {SelfPath(), ChildArgs(QStringLiteral("open:") + many), TUntil::FirstLine, "painted"},
               {SelfPath(), ChildArgs(QStringLiteral("open:") + one), TUntil::FirstLine, "painted"});
}
BENCHMARK(BM_OpenFrames500BesideOneFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(11);

// A CT of GeneratedCt compressed losslessly by DCMTK's own tool (dcmcjpls, dcmcjpeg: lossless by default).
QString CompressedCt(int frames, const QStringList& tool) {
    const QString plain = GeneratedCt(512, frames);
    const QString path = plain.chopped(4) + QLatin1Char('_') + tool[0] + QStringLiteral(".dcm");
    if (plain.isEmpty() || QFile::exists(path)) return plain.isEmpty() ? QString() : path;
    QProcess compress; // with DCMTK's dictionary, not the empty one the loader names
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DCMDICTPATH"));
    compress.setProcessEnvironment(environment);
    compress.start(tool[0], tool.mid(1) << plain << path);
    return compress.waitForFinished(600000) && compress.exitCode() == 0 ? path : QString();
}

// As BM_OpenFrames500BesideOneFrame, both files compressed: the first frame is decoded
// on its own, the others after it is shown.
void OpenCompressedFrames500BesideOneFrame(benchmark::State& state, const QStringList& tool) {
    const QString many = CompressedCt(500, tool);
    const QString one = CompressedCt(1, tool);
    if (many.isEmpty() || one.isEmpty()) {
        state.SkipWithError("no pictures (pydicom and DCMTK's tools write them)");
        return;
    }
    RunInTurns(state, {SelfPath(), ChildArgs(QStringLiteral("open:") + many), TUntil::FirstLine, "painted"},
               {SelfPath(), ChildArgs(QStringLiteral("open:") + one), TUntil::FirstLine, "painted"});
}
void BM_OpenJpegLsFrames500BesideOneFrame(benchmark::State& state) {
    OpenCompressedFrames500BesideOneFrame(state, {QStringLiteral("dcmcjpls")});
}
BENCHMARK(BM_OpenJpegLsFrames500BesideOneFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(11);
void BM_OpenJpegLosslessFrames500BesideOneFrame(benchmark::State& state) {
    OpenCompressedFrames500BesideOneFrame(state, {QStringLiteral("dcmcjpeg")});
}
BENCHMARK(BM_OpenJpegLosslessFrames500BesideOneFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(11);

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// Loading a 4096 x 4096 16-bit uncompressed CT into memory (values and range), in
// turns with pydicom + numpy doing the same (dcmread, pixel_array, the modality
// rescale, its smallest and largest value; timed inside a Python process that stays,
// so that its start is not counted) and with a memcpy of the pixel bytes into fresh
// pages. The file is in the page cache for all three.
void BM_Load4096BesidePydicomAndMemcpy(benchmark::State& state) {
    const QString path = GeneratedCt(4096);
    static const char* const script = R"(
import sys, time, pydicom
try:
    from pydicom.pixels import apply_modality_lut
except ImportError:
    from pydicom.pixel_data_handlers.util import apply_modality_lut
for line in sys.stdin:
    t = time.perf_counter()
    ds = pydicom.dcmread(sys.argv[1])
    a = apply_modality_lut(ds.pixel_array, ds)
    lo, hi = a.min(), a.max()
    print(time.perf_counter() - t, flush=True)
)";
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromLatin1(script), path});
    QFile file(path);
    if (path.isEmpty() || !python.waitForStarted() || !file.open(QIODevice::ReadOnly)) {
        state.SkipWithError("no picture or no pydicom");
        return;
    }
    const QByteArray bytes = file.readAll();
    const size_t n = size_t(4096) * 4096 * 2;
    const char* pixels = bytes.constData() + (bytes.size() - qsizetype(n));
    using Clock = std::chrono::steady_clock;
    std::vector<double> kelvo, pydicom, copy, toPydicom, toCopy;
    for (auto _ : state) {
        auto start = Clock::now();
        {
            const kelvo::imaging::TPicture p = kelvo::imaging::LoadPicture(path);
            kelvo.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            benchmark::DoNotOptimize(p.MinValue());
        }
        python.write("go\n");
        if (!python.waitForReadyRead(60000)) {
            state.SkipWithError("pydicom did not answer");
            return;
        }
        pydicom.push_back(python.readLine().trimmed().toDouble());
        start = Clock::now();
        void* fresh = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        std::memcpy(fresh, pixels, n);
        benchmark::DoNotOptimize(fresh);
        copy.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        ::munmap(fresh, n);
        state.SetIterationTime(kelvo.back());
        toPydicom.push_back(kelvo.back() / pydicom.back());
        toCopy.push_back(kelvo.back() / copy.back());
    }
    python.closeWriteChannel();
    python.waitForFinished();
    state.counters["kelvo_ms"] = Median(kelvo) * 1000.0;
    state.counters["pydicom_ms"] = Median(pydicom) * 1000.0;
    state.counters["memcpy_ms"] = Median(copy) * 1000.0;
    state.counters["ratio_pydicom"] = Median(toPydicom);
    state.counters["ratio_memcpy"] = Median(toCopy);
    state.counters["kelvo_MBps"] = double(n) / Median(kelvo) / 1e6;
}
BENCHMARK(BM_Load4096BesidePydicomAndMemcpy)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(15);

// Loading a 2048 x 2048 16-bit lossless JPEG 2000 CT (the loader alone, as a process)
// in turns with opj_decompress decoding the same codestream to raw values.
void BM_LoadJ2k2048BesideOpjDecompress(benchmark::State& state) {
    const TJ2kCt ct = GeneratedJ2kCt(2048);
    if (ct.Dicom.isEmpty()) {
        state.SkipWithError("no JPEG 2000 picture (opj_compress and pydicom write it)");
        return;
    }
    RunInTurns(state, {SelfPath(), ChildArgs(QStringLiteral("load:") + ct.Dicom), TUntil::Exit, "loaded"},
               {QStringLiteral("opj_decompress"),
                {QStringLiteral("-quiet"), QStringLiteral("-i"), ct.Codestream, QStringLiteral("-o"),
                 ScratchPath() + QStringLiteral("/out.rawl")},
                TUntil::Exit,
                {}});
}
BENCHMARK(BM_LoadJ2k2048BesideOpjDecompress)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(11);

// One re-render of the whole 2048 x 2048 picture for a new window.
void BM_WindowRender2048(benchmark::State& state) {
    const kelvo::imaging::TPicture p = kelvo::imaging::LoadPicture(GeneratedCt(2048));
    QImage target(p.Width(), p.Height(), QImage::Format_RGB32);
    double centre = 40;
    for (auto _ : state) {
        centre = centre > 400 ? 40 : centre + 7;
        p.RenderInto(target, 0, kelvo::imaging::TWindow{centre, 400}, 0, 0, p.Width(), p.Height());
        benchmark::DoNotOptimize(target.constBits());
    }
}
BENCHMARK(BM_WindowRender2048)->Unit(benchmark::kMillisecond);

// A window step as the right drag makes it, in the canvas at zoom 1 of the shown
// main window (at its own size, or filling a 1280 x 1024 screen), to the rendered
// image of the visible area.
void BM_CanvasWindowStep2048(benchmark::State& state) {
    kelvo::TForm1 form;
    form.OpenFile(GeneratedCt(2048));
    if (state.range(0) != 0) form.resize(1280, 1024);
    form.show();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    double centre = 40;
    for (auto _ : state) {
        centre = centre > 400 ? 40 : centre + 7;
        form.MyCAD1->SetWindow(kelvo::imaging::TWindow{centre, 400});
        form.MyCAD1->Paint();
    }
    state.counters["visible_px"] = double(form.MyCAD1->ImageRect().width()) * form.MyCAD1->ImageRect().height();
}
BENCHMARK(BM_CanvasWindowStep2048)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Peak resident memory of a process showing a 4096 x 4096 16-bit picture at a zoom,
// over its decoded size (32 MiB).
void BM_PeakMemory4096(benchmark::State& state) {
    const QString path = GeneratedCt(4096);
    const QString zoom = QString::number(state.range(0));
    for (auto _ : state) {
        QByteArray out;
        const double s = TimeProcess(SelfPath(), ChildArgs(QStringLiteral("show:") + path + QLatin1Char('|') + zoom),
                                     TUntil::Exit, &out);
        const QList<QByteArray> f = out.trimmed().split(' ');
        if (s < 0 || f.size() < 4) {
            state.SkipWithError("the child did not show the picture");
            return;
        }
        state.SetIterationTime(s);
        const double decodedKiB = 4096.0 * 4096.0 * 2.0 / 1024.0;
        // Above the process's own peak before the file was opened, and the whole process.
        state.counters["peak_over_decoded"] = (f[2].toDouble() - f[1].toDouble()) / decodedKiB;
        state.counters["process_peak_over_decoded"] = f[2].toDouble() / decodedKiB;
        state.counters["baseline_MiB"] = f[1].toDouble() / 1024.0;
        state.counters["zoom_shown"] = f[3].toDouble();
    }
}
BENCHMARK(BM_PeakMemory4096)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(32)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// The loader's share of that: peak resident memory of loading the 4096 x 4096 picture
// alone, over its decoded size.
void BM_PeakMemoryLoad4096(benchmark::State& state) {
    const QString path = GeneratedCt(4096);
    for (auto _ : state) {
        QByteArray out;
        const double s = TimeProcess(SelfPath(), ChildArgs(QStringLiteral("load:") + path), TUntil::Exit, &out);
        const QList<QByteArray> f = out.trimmed().split(' ');
        if (s < 0 || f.size() < 4) {
            state.SkipWithError("the child did not load the picture");
            return;
        }
        state.SetIterationTime(s);
        state.counters["peak_over_decoded"] = (f[2].toDouble() - f[1].toDouble()) * 1024.0 / f[3].toDouble();
    }
}
BENCHMARK(BM_PeakMemoryLoad4096)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv) { return BenchMain(argc, argv, kChildFlag, RunChild); }
