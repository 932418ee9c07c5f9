// Which data dictionary DCMTK reads: decided from its headers alone, so the program can choose before the reader is loaded.
#include "imaging/loader.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdict.h>

#include <cstdlib>

namespace kelvo::imaging {

void PreferReaderDictionary() {
    if (std::getenv(DCM_DICT_ENVIRONMENT_VARIABLE) != nullptr) {
        return;
    }
    // An empty file: DCMTK then parses no dictionary (its standard one takes 9 ms), and
    // the reader adds its own entries, compiled in, when it is loaded.
    ::setenv(DCM_DICT_ENVIRONMENT_VARIABLE, "/dev/null", 0);
}

} // namespace kelvo::imaging
