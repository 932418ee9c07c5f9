// Loading the DICOM module: the program's own module is found and used, and a missing or foreign one is a clear error.
#include "imaging/dicom_module.h"
#include "imaging/loader.h"
#include "platform/module.h"
#include "tests/support/sample_files.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <string>
#include <vector>

namespace kelvo::imaging {
namespace {

TEST(DicomModule, TheProgramsModuleIsFoundAndServesTheLoader) {
    const TDicomModule& module = OpenDicomModule(DicomModulePath(), QStringLiteral("ct.dcm"));
    EXPECT_EQ(module.Abi, kDicomModuleAbi);
    // Loaded once: the same table again.
    EXPECT_EQ(&OpenDicomModule(DicomModulePath(), QStringLiteral("ct.dcm")), &module);
    // With the reader's own data dictionary, which the module carries: DCMTK reads none.
    PreferReaderDictionary();
    EXPECT_STREQ(std::getenv("DCMDICTPATH"), "/dev/null");
    const TPicture p = LoadPicture(test::PydicomFile("CT_small.dcm"));
    EXPECT_EQ(p.Width(), 128);
    // The module's refusals arrive as the loader's own errors.
    const QByteArray notDicom(200, 'x');
    try {
        (void)LoadDicomBytes(reinterpret_cast<const uint8_t*>(notDicom.constData()), size_t(notDicom.size()),
                             QStringLiteral("junk.dcm"));
        ADD_FAILURE() << "junk was read as DICOM";
    } catch (const EImageError& e) {
        EXPECT_TRUE(e.Text().contains(QLatin1String("junk.dcm"))) << e.Text().toStdString();
    }
}

// The decoders of compressed files come from a module beside the reader's own, loaded
// with the first compressed file; a reader without them still reads the rest.
TEST(DicomModule, CompressedFilesNeedTheDecodersBesideTheReader) {
    QTemporaryDir dir;
    const QString lone = dir.path() + QStringLiteral("/kelvo_dicom.so");
    ASSERT_TRUE(QFile::copy(QString::fromStdString(DicomModulePath()), lone));
    const TDicomModule& reader = OpenDicomModule(lone.toStdString(), QStringLiteral("ct.dcm"));
    ASSERT_NE(&reader, &OpenDicomModule(DicomModulePath(), QStringLiteral("ct.dcm")));
    // clang-format off
    const struct { const char* file; bool compressed; } cases[] = {
        {"CT_small.dcm",                  false},
        {"SC_rgb_jpeg_dcmtk.dcm",         true},
        {"MR_small_jpeg_ls_lossless.dcm", true},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const QString path = test::PydicomFile(c.file);
        const TDicomResult alone = reader.LoadFile(path, QString::fromLatin1(c.file), {});
        EXPECT_EQ(alone.Failed, c.compressed);
        if (c.compressed) {
            EXPECT_EQ(alone.Kind, TLoadError::UnsupportedSyntax);
            const std::string m = alone.Text.toStdString();
            EXPECT_NE(m.find("the decoders " + dir.path().toStdString() + "/kelvo_dicom_codecs.so cannot be used"),
                      std::string::npos)
                << m;
        }
        // The program's reader has its decoders.
        const TPicture p = LoadPicture(path);
        EXPECT_GT(p.Width(), 0);
    }
}

TEST(DicomModule, AMissingOrForeignModuleIsAClearError) {
    QTemporaryDir dir;
    const std::vector<test::TBadModule> cases = test::BadModules(dir.path(), "kelvo_dicom.so");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        try {
            (void)OpenDicomModule(c.Path, QStringLiteral("ct.dcm"));
            ADD_FAILURE() << "the module was accepted";
        } catch (const EImageError& e) {
            EXPECT_EQ(e.Kind(), TLoadError::Unreadable);
            const std::string m = e.Text().toStdString();
            EXPECT_NE(m.find("\"ct.dcm\""), std::string::npos) << m;
            EXPECT_NE(m.find("the DICOM reader " + c.Path), std::string::npos) << m;
            EXPECT_NE(m.find(c.Why), std::string::npos) << m;
        }
    }
}

} // namespace
} // namespace kelvo::imaging
