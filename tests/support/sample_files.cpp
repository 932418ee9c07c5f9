// Asks the installed pydicom, rather than guessing a Python version in the path.
#include "sample_files.h"

#include <QProcess>

namespace kelvo::test {

QString PydicomFile(const char* name)
{
    static const QString dir = [] {
        QProcess p;
        p.start(QStringLiteral("/usr/bin/python3"),
                {QStringLiteral("-c"),
                 QStringLiteral("import pydicom.data, os; print(os.path.dirname(pydicom.data.__file__))")});
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
        }
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed() + QStringLiteral("/test_files/");
    }();
    return dir + QLatin1String(name);
}

} // namespace kelvo::test
