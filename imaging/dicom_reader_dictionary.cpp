// Adding the reader's compiled-in entries to DCMTK's data dictionary.
#include "imaging/dicom_reader_dictionary.h"

#include <dcmtk/dcmdata/dcdict.h>

#include <mutex>

namespace kelvo::imaging {

void AddReaderDictionary() {
    static std::once_flag once;
    std::call_once(once, [] {
        DcmDataDictionary& dictionary = dcmDataDict.wrlock();
        for (size_t i = 0; i < kReaderDictionaryRows; ++i) {
            const TDictionaryRow& r = kReaderDictionary[i];
            const DcmDictEntry* known = dictionary.findEntry(DcmTagKey(r.Group, r.Element), r.PrivateCreator);
            if (known != nullptr && known->getUpperGroup() == r.UpperGroup &&
                known->getUpperElement() == r.UpperElement) {
                continue;
            }
            // The rows' strings are the table's own, never freed: not copied.
            auto* entry = new DcmDictEntry(r.Group, r.Element, r.UpperGroup, r.UpperElement, DcmVR(r.Vr), r.Name,
                                           r.VmMin, r.VmMax, r.Version, OFFalse, r.PrivateCreator);
            entry->setGroupRangeRestriction(r.GroupRestriction);
            entry->setElementRangeRestriction(r.ElementRestriction);
            dictionary.addEntry(entry);
        }
        dcmDataDict.wrunlock();
    });
}

} // namespace kelvo::imaging
