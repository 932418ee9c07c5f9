// User-facing texts of the loading errors.
#include "imaging/errors.h"

namespace kelvo::imaging {

QString LoadErrorText(TLoadError kind, const QString& file, const QString& detail) {
    const QString d = detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail);
    switch (kind) {
    case TLoadError::Unreadable:
        return QStringLiteral("Cannot read \"%1\"%2.").arg(file, d);
    case TLoadError::EmptyFile:
        return QStringLiteral("\"%1\" is empty (0 bytes).").arg(file);
    case TLoadError::NotAPicture:
        return QStringLiteral("\"%1\" is not a picture: neither DICOM nor an image format that can be read.").arg(file);
    case TLoadError::Truncated:
        return QStringLiteral("\"%1\" is truncated: its pixel data ends before the picture does%2.").arg(file, d);
    case TLoadError::NoPixelData:
        return QStringLiteral("\"%1\" is a DICOM file without pixel data%2.").arg(file, d);
    case TLoadError::UnsupportedSyntax:
        return QStringLiteral("\"%1\" uses a transfer syntax that cannot be decoded here%2.").arg(file, d);
    case TLoadError::UnsupportedLayout:
        return QStringLiteral("\"%1\" has a pixel layout that is not supported%2.").arg(file, d);
    case TLoadError::TooLarge:
        return QStringLiteral("\"%1\" is too large to open%2.").arg(file, d);
    case TLoadError::Corrupt:
        return QStringLiteral("\"%1\" is damaged and cannot be decoded%2.").arg(file, d);
    }
    return QString();
}

} // namespace kelvo::imaging
