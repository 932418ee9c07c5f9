// Why a picture could not be loaded: a kind for code to decide by, and the text shown to the user.
#pragma once

#include "platform/exceptions.h"

#include <QString>

#include <cstdint>

namespace kelvo::imaging {

enum class TLoadError : uint8_t {
    Unreadable,        // the path cannot be opened or read
    EmptyFile,         // 0 bytes
    NotAPicture,       // neither DICOM nor a picture format Qt reads
    Truncated,         // the pixel data ends early
    NoPixelData,       // DICOM without an image (plan, report, structure set...)
    UnsupportedSyntax, // a compressed transfer syntax no registered decoder handles
    UnsupportedLayout, // bits, samples or photometric interpretation not handled
    TooLarge,          // the header asks for more memory than the limit allows
    Corrupt,           // the decoder or parser rejected the data
};

// Thrown by the loaders; Message() is the sentence shown to the user.
class EImageError : public Exception {
public:
    EImageError(TLoadError kind, const QString& text) : Exception(text.toStdString()), kind_(kind) {}
    TLoadError Kind() const { return kind_; }
    QString Text() const { return QString::fromStdString(Message()); }

private:
    TLoadError kind_;
};

// The user-facing sentence for a kind; `detail` is the file's name, the syntax, or
// the library's own words, depending on the kind.
QString LoadErrorText(TLoadError kind, const QString& file, const QString& detail = QString());

} // namespace kelvo::imaging
