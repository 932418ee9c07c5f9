// Asks the installed pydicom, rather than guessing a Python version in the path.
#include "sample_files.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <dlfcn.h>

namespace kelvo::test {
namespace {

// What Debian's python3 printed for `args` ("" when it did not finish in time).
QString Python(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), args);
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        return QString();
    }
    return QString::fromUtf8(p.readAllStandardOutput());
}

} // namespace

QString PydicomFile(const char* name) {
    static const QString dir =
        Python({QStringLiteral("-c"),
                QStringLiteral("import pydicom.data, os; print(os.path.dirname(pydicom.data.__file__))")})
            .trimmed() +
        QStringLiteral("/test_files/");
    return dir + QLatin1String(name);
}

QStringList NumpyRegionStatistics(const QString& file, const QStringList& regions) {
    return Python(QStringList{QStringLiteral(KELVO_SOURCE_DIR "/tests/imaging/region_reference.py"), file} + regions)
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList PaletteReferences(const QString& dir) {
    Python({QStringLiteral(KELVO_SOURCE_DIR "/tests/imaging/palette_reference.py"), dir});
    QFile manifest(dir + QStringLiteral("/manifest.txt"));
    if (!manifest.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return {};
    }
    return QString::fromUtf8(manifest.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

std::vector<TBadModule> BadModules(const QString& dir, const std::string& fileName) {
    const std::string text = dir.toStdString() + "/" + fileName;
    QFile f(QString::fromStdString(text));
    if (f.open(QIODevice::WriteOnly)) f.write("not a shared object\n");
    Dl_info qtCore{};
    ::dladdr(reinterpret_cast<void*>(&QCoreApplication::applicationName), &qtCore);
    return {{dir.toStdString() + "/missing/" + fileName, "No such file"},
            {text, fileName},
            {qtCore.dli_fname != nullptr ? qtCore.dli_fname : "", "not a Kelvo module"}};
}

} // namespace kelvo::test
