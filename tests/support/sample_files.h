// Sample files the tests read: pictures (pydicom's own test files, as Debian's python3-pydicom
// installs them, and palette pictures written with pydicom) and pydicom's and numpy's
// results on them, to check ours against; and files a module loader must refuse.
#pragma once

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

namespace kelvo::test {

// The full path of one of pydicom's test files ("CT_small.dcm", say); pydicom is asked
// once where it keeps them.
QString PydicomFile(const char* name);

// One line "count mean sd min max" per region, from tests/imaging/region_reference.py;
// regions as that script takes them ("rect:10,10;50,30"). Empty on failure.
QStringList NumpyRegionStatistics(const QString& file, const QStringList& regions);

// Writes PALETTE COLOR pictures (plain and segmented tables) into `dir` with pydicom's
// colours for them, by tests/imaging/palette_reference.py: <name>.dcm and <name>.rgb
// (3 bytes a pixel, row by row). The names written; empty on failure.
QStringList PaletteReferences(const QString& dir);

// Files a module loader must refuse, named `fileName` where a name matters: one that
// is missing, one that is not a shared object, and a real shared object (Qt Core)
// without the module's entry point. `why` is a part of the refusal's text.
struct TBadModule {
    std::string Path;
    std::string Why;
};
std::vector<TBadModule> BadModules(const QString& dir, const std::string& fileName);

} // namespace kelvo::test
