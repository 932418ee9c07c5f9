// The DICOM reader's data dictionary: DCMTK's own entries for the elements the reader looks at, compiled into the module.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdicent.h>

#include <cstddef>
#include <cstdint>

namespace kelvo::imaging {

// One entry, as DCMTK's dictionary parser read it from DCMTK's standard dictionary
// when the module was built (imaging/tools/dictionary_table.cpp).
struct TDictionaryRow {
    uint16_t Group, UpperGroup, Element, UpperElement;
    const char* Vr;
    const char* Name;
    int VmMin, VmMax;
    const char* Version;
    const char* PrivateCreator;
    DcmDictRangeRestriction GroupRestriction, ElementRestriction;
};

extern const TDictionaryRow kReaderDictionary[];
extern const size_t kReaderDictionaryRows;

// Adds to DCMTK's dictionary the rows it does not have: all of them when the program
// has it read no dictionary file (PreferReaderDictionary), none when it read DCMTK's
// standard one. Once per process, before the reader parses its first file.
void AddReaderDictionary();

} // namespace kelvo::imaging
