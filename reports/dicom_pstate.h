// DCMTK's presentation state with the lists that its own API reaches only through an attached image.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmpstat/dcmpstat.h>

namespace kelvo::reports::dicom {

// DcmPresentationState places graphics, windows and displayed areas for "the current
// image", which it knows only with the image's pixels loaded (DVPresentationState). The
// lists themselves take any referenced image by its UIDs, so this opens them up instead.
class TPresentationState : public DcmPresentationState {
public:
    DVPSGraphicAnnotation_PList& Annotations() { return graphicAnnotationList; }
    DVPSSoftcopyVOI_PList& Windows() { return softcopyVOIList; }
    DVPSDisplayedArea_PList& Areas() { return displayedAreaSelectionList; }
    DVPSReferencedSeries_PList& Series() { return referencedSeriesList; }
};

} // namespace kelvo::reports::dicom
