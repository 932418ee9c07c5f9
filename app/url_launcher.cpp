// The link launcher: a non-visual component that hands one link to the desktop to open.
#include "app/url_launcher.h"

#include <QDesktopServices>
#include <QUrl>

namespace kelvo {

QString URLPrefix(TURLType type) {
    switch (type) {
    case utFile:
        return QStringLiteral("file://");
    case utFtp:
        return QStringLiteral("ftp://");
    case utGopher:
        return QStringLiteral("gopher://");
    case utHttp:
        return QStringLiteral("http://");
    case utHttps:
        return QStringLiteral("https://");
    case utMailto:
        return QStringLiteral("mailto:");
    case utNews:
        return QStringLiteral("news:");
    case utTelnet:
        return QStringLiteral("telnet:");
    case utWais:
        return QStringLiteral("wais:");
    }
    return {};
}

TURL::TURL(QObject* owner) : QObject(owner) {}

void TURL::SetURL(const QString& value) {
    if (value != url_) url_ = value;
}

void TURL::SetURLType(TURLType value) {
    if (value != urlType_) urlType_ = value;
}

QString TURL::LinkText() const { return URLPrefix(urlType_) + url_; }

bool TURL::Execute() {
    if (url_.isEmpty()) return false;
    return ShellOpen(LinkText(), QString(), QString(), SW_SHOWNOACTIVATE) > 32;
}

int32_t ShellOpen(const QString& file, const QString& parameters, const QString& directory, int32_t showCommand) {
    (void)directory;
    (void)showCommand;
    if (file.isEmpty() || !parameters.isEmpty()) return kShellBadFormat;
    // Taken as already encoded, so a well-formed link reaches the opener byte for
    // byte; tolerant parsing only percent-encodes what cannot stand in a link
    // (a space, for one), which the opener's single argument needs anyway.
    const QByteArray given = file.toUtf8();
    const QUrl url = QUrl::fromEncoded(given, QUrl::TolerantMode);
    if (!url.isValid()) return kShellBadFormat;
    // The parser also normalises: it drops an empty port, so "https://http://x"
    // would come out as "https://http//x". Opening some other link than the one
    // asked for is worse than opening none, so anything that changed beyond
    // percent-encoding and the case of scheme and host is refused.
    const QString sent = QUrl::fromPercentEncoding(url.toEncoded());
    if (sent.compare(QUrl::fromPercentEncoding(given), Qt::CaseInsensitive) != 0) return kShellBadFormat;
    return QDesktopServices::openUrl(url) ? kShellOpened : kShellNoAssociation;
}

} // namespace kelvo
