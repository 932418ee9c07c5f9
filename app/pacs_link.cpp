// Reading study links of DICOMweb servers.
#include "app/pacs_link.h"

#include <QRegularExpression>

namespace kelvo {

namespace {
constexpr const char* kPrefix = "dicomweb+";
} // namespace

bool IsPacsLink(const QString& text) { return text.startsWith(QLatin1String(kPrefix), Qt::CaseInsensitive); }

std::optional<TPacsLink> ParsePacsLink(const QString& text, QString& error) {
    const auto refuse = [&error](const QString& why) {
        error = QStringLiteral("The link %1; a study link reads dicomweb+https://host/path/studies/UID.").arg(why);
        return std::nullopt;
    };
    if (!IsPacsLink(text)) return refuse(QStringLiteral("does not start with dicomweb+"));
    const QString rest = text.mid(static_cast<int>(qstrlen(kPrefix)));
    const QString scheme = rest.section(QLatin1Char(':'), 0, 0).toLower();
    if (scheme != "https" && scheme != "http") return refuse(QStringLiteral("names neither https nor http"));
    const QUrl url(rest, QUrl::StrictMode);
    if (!url.isValid()) return refuse(QStringLiteral("is not a valid address (%1)").arg(url.errorString()));
    if (url.host().isEmpty()) return refuse(QStringLiteral("names no host"));
    // Credentials in a link end up in shell histories and logs; the window asks instead.
    if (!url.userInfo().isEmpty()) return refuse(QStringLiteral("carries a user or password"));
    if (url.hasQuery() || url.hasFragment()) return refuse(QStringLiteral("has a query or fragment"));
    // DICOM UIDs: numeric components without leading zeros, 64 characters at most.
    static const QRegularExpression tail(QStringLiteral("^(.*/)studies/((?:0|[1-9][0-9]*)(?:\\.(?:0|[1-9][0-9]*))*)$"));
    const QString path = url.path(QUrl::FullyEncoded);
    const QRegularExpressionMatch match = tail.match(path);
    if (!match.hasMatch() || match.captured(2).size() > 64)
        return refuse(QStringLiteral("does not end in /studies/ and a study UID"));
    TPacsLink link;
    link.BaseUrl = url;
    link.BaseUrl.setPath(match.captured(1), QUrl::TolerantMode);
    link.StudyUid = match.captured(2);
    link.Plain = scheme == "http";
    return link;
}

} // namespace kelvo
