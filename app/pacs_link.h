// Links that open a study straight from a DICOMweb server: dicomweb+https://host/path/studies/UID.
#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace kelvo {

struct TPacsLink {
    QUrl BaseUrl; // the DICOMweb root: https://host/path/
    QString StudyUid;
    bool Plain = false; // dicomweb+http: nothing is encrypted
};

// Whether `text` is meant as such a link (it starts with "dicomweb+", in any case).
bool IsPacsLink(const QString& text);
// Reads a link strictly: the scheme dicomweb+https or dicomweb+http, a host (and a
// port), a path ending in /studies/ and a Study Instance UID; no user, password,
// query or fragment. Anything else is refused with one sentence in `error`.
std::optional<TPacsLink> ParsePacsLink(const QString& text, QString& error);

} // namespace kelvo
