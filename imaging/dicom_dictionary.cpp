// Which data dictionary DCMTK reads: decided from its headers alone, so the program can choose before the reader is loaded.
#include "imaging/loader.h"

#include "platform/module.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdict.h>

#include <QFileInfo>

#include <cstdlib>
#include <string>

namespace kelvo::imaging {

void PreferReaderDictionary() {
    if (std::getenv(DCM_DICT_ENVIRONMENT_VARIABLE) != nullptr) {
        return;
    }
    const std::string own = ModulePath("kelvo_dicom.dic");
    if (QFileInfo::exists(QString::fromLocal8Bit(own.c_str()))) {
        ::setenv(DCM_DICT_ENVIRONMENT_VARIABLE, own.c_str(), 0);
        return;
    }
    // Without it, the standard dictionary, which the built-in default lists first.
    const std::string defaults = DCM_DICT_DEFAULT_PATH;
    const std::string standard = defaults.substr(0, defaults.find(ENVIRONMENT_PATH_SEPARATOR));
    if (!standard.empty() && QFileInfo::exists(QString::fromLocal8Bit(standard.c_str()))) {
        ::setenv(DCM_DICT_ENVIRONMENT_VARIABLE, standard.c_str(), 0);
    }
}

} // namespace kelvo::imaging
