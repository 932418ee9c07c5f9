// Sample pictures the tests read (pydicom's own test files, as Debian's python3-pydicom
// installs them) and numpy's statistics of regions on them, to check ours against.
#pragma once

#include <QString>
#include <QStringList>

namespace kelvo::test {

// The full path of one of pydicom's test files ("CT_small.dcm", say); pydicom is asked
// once where it keeps them.
QString PydicomFile(const char* name);

// One line "count mean sd min max" per region, from tests/imaging/region_reference.py;
// regions as that script takes them ("rect:10,10;50,30"). Empty on failure.
QStringList NumpyRegionStatistics(const QString& file, const QStringList& regions);

} // namespace kelvo::test
