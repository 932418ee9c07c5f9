// DCMTK's JPEG and JPEG-LS decoders and our JPEG 2000 one: registered once and removed at exit; in the program, the codec module's whole content.
#include "imaging/dicom_codecs.h"
#include "imaging/dicom_j2k_codec.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>

namespace {

// Removed at exit, so that the leak checker sees DCMTK's codec objects released.
struct TCompressedCodecs {
    TCompressedCodecs() {
        // Colour stays in the file's photometric interpretation (YBR is converted at
        // display time), so stored values are the decoder's own output.
        DJDecoderRegistration::registerCodecs(EDC_never);
        DJLSDecoderRegistration::registerCodecs();
        kelvo::imaging::RegisterJ2kDecoder();
    }
    ~TCompressedCodecs() {
        kelvo::imaging::RemoveJ2kDecoder();
        DJLSDecoderRegistration::cleanup();
        DJDecoderRegistration::cleanup();
    }
};

} // namespace

extern "C" __attribute__((visibility("default"))) const void* kelvo_dicom_codecs() {
    static const TCompressedCodecs codecs;
    return &codecs;
}

#ifdef KELVO_DICOM_CODECS_BUILT_IN
namespace kelvo::imaging {
void RegisterCompressedCodecs(const QString&) { (void)kelvo_dicom_codecs(); }
} // namespace kelvo::imaging
#endif
