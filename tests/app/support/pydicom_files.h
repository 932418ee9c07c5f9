// Paths of the DICOM test files that Debian's pydicom ships, and numpy's statistics of regions on them.
#pragma once

#include <QString>
#include <QStringList>

namespace kelvo::testing {

// The test file's path (pydicom's data folder found through /usr/bin/python3).
QString PydicomFile(const char* name);

// One line "count mean sd min max" per region, from tests/imaging/region_reference.py;
// regions as that script takes them ("rect:10,10;50,30"). Empty on failure.
QStringList NumpyRegionStatistics(const QString& file, const QStringList& regions);

} // namespace kelvo::testing
