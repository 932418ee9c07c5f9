// JPEG 2000 for DCMTK: a decoder over OpenJPEG, registered with DcmCodecList beside DCMTK's own JPEG and JPEG-LS decoders.
#pragma once

namespace kelvo::imaging {

// Registers the decoder for the lossless-only and the lossy JPEG 2000 syntaxes, so that
// DcmDataset::chooseRepresentation decodes them to native pixel data; RemoveJ2kDecoder
// takes it out again. Both are called once, by the codec module's registration.
//
// What the decoder leaves in the data set: the stored values of each frame, one after the
// other, in the header's Bits Allocated (8 or 16), colour by pixel (Planar Configuration
// 0). Colour coded with the JPEG 2000 component transform (YBR_ICT, YBR_RCT) comes out as
// RGB, since OpenJPEG undoes the transform, and the data set says so. A codestream whose
// size, components or depth disagree with Rows, Columns, Samples per Pixel or Bits
// Allocated is refused before anything is decoded, as is a damaged or truncated one:
// the condition's text is OpenJPEG's own first complaint.
void RegisterJ2kDecoder();
void RemoveJ2kDecoder();

} // namespace kelvo::imaging
