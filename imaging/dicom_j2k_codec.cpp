// The JPEG 2000 decoder: each frame's fragments are read from memory by OpenJPEG and its components written out as DICOM's native pixel data.
#include "imaging/dicom_j2k_codec.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dccodec.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcstack.h>
#include <dcmtk/dcmdata/dcswap.h>
#include <dcmtk/dcmdata/dcvrpobw.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <openjpeg.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kelvo::imaging {

namespace {

// The OFCondition module of this decoder's refusals (outside DCMTK's own numbers).
constexpr unsigned short kConditionModule = 0x4b4a;

OFCondition Refusal(const std::string& text) {
    return makeOFCondition(kConditionModule, 1, OF_error, ("JPEG 2000: " + text).c_str());
}

// What the DICOM header says a frame holds; a codestream must agree with it.
struct TFrameLayout {
    uint16_t Rows = 0;
    uint16_t Columns = 0;
    uint16_t Samples = 1;
    uint16_t BitsAllocated = 0;
    uint32_t Frames = 1;
    size_t FrameBytes() const { return size_t(Rows) * Columns * Samples * (BitsAllocated / 8u); }
};

OFCondition ReadFrameLayout(DcmItem* ds, TFrameLayout& l) {
    Uint16 v = 0;
    l.Rows = ds->findAndGetUint16(DCM_Rows, v).good() ? v : 0;
    l.Columns = ds->findAndGetUint16(DCM_Columns, v).good() ? v : 0;
    l.Samples = ds->findAndGetUint16(DCM_SamplesPerPixel, v).good() ? v : 1;
    l.BitsAllocated = ds->findAndGetUint16(DCM_BitsAllocated, v).good() ? v : 0;
    Sint32 frames = 1;
    l.Frames = ds->findAndGetSint32(DCM_NumberOfFrames, frames).good() && frames > 1 ? uint32_t(frames) : 1u;
    if (l.Rows == 0 || l.Columns == 0) {
        return Refusal("no rows or columns");
    }
    if (l.Samples != 1 && l.Samples != 3) {
        return Refusal(std::to_string(l.Samples) + " samples per pixel");
    }
    if (l.BitsAllocated != 8 && l.BitsAllocated != 16) {
        return Refusal(std::to_string(l.BitsAllocated) + " bits allocated");
    }
    // DICOM lengths are 32-bit: the decoded value must fit one.
    if (uint64_t(l.FrameBytes()) * l.Frames >= 0xFFFFFFFEu) {
        return Refusal("more than 4 GiB of decoded pixel data");
    }
    return EC_Normal;
}

std::string Photometric(DcmItem* ds) {
    OFString s;
    (void)ds->findAndGetOFString(DCM_PhotometricInterpretation, s);
    return std::string(s.c_str());
}

// OpenJPEG applies the inverse component transform itself: such colour decodes as RGB.
bool IsComponentTransform(const std::string& photometric) {
    return photometric == "YBR_ICT" || photometric == "YBR_RCT";
}

// ---- Reading one codestream from memory ----

struct TSource {
    const uint8_t* Data;
    size_t Size;
    size_t Pos;
};

OPJ_SIZE_T ReadSource(void* buffer, OPJ_SIZE_T bytes, void* user) {
    auto* s = static_cast<TSource*>(user);
    if (s->Pos >= s->Size) {
        return OPJ_SIZE_T(-1);
    }
    const size_t n = std::min<size_t>(bytes, s->Size - s->Pos);
    std::memcpy(buffer, s->Data + s->Pos, n);
    s->Pos += n;
    return n;
}

OPJ_OFF_T SkipSource(OPJ_OFF_T bytes, void* user) {
    auto* s = static_cast<TSource*>(user);
    if (bytes < 0) {
        const size_t back = std::min<size_t>(size_t(-bytes), s->Pos);
        s->Pos -= back;
        return -OPJ_OFF_T(back);
    }
    const size_t n = std::min<size_t>(size_t(bytes), s->Size - s->Pos);
    s->Pos += n;
    return n == 0 && bytes > 0 ? OPJ_OFF_T(-1) : OPJ_OFF_T(n);
}

OPJ_BOOL SeekSource(OPJ_OFF_T to, void* user) {
    auto* s = static_cast<TSource*>(user);
    if (to < 0 || uint64_t(to) > s->Size) {
        return OPJ_FALSE;
    }
    s->Pos = size_t(to);
    return OPJ_TRUE;
}

// OpenJPEG's first error, kept for the refusal's text (later ones follow from it).
void KeepError(const char* message, void* user) {
    auto* kept = static_cast<std::string*>(user);
    if (kept->empty() && message != nullptr) {
        *kept = message;
        while (!kept->empty() && (kept->back() == '\n' || kept->back() == ' ')) {
            kept->pop_back();
        }
    }
}

void Ignore(const char*, void*) {}

struct TCodecDeleter {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct TStreamDeleter {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct TImageDeleter {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};

constexpr uint8_t kCodestreamStart[] = {0xFF, 0x4F, 0xFF, 0x51}; // SOC, then SIZ
constexpr uint8_t kJp2Signature[] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20};

bool StartsWith(const uint8_t* data, size_t size, const uint8_t* prefix, size_t length) {
    return size >= length && std::memcmp(data, prefix, length) == 0;
}

// Why the codestream's image cannot fill a frame of `l`, or empty when it can.
std::string Mismatch(const opj_image_t& image, const TFrameLayout& l) {
    const uint32_t width = image.x1 - image.x0;
    const uint32_t height = image.y1 - image.y0;
    if (image.x1 < image.x0 || image.y1 < image.y0 || width != l.Columns || height != l.Rows ||
        image.numcomps != l.Samples) {
        return "the codestream holds " + std::to_string(width) + " x " + std::to_string(height) + " pixels of " +
               std::to_string(image.numcomps) + " components, the header " + std::to_string(l.Columns) + " x " +
               std::to_string(l.Rows) + " of " + std::to_string(l.Samples);
    }
    for (uint32_t c = 0; c < image.numcomps; ++c) {
        const opj_image_comp_t& comp = image.comps[c];
        if (comp.dx != 1 || comp.dy != 1 || comp.w != width || comp.h != height) {
            return "component " + std::to_string(c) + " is subsampled";
        }
        if (comp.prec == 0 || comp.prec > l.BitsAllocated) {
            return std::to_string(comp.prec) + "-bit samples in " + std::to_string(l.BitsAllocated) + " bits allocated";
        }
    }
    return {};
}

// Writes the decoded components into `out`, colour by pixel, each value's low bits as
// they are: signed values stay two's complement, which the header's Bits Stored reads.
template <typename Word>
void Interleave(const opj_image_t& image, size_t pixels, Word* out) {
    const size_t n = image.numcomps;
    for (size_t c = 0; c < n; ++c) {
        const OPJ_INT32* in = image.comps[c].data;
        for (size_t i = 0; i < pixels; ++i) {
            out[i * n + c] = Word(in[i]);
        }
    }
}

// Decodes one codestream (J2K, or JP2 with its boxes) into `frame`, FrameBytes() long.
OFCondition DecodeCodestream(const uint8_t* data, size_t size, const TFrameLayout& l, uint8_t* frame) {
    OPJ_CODEC_FORMAT format = OPJ_CODEC_J2K;
    if (StartsWith(data, size, kJp2Signature, sizeof kJp2Signature)) {
        format = OPJ_CODEC_JP2;
    } else if (!StartsWith(data, size, kCodestreamStart, sizeof kCodestreamStart)) {
        return Refusal("the fragments hold no codestream");
    }
    std::string error;
    const std::unique_ptr<opj_codec_t, TCodecDeleter> codec(opj_create_decompress(format));
    opj_set_error_handler(codec.get(), KeepError, &error);
    opj_set_warning_handler(codec.get(), Ignore, nullptr);
    opj_set_info_handler(codec.get(), Ignore, nullptr);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    // Strict: a codestream that ends early is refused, not shown half grey.
    if (!opj_setup_decoder(codec.get(), &parameters) || !opj_decoder_set_strict_mode(codec.get(), OPJ_TRUE)) {
        return Refusal("the decoder cannot be set up");
    }
    TSource source{data, size, 0};
    const std::unique_ptr<opj_stream_t, TStreamDeleter> stream(opj_stream_create(1u << 16, OPJ_TRUE));
    opj_stream_set_user_data(stream.get(), &source, nullptr);
    opj_stream_set_user_data_length(stream.get(), size);
    opj_stream_set_read_function(stream.get(), ReadSource);
    opj_stream_set_skip_function(stream.get(), SkipSource);
    opj_stream_set_seek_function(stream.get(), SeekSource);
    opj_image_t* header = nullptr;
    const bool read = opj_read_header(stream.get(), codec.get(), &header);
    const std::unique_ptr<opj_image_t, TImageDeleter> image(header);
    if (!read || image == nullptr) {
        return Refusal(error.empty() ? "unreadable codestream header" : error);
    }
    // Checked before decoding: the codestream alone must not make us allocate.
    if (const std::string mismatch = Mismatch(*image, l); !mismatch.empty()) {
        return Refusal(mismatch);
    }
    if (!opj_decode(codec.get(), stream.get(), image.get()) || !opj_end_decompress(codec.get(), stream.get())) {
        return Refusal(error.empty() ? "the codestream cannot be decoded" : error);
    }
    for (uint32_t c = 0; c < image->numcomps; ++c) {
        if (image->comps[c].data == nullptr) {
            return Refusal("component " + std::to_string(c) + " was not decoded");
        }
    }
    const size_t pixels = size_t(l.Rows) * l.Columns;
    if (l.BitsAllocated == 8) {
        Interleave(*image, pixels, frame);
    } else {
        Interleave(*image, pixels, reinterpret_cast<Uint16*>(frame));
    }
    return EC_Normal;
}

// ---- Frames and fragments ----

// The bytes of fragment `index` (item 0 is the offset table).
bool FragmentBytes(DcmPixelSequence* seq, unsigned long index, const uint8_t*& data, size_t& size) {
    DcmPixelItem* item = nullptr;
    Uint8* bytes = nullptr;
    if (seq->getItem(item, index).bad() || item == nullptr) {
        return false;
    }
    size = item->getLength();
    if (size != 0 && (item->getUint8Array(bytes).bad() || bytes == nullptr)) {
        return false;
    }
    data = bytes;
    return true;
}

bool StartsFrame(DcmPixelSequence* seq, unsigned long index) {
    const uint8_t* data = nullptr;
    size_t size = 0;
    return FragmentBytes(seq, index, data, size) &&
           (StartsWith(data, size, kCodestreamStart, sizeof kCodestreamStart) ||
            StartsWith(data, size, kJp2Signature, sizeof kJp2Signature));
}

// Decodes the frame whose first fragment is `fragment` and sets `fragment` to the next
// frame's. A frame is all fragments of a single-frame object, one fragment where there
// are as many as frames, else those up to the next that starts a codestream.
OFCondition DecodeFrame(DcmPixelSequence* seq, const TFrameLayout& l, unsigned long& fragment, uint8_t* frame) {
    const unsigned long count = seq->card();
    if (fragment == 0 || fragment >= count) {
        return Refusal("a frame without its fragment");
    }
    unsigned long end = fragment + 1;
    if (l.Frames == 1) {
        end = count;
    } else if (count - 1 != l.Frames) {
        while (end < count && !StartsFrame(seq, end)) {
            ++end;
        }
    }
    const uint8_t* data = nullptr;
    size_t size = 0;
    std::vector<uint8_t> joined;
    for (unsigned long i = fragment; i < end; ++i) {
        const uint8_t* part = nullptr;
        size_t partSize = 0;
        if (!FragmentBytes(seq, i, part, partSize)) {
            return Refusal("fragment " + std::to_string(i) + " cannot be read");
        }
        if (end - fragment == 1) {
            data = part;
            size = partSize;
        } else if (partSize != 0) {
            joined.insert(joined.end(), part, part + partSize);
        }
    }
    if (end - fragment > 1) {
        data = joined.data();
        size = joined.size();
    }
    fragment = end;
    return DecodeCodestream(data, size, l, frame);
}

// Native 8-bit data sits in DCMTK's 16-bit words in host order.
void ToHostWords(uint8_t* bytes, size_t size) {
    (void)swapIfNecessary(gLocalByteOrder, EBO_LittleEndian, bytes, Uint32(size), sizeof(Uint16));
}

// After decoding, the data set describes what was written.
void DescribeDecoded(DcmItem* ds, const TFrameLayout& l, OFBool& changed) {
    if (IsComponentTransform(Photometric(ds))) {
        (void)ds->putAndInsertString(DCM_PhotometricInterpretation, "RGB");
        changed = OFTrue;
    }
    if (l.Samples == 3) {
        (void)ds->putAndInsertUint16(DCM_PlanarConfiguration, 0);
    }
}

class TJ2kCodecParameter : public DcmCodecParameter {
public:
    DcmCodecParameter* clone() const override { return new TJ2kCodecParameter(*this); }
    const char* className() const override { return "TJ2kCodecParameter"; }
};

class TJ2kDecoder : public DcmCodec {
public:
    OFCondition decode(const DcmRepresentationParameter*, DcmPixelSequence* pixSeq,
                       DcmPolymorphOBOW& uncompressedPixelData, const DcmCodecParameter*, const DcmStack& objStack,
                       OFBool& removeOldRep) const override {
        DcmStack stack(objStack);
        (void)stack.pop(); // the pixel data element
        DcmObject* holder = stack.pop();
        if (pixSeq == nullptr || holder == nullptr || (holder->ident() != EVR_dataset && holder->ident() != EVR_item)) {
            return EC_InvalidTag;
        }
        auto* ds = static_cast<DcmItem*>(holder);
        TFrameLayout l;
        OFCondition c = ReadFrameLayout(ds, l);
        if (c.bad()) {
            return c;
        }
        const size_t total = l.FrameBytes() * l.Frames;
        Uint16* words = nullptr;
        c = uncompressedPixelData.createUint16Array(Uint32((total + 1) / 2), words);
        if (c.bad() || words == nullptr) {
            return c.bad() ? c : EC_MemoryExhausted;
        }
        auto* bytes = reinterpret_cast<uint8_t*>(words);
        if (total % 2 != 0) {
            bytes[total] = 0; // an odd length's pad byte
        }
        unsigned long fragment = 1;
        for (uint32_t f = 0; f < l.Frames && c.good(); ++f) {
            c = DecodeFrame(pixSeq, l, fragment, bytes + f * l.FrameBytes());
        }
        if (c.bad()) {
            return c;
        }
        if (l.BitsAllocated == 8) {
            ToHostWords(bytes, (total + 1) / 2 * 2);
        }
        DescribeDecoded(ds, l, removeOldRep);
        return EC_Normal;
    }

    OFCondition decodeFrame(const DcmRepresentationParameter*, DcmPixelSequence* fromPixSeq, const DcmCodecParameter*,
                            DcmItem* dataset, Uint32 frameNo, Uint32& startFragment, void* buffer, Uint32 bufSize,
                            OFString& decompressedColorModel) const override {
        if (fromPixSeq == nullptr || dataset == nullptr || buffer == nullptr) {
            return EC_IllegalParameter;
        }
        TFrameLayout l;
        OFCondition c = ReadFrameLayout(dataset, l);
        if (c.bad()) {
            return c;
        }
        if (frameNo >= l.Frames || bufSize < l.FrameBytes()) {
            return EC_IllegalParameter;
        }
        if (startFragment == 0) {
            c = determineStartFragment(frameNo, Sint32(l.Frames), fromPixSeq, startFragment);
            if (c.bad()) {
                return c;
            }
        }
        unsigned long fragment = startFragment;
        c = DecodeFrame(fromPixSeq, l, fragment, static_cast<uint8_t*>(buffer));
        if (c.bad()) {
            return c;
        }
        startFragment = Uint32(fragment);
        return determineDecompressedColorModel(nullptr, fromPixSeq, nullptr, dataset, decompressedColorModel);
    }

    OFCondition encode(const Uint16*, const Uint32, const DcmRepresentationParameter*, DcmPixelSequence*&,
                       const DcmCodecParameter*, DcmStack&, OFBool&) const override {
        return EC_IllegalCall;
    }

    OFCondition encode(const E_TransferSyntax, const DcmRepresentationParameter*, DcmPixelSequence*,
                       const DcmRepresentationParameter*, DcmPixelSequence*&, const DcmCodecParameter*, DcmStack&,
                       OFBool&) const override {
        return EC_IllegalCall;
    }

    OFBool canChangeCoding(const E_TransferSyntax oldRepType, const E_TransferSyntax newRepType) const override {
        const bool j2k = oldRepType == EXS_JPEG2000LosslessOnly || oldRepType == EXS_JPEG2000;
        const DcmXfer to(newRepType);
        return j2k && to.isNotEncapsulated() && newRepType != EXS_DeflatedLittleEndianExplicit;
    }

    OFCondition determineDecompressedColorModel(const DcmRepresentationParameter*, DcmPixelSequence*,
                                                const DcmCodecParameter*, DcmItem* dataset,
                                                OFString& decompressedColorModel) const override {
        if (dataset == nullptr) {
            return EC_IllegalParameter;
        }
        const std::string photometric = Photometric(dataset);
        decompressedColorModel = IsComponentTransform(photometric) ? "RGB" : photometric.c_str();
        return EC_Normal;
    }
};

struct TRegistration {
    TJ2kDecoder Decoder;
    TJ2kCodecParameter Parameter;
};

TRegistration* registration = nullptr;

} // namespace

void RegisterJ2kDecoder() {
    if (registration == nullptr) {
        registration = new TRegistration();
        (void)DcmCodecList::registerCodec(&registration->Decoder, nullptr, &registration->Parameter);
    }
}

void RemoveJ2kDecoder() {
    if (registration != nullptr) {
        (void)DcmCodecList::deregisterCodec(&registration->Decoder);
        delete registration;
        registration = nullptr;
    }
}

} // namespace kelvo::imaging
