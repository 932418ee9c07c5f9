// Loading the DICOM module: the program's own module is found and used, and a missing or foreign one is a clear error.
#include "imaging/dicom_module.h"
#include "imaging/loader.h"
#include "tests/support/sample_files.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <dlfcn.h>

#include <string>

namespace kelvo::imaging {
namespace {

TEST(DicomModule, TheProgramsModuleIsFoundAndServesTheLoader) {
    const TDicomModule& module = OpenDicomModule(DicomModulePath(), QStringLiteral("ct.dcm"));
    EXPECT_EQ(module.Abi, kDicomModuleAbi);
    // Loaded once: the same table again.
    EXPECT_EQ(&OpenDicomModule(DicomModulePath(), QStringLiteral("ct.dcm")), &module);
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

std::string QtCorePath() {
    Dl_info info{};
    EXPECT_NE(::dladdr(reinterpret_cast<void*>(&QCoreApplication::applicationName), &info), 0);
    return info.dli_fname != nullptr ? info.dli_fname : "";
}

TEST(DicomModule, AMissingOrForeignModuleIsAClearError) {
    QTemporaryDir dir;
    const std::string text = dir.path().toStdString() + "/kelvo_dicom.so";
    QFile f(QString::fromStdString(text));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not a shared object\n");
    f.close();
    // clang-format off
    const struct { std::string path; const char* why; } cases[] = {
        {dir.path().toStdString() + "/missing/kelvo_dicom.so", "No such file"},
        {text,                                                  "kelvo_dicom.so"},
        {QtCorePath(),                                          "not a Kelvo module"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        try {
            (void)OpenDicomModule(c.path, QStringLiteral("ct.dcm"));
            ADD_FAILURE() << "the module was accepted";
        } catch (const EImageError& e) {
            EXPECT_EQ(e.Kind(), TLoadError::Unreadable);
            const std::string m = e.Text().toStdString();
            EXPECT_NE(m.find("\"ct.dcm\""), std::string::npos) << m;
            EXPECT_NE(m.find("the DICOM reader " + c.path), std::string::npos) << m;
            EXPECT_NE(m.find(c.why), std::string::npos) << m;
        }
    }
}

} // namespace
} // namespace kelvo::imaging
