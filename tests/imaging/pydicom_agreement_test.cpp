// Every DICOM test file that pydicom ships decodes to pydicom's own values, frame by
// frame: stored values as pixel_array gives them, modality values as pydicom's
// modality transform gives them.
#include "imaging/loader.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextStream>

#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace kelvo::imaging {
namespace {

// Read with the program's own data dictionary, as the program reads.
[[maybe_unused]] const bool kReaderDictionary = (PreferReaderDictionary(), true);

constexpr const char* kPython = "/usr/bin/python3";

QString TestFilesDir() {
    QProcess p;
    p.start(QString::fromLatin1(kPython),
            {QStringLiteral("-c"),
             QStringLiteral("import pydicom.data, os; print(os.path.dirname(pydicom.data.__file__))")});
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return QString();
    }
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed() + QStringLiteral("/test_files");
}

template <typename T>
std::vector<T> ReadArray(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = f.readAll();
    std::vector<T> out(size_t(bytes.size()) / sizeof(T));
    std::memcpy(out.data(), bytes.constData(), out.size() * sizeof(T));
    return out;
}

struct Reference {
    QString Name;
    bool Ok = false;
    QString Error;
    int32_t Frames = 0, Rows = 0, Columns = 0, Samples = 0;
    // What the viewer shows of the file: patient, study date, modality, series.
    QStringList Shown;
};

class PydicomAgreement : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new QTemporaryDir();
        files_ = TestFilesDir();
        QProcess p;
        p.start(QString::fromLatin1(kPython),
                {QStringLiteral(KELVO_SOURCE_DIR "/tests/imaging/pydicom_reference.py"), dir_->path()});
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
        }
        QFile manifest(dir_->path() + QStringLiteral("/manifest.tsv"));
        if (!manifest.open(QIODevice::ReadOnly | QIODevice::Text)) {
            return;
        }
        QTextStream in(&manifest);
        while (!in.atEnd()) {
            const QStringList f = in.readLine().split(QLatin1Char('\t'));
            if (f.size() < 2) {
                continue;
            }
            Reference r;
            r.Name = f[0];
            r.Ok = f[1] == QLatin1String("ok");
            if (r.Ok && f.size() >= 6) {
                r.Frames = f[2].toInt();
                r.Rows = f[3].toInt();
                r.Columns = f[4].toInt();
                r.Samples = f[5].toInt();
                r.Shown = f.mid(9);
            } else if (f.size() > 2) {
                r.Error = f[2];
            }
            refs_->push_back(r);
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static inline QTemporaryDir* dir_ = nullptr;
    static inline QString files_;
    static inline std::vector<Reference>* refs_ = new std::vector<Reference>();
};

// Files that pydicom decodes and DCMTK does not, with the refusal expected: one file
// whose data set DCMTK's parser rejects, and one whose JPEG 2000 image size holds a
// sequence delimiter (pydicom's Pillow refuses it as well; GDCM guesses it).
struct Refusal {
    const char* Name;
    TLoadError Kind;
    const char* Says;
};
constexpr Refusal kRefusals[] = {
    {"JPEG2000-embedded-sequence-delimiter.dcm", TLoadError::Corrupt, "tiles"},
    {"SC_rgb_jpeg.dcm", TLoadError::Corrupt, "damaged"},
};

const Refusal* ExpectedRefusal(const QString& name) {
    for (const Refusal& r : kRefusals) {
        if (name == QLatin1String(r.Name)) {
            return &r;
        }
    }
    return nullptr;
}

TEST_F(PydicomAgreement, StoredAndModalityValuesEqualPydicomFrameByFrame) {
    ASSERT_FALSE(refs_->empty()) << "the reference script produced no manifest";
    int compared = 0;
    for (const Reference& r : *refs_) {
        if (!r.Ok) {
            continue;
        }
        SCOPED_TRACE(r.Name.toStdString());
        const QString path = files_ + QLatin1Char('/') + r.Name;
        TPicture p;
        try {
            p = LoadPicture(path);
        } catch (const EImageError& e) {
            if (const Refusal* expected = ExpectedRefusal(r.Name)) {
                EXPECT_EQ(e.Kind(), expected->Kind) << e.what();
                EXPECT_NE(e.Text().indexOf(QLatin1String(expected->Says)), -1) << e.what();
            } else {
                ADD_FAILURE() << "pydicom decodes it, the loader does not: " << e.what();
            }
            continue;
        }
        ASSERT_EQ(p.Frames(), r.Frames);
        ASSERT_EQ(p.Height(), r.Rows);
        ASSERT_EQ(p.Width(), r.Columns);
        ASSERT_EQ(p.SamplesPerPixel(), r.Samples);
        EXPECT_EQ(QStringList({p.PatientName, p.StudyDate, p.Modality, p.SeriesDescription}), r.Shown);
        const auto stored = ReadArray<int64_t>(dir_->path() + QLatin1Char('/') + r.Name + QStringLiteral(".stored"));
        ASSERT_EQ(stored.size(), size_t(r.Frames) * r.Rows * r.Columns * r.Samples);
        const auto modality = ReadArray<double>(dir_->path() + QLatin1Char('/') + r.Name + QStringLiteral(".modality"));
        size_t mismatches = 0;
        size_t i = 0;
        for (int32_t f = 0; f < r.Frames; ++f) {
            for (int32_t y = 0; y < r.Rows; ++y) {
                for (int32_t x = 0; x < r.Columns; ++x) {
                    for (int32_t s = 0; s < r.Samples; ++s, ++i) {
                        if (p.Stored(f, x, y, s) != stored[i] && mismatches++ < 3) {
                            ADD_FAILURE() << "frame " << f << " (" << x << "," << y << ") sample " << s << ": "
                                          << p.Stored(f, x, y, s) << " vs pydicom " << stored[i];
                        }
                        if (r.Samples == 1 && i < modality.size() &&
                            std::abs(p.ModalityValue(f, x, y) - modality[i]) >
                                1e-6 * std::max(1.0, std::abs(modality[i])) &&
                            mismatches++ < 3) {
                            ADD_FAILURE() << "modality at frame " << f << " (" << x << "," << y
                                          << "): " << p.ModalityValue(f, x, y) << " vs pydicom " << modality[i];
                        }
                    }
                }
            }
        }
        EXPECT_EQ(mismatches, 0u);
        ++compared;
    }
    // The set shipped with Debian's pydicom holds about 40 decodable images.
    EXPECT_GE(compared, 30);
}

TEST_F(PydicomAgreement, FilesWithoutAPictureAreRefusedWithAReason) {
    // Where pydicom finds no pixel data, the loader says so too; the truncated MR says
    // that it is truncated.
    int checked = 0;
    for (const Reference& r : *refs_) {
        if (r.Ok) {
            continue;
        }
        const bool noPixels =
            r.Error.contains(QLatin1String("Pixel Data")) || r.Error.contains(QLatin1String("PixelData"));
        const bool truncated = r.Name == QLatin1String("MR_truncated.dcm");
        if (!noPixels && !truncated) {
            continue;
        }
        SCOPED_TRACE(r.Name.toStdString());
        try {
            (void)LoadPicture(files_ + QLatin1Char('/') + r.Name);
            ADD_FAILURE() << "loaded a file pydicom cannot decode: " << r.Error.toStdString();
        } catch (const EImageError& e) {
            if (truncated) {
                EXPECT_EQ(e.Kind(), TLoadError::Truncated) << e.what();
            } else if (r.Name.contains(QLatin1String("truncated"))) {
                // A plan cut off in its header: the parser's own complaint.
                EXPECT_EQ(e.Kind(), TLoadError::Corrupt) << e.what();
            } else {
                EXPECT_TRUE(e.Kind() == TLoadError::NoPixelData || e.Kind() == TLoadError::NotAPicture) << e.what();
            }
        }
        ++checked;
    }
    EXPECT_GE(checked, 8);
}

} // namespace
} // namespace kelvo::imaging
