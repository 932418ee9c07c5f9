// Chooses the reader by content: DICOM by its "DICM" mark (or, failing a Qt format,
// by a try with DCMTK for files without preamble), other pictures through Qt.
#include "imaging/loader.h"

#include "imaging/dicom_loader.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <algorithm>
#include <cstring>

namespace kelvo::imaging {

TPicture GreyPicture(const QImage& source) {
    TPicture p;
    const int32_t w = source.width();
    const int32_t h = source.height();
    p.Photometric = QStringLiteral("MONOCHROME2");
    if (source.depth() > 32 || source.format() == QImage::Format_Grayscale16) {
        const QImage g = source.convertToFormat(QImage::Format_Grayscale16);
        p.Allocate(w, h, 1, 1, TSampleType::U16, 16);
        auto* d = reinterpret_cast<uint16_t*>(p.Data());
        for (int32_t y = 0; y < h; ++y) {
            std::memcpy(d + size_t(y) * size_t(w), g.constScanLine(y), size_t(w) * 2);
        }
    } else {
        const QImage g = source.convertToFormat(QImage::Format_Grayscale8);
        p.Allocate(w, h, 1, 1, TSampleType::U8, 8);
        for (int32_t y = 0; y < h; ++y) {
            std::memcpy(p.Data() + size_t(y) * size_t(w), g.constScanLine(y), size_t(w));
        }
    }
    p.ComputeRange();
    return p;
}

namespace {

[[noreturn]] void Fail(TLoadError kind, const QString& name, const QString& detail = QString()) {
    throw EImageError(kind, LoadErrorText(kind, name, detail));
}

TPicture FromQImage(const QImage& source, const QString& format) {
    if (source.isGrayscale()) {
        TPicture p = GreyPicture(source);
        p.Format = format;
        return p;
    }
    TPicture p;
    p.Format = format;
    const int32_t w = source.width();
    const int32_t h = source.height();
    const bool deep = source.depth() > 32 || source.format() == QImage::Format_Grayscale16;
    p.Photometric = QStringLiteral("RGB");
    if (deep) {
        const QImage c = source.convertToFormat(QImage::Format_RGBX64);
        p.Allocate(w, h, 1, 3, TSampleType::U16, 16);
        auto* d = reinterpret_cast<uint16_t*>(p.Data());
        for (int32_t y = 0; y < h; ++y) {
            const auto* s = reinterpret_cast<const uint16_t*>(c.constScanLine(y));
            for (int32_t x = 0; x < w; ++x) {
                for (int32_t k = 0; k < 3; ++k) {
                    d[(size_t(y) * size_t(w) + size_t(x)) * 3 + size_t(k)] = s[size_t(x) * 4 + size_t(k)];
                }
            }
        }
    } else {
        const QImage c = source.convertToFormat(QImage::Format_RGB888);
        p.Allocate(w, h, 1, 3, TSampleType::U8, 8);
        for (int32_t y = 0; y < h; ++y) {
            std::memcpy(p.Data() + size_t(y) * size_t(w) * 3, c.constScanLine(y), size_t(w) * 3);
        }
    }
    p.ComputeRange();
    return p;
}

bool HasDicomMark(QFile& file) {
    char head[132];
    if (file.read(head, sizeof head) != qint64(sizeof head)) {
        return false;
    }
    return std::memcmp(head + 128, "DICM", 4) == 0;
}

} // namespace

TPicture LoadPicture(const QString& path, const TLoadLimits& limits) {
    const QString name = QFileInfo(path).fileName().isEmpty() ? path : QFileInfo(path).fileName();
    QFile file(path);
    if (QFileInfo(path).isDir()) {
        Fail(TLoadError::Unreadable, name, QStringLiteral("it is a folder"));
    }
    if (!file.open(QIODevice::ReadOnly)) {
        Fail(TLoadError::Unreadable, name, file.errorString());
    }
    if (file.size() == 0) {
        Fail(TLoadError::EmptyFile, name);
    }
    if (HasDicomMark(file)) {
        file.close();
        return LoadDicomFile(path, name, limits);
    }
    file.close();

    QImageReader reader(path);
    reader.setAutoTransform(false);
    // Qt's own default (256 MiB) would refuse large pictures as if they were damaged.
    reader.setAllocationLimit(int(std::min<uint64_t>(limits.MaxDecodedBytes >> 20, 1u << 30)));
    const QByteArray format = reader.format();
    if (format.isEmpty() || format == "dcm") {
        // DICOM without preamble (old ACR-NEMA style) has no mark; DCMTK recognises it.
        return LoadDicomFile(path, name, limits);
    }
    const QSize size = reader.size();
    if (size.isValid() && uint64_t(size.width()) * uint64_t(size.height()) * 8 > limits.MaxDecodedBytes) {
        Fail(TLoadError::TooLarge, name, QStringLiteral("%1 × %2 pixels").arg(size.width()).arg(size.height()));
    }
    const QImage image = reader.read();
    if (image.isNull()) {
        Fail(TLoadError::Corrupt, name, reader.errorString());
    }
    return FromQImage(image, QString::fromLatin1(format).toUpper());
}

std::future<TPicture> LoadPictureAsync(const QString& path, const TLoadLimits& limits, std::function<void()> first) {
    return std::async(std::launch::async, [path, limits, first = std::move(first)] {
        if (first) first();
        return LoadPicture(path, limits);
    });
}

} // namespace kelvo::imaging
