// Sample pictures the tests read: pydicom's own test files, as Debian's python3-pydicom installs them.
#pragma once

#include <QString>

namespace kelvo::test {

// The full path of one of pydicom's test files ("CT_small.dcm", say); pydicom is asked
// once where it keeps them.
QString PydicomFile(const char* name);

} // namespace kelvo::test
