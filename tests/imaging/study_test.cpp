// Studies from folders and DICOMDIRs: the index's grouping, order and skips, its scan on a worker with
// progress and cancel, bad input, and slices decoded on demand under a memory budget.
#include "imaging/loader.h"
#include "imaging/slice_cache.h"
#include "imaging/study_index.h"
#include "tests/support/application.h"
#include "tests/support/event_loop.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <cmath>
#include <ostream>
#include <map>

// Found by argument-dependent lookup: QString is in the global namespace.
void PrintTo(const QString& s, std::ostream* os) { *os << s.toStdString(); }

namespace kelvo::imaging {

namespace {

// Read with the program's own data dictionary, as the program reads.
[[maybe_unused]] const bool kReaderDictionary = (PreferReaderDictionary(), true);
[[maybe_unused]] ::testing::Environment* const kApp = test::AddApplicationEnvironment(test::AppKind::Core);

// A series of `count` slices (tests/imaging/study_reference.py) in `dir`.
void Generate(const QString& dir, int count, int side, bool extras) {
    QStringList args{QStringLiteral(KELVO_SOURCE_DIR "/tests/imaging/study_reference.py"), dir,
                     QString::number(count), QString::number(side)};
    if (extras) args << QStringLiteral("--extras");
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), args);
    ASSERT_TRUE(p.waitForFinished(120000) && p.exitCode() == 0) << p.readAllStandardError().toStdString();
}

std::map<QString, TSkipReason> Skips(const TStudyIndex& index, const QString& root) {
    std::map<QString, TSkipReason> skips;
    for (const TSkippedFile& s : index.Skipped) skips[QDir(root).relativeFilePath(s.Path)] = s.Reason;
    return skips;
}

// The slices' own values are ten times their z: the order is checked against the files.
void ExpectOrderedByPosition(const TStack& stack) {
    for (size_t i = 0; i < stack.Slices.size(); ++i) {
        const TSlice& s = stack.Slices[i];
        ASSERT_TRUE(s.Position.has_value()) << i;
        EXPECT_TRUE(i == 0 || *s.Position > *stack.Slices[i - 1].Position) << i;
        EXPECT_EQ(LoadPicture(s.File).Stored(0, 0, 0), std::lround(*s.Position * 10)) << s.File.toStdString();
    }
}

TEST(StudyIndex, AFolderIsGroupedOrderedAndItsJunkCounted) {
    QTemporaryDir dir;
    Generate(dir.path(), 12, 64, true);
    const TStudyIndex index = IndexStudy(dir.path());
    EXPECT_EQ(index.Problem, TStudyProblem::None);
    EXPECT_EQ(SummaryText(index), QStringLiteral("19 images in 3 series; 4 files skipped"));
    ASSERT_EQ(index.Patients.size(), 1u);
    EXPECT_EQ(index.Patients[0].Name, QStringLiteral("Test^Study"));
    const TStudy& study = index.Patients[0].Studies.at(0);
    EXPECT_EQ(study.Date, QStringLiteral("20240102"));
    ASSERT_EQ(study.Series.size(), 3u);
    // The slice of another size is a stack of its own beside the twelve.
    const TSeries& ct = study.Series[0];
    EXPECT_EQ(ct.Images, 13);
    ASSERT_EQ(ct.Stacks.size(), 2u);
    EXPECT_EQ(ct.Stacks[1].Rows, 32);
    ExpectOrderedByPosition(ct.Stacks[0]);
    // Without positions, by Instance Number; a multi-frame file gives its frames.
    // clang-format off
    const struct { size_t series; std::vector<int64_t> values; std::vector<int32_t> frames; } orders[] = {
        {1, {10, 20, 30}, {0, 0, 0}},
        {2, {0, 10, 20},  {0, 1, 2}},
    };
    // clang-format on
    for (const auto& o : orders) {
        const std::vector<TSlice>& slices = study.Series[o.series].Stacks.at(0).Slices;
        ASSERT_EQ(slices.size(), o.values.size());
        for (size_t i = 0; i < slices.size(); ++i) {
            EXPECT_EQ(slices[i].Frame, o.frames[i]);
            EXPECT_EQ(FramePicture(LoadPicture(slices[i].File), slices[i].Frame).Stored(0, 0, 0), o.values[i]);
        }
    }
    const std::map<QString, TSkipReason> expected{{"ZDUPLICA", TSkipReason::Duplicate},
                                                  {"EMPTY", TSkipReason::NotDicom},
                                                  {"NOTES.TXT", TSkipReason::NotDicom},
                                                  {"TRUNC", TSkipReason::Damaged}};
    EXPECT_EQ(Skips(index, dir.path()), expected);
}

TEST(StudyIndex, ADicomdirNamesItsFilesAndMissingOnesAreCounted) {
    QTemporaryDir dir;
    Generate(dir.path(), 6, 32, false);
    QProcess mkdir;
    mkdir.setWorkingDirectory(dir.path());
    // DCMTK's tool needs its whole dictionary, not the reader's.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DCMDICTPATH"));
    mkdir.setProcessEnvironment(env);
    mkdir.start(QStringLiteral("dcmmkdir"), {QStringLiteral("+r"), QStringLiteral("-I")});
    ASSERT_TRUE(mkdir.waitForFinished(60000) && mkdir.exitCode() == 0) << mkdir.readAllStandardError().toStdString();
    ASSERT_TRUE(QFile::remove(dir.filePath(QStringLiteral("IM000003"))));
    const TStudyIndex index = IndexStudy(dir.filePath(QStringLiteral("DICOMDIR")));
    EXPECT_EQ(SummaryText(index), QStringLiteral("5 images in 1 series; 1 file skipped"));
    EXPECT_EQ(Skips(index, dir.path()), (std::map<QString, TSkipReason>{{"IM000003", TSkipReason::Missing}}));
    ExpectOrderedByPosition(index.FirstSeries()->Stacks.at(0));
}

TEST(StudyIndex, BadInputIsAClearMessageOrACountedSkip) {
    QTemporaryDir dir;
    const QString root = dir.path();
    // clang-format off
    const struct { const char* name; std::function<void(const QString&)> make; TStudyProblem problem;
                   std::map<QString, TSkipReason> skips; } cases[] = {
        {"missing", [](const QString&) {}, TStudyProblem::Missing, {}},
        {"empty", [](const QString& d) { QDir().mkpath(d); }, TStudyProblem::Empty, {}},
        {"junk only", [](const QString& d) { QDir().mkpath(d); QFile f(d + "/a.txt"); f.open(QIODevice::WriteOnly); f.write("x"); },
         TStudyProblem::NoImages, {{"a.txt", TSkipReason::NotDicom}}},
        {"fifo, loop, dangling link, too deep", [](const QString& d) {
             QDir().mkpath(d + "/1/2/3");
             mkfifo(QFile::encodeName(d + "/pipe").constData(), 0600);
             QFile::link(d, d + "/1/up");
             QFile::link(d + "/nowhere", d + "/dangling"); },
         TStudyProblem::NoImages, {{"pipe", TSkipReason::NotRegular}, {"1/up", TSkipReason::LinkLoop},
                                   {"dangling", TSkipReason::BrokenLink}, {"1/2/3", TSkipReason::TooDeep}}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = root + QLatin1Char('/') + QLatin1String(c.name);
        c.make(path);
        const TStudyIndex index = IndexStudy(path, TIndexOptions{2, 64});
        EXPECT_EQ(index.Problem, c.problem);
        EXPECT_TRUE(index.ProblemText.contains(path)) << index.ProblemText.toStdString();
        EXPECT_EQ(Skips(index, path), c.skips);
    }
}

TEST(StudyScan, ReportsSnapshotsOnItsOwnThreadAndStopsWhenCancelled) {
    QTemporaryDir dir;
    Generate(dir.path(), 40, 16, false);
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "to the end");
        TStudyScan scan;
        int32_t snapshots = 0;
        std::optional<TStudyIndex> done;
        scan.OnSnapshot = [&](const TStudyIndex& s) { snapshots += s.FirstSeries() != nullptr; };
        scan.OnProgress = [&](const TIndexProgress& p) { EXPECT_EQ(p.Total, 40); };
        scan.OnFinished = [&](const TStudyIndex& i) { done = i; };
        scan.Start(dir.path(), TIndexOptions{32, 10});
        if (cancel) scan.Cancel();
        ASSERT_TRUE(test::SpinUntil([&] { return done.has_value(); }, 60000));
        EXPECT_EQ(done->Problem, cancel ? TStudyProblem::Cancelled : TStudyProblem::None);
        EXPECT_EQ(done->ImageCount() < 40, cancel);
        EXPECT_TRUE(cancel || snapshots > 0);
    }
    // Where a cancel lands: the files read before it are kept.
    std::atomic<bool> stop{false};
    const TStudyIndex part = IndexStudy(dir.path(), {}, &stop, [&](const TIndexProgress& p) { stop = p.Done == 10; });
    EXPECT_EQ(part.Problem, TStudyProblem::Cancelled);
    EXPECT_EQ(part.ImageCount(), 10);
}

TEST(SliceCache, DecodesOnAWorkerAndKeepsWithinItsBudget) {
    QTemporaryDir dir;
    Generate(dir.path(), 20, 64, false);
    const TStack stack = IndexStudy(dir.path()).FirstSeries()->Stacks.at(0);
    const uint64_t slice = 64 * 64 * 2;
    TSliceCache cache(stack, 3 * slice);
    std::map<int32_t, int64_t> ready;
    cache.OnSliceReady = [&](int32_t i, const TSliceCache::TSlicePicture& p) { ready[i] = p->Stored(0, 0, 0); };
    for (int32_t i = 0; i < cache.Count(); ++i) {
        ASSERT_TRUE(cache.Request(i) || test::SpinUntil([&] { return ready.count(i) != 0; }, 30000)) << i;
        EXPECT_EQ(cache.Request(i)->Stored(0, 0, 0), std::lround(*stack.Slices[size_t(i)].Position * 10)) << i;
        EXPECT_LE(cache.HeldCount(), 3);
    }
    EXPECT_EQ(cache.PeakBytes(), 3 * slice);
    cache.SetBudget(slice);
    EXPECT_EQ(cache.HeldBytes(), slice);
    EXPECT_EQ(cache.Decode(0)->Stored(0, 0, 0), std::lround(*stack.Slices[0].Position * 10));
}

} // namespace
} // namespace kelvo::imaging
