// Parsing the feedback tab's server box.
#include "app/smtp_server_address.h"

#include <QUrl>

namespace kelvo {

namespace {

// "host[:port]" with the scheme's default port.
bool ParseHostPort(const QString& text, int32_t defaultPort, TSmtpServerAddress& out, QString& error) {
    if (text.startsWith(QLatin1Char('[')) || text.count(QLatin1Char(':')) > 1) {
        error = QStringLiteral("IPv6 addresses are not supported: %1").arg(text);
        return false;
    }
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    const QString host = colon < 0 ? text : text.left(colon);
    if (host.isEmpty()) {
        error = QStringLiteral("No server name in \"%1\"").arg(text);
        return false;
    }
    for (const QChar c : host) {
        if (c.isSpace() || c == QLatin1Char('/') || c == QLatin1Char('@') || c == QLatin1Char('?') ||
            c == QLatin1Char('#') || c.unicode() < 0x20) {
            error = QStringLiteral("\"%1\" is not a server name").arg(host);
            return false;
        }
    }
    out.host = host.toUtf8().toStdString();
    out.port = defaultPort;
    if (colon >= 0) {
        const QString digits = text.mid(colon + 1);
        bool ok = !digits.isEmpty() && digits.size() <= 5;
        for (const QChar c : digits) ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        const int port = ok ? digits.toInt() : 0;
        if (port < 1 || port > 65535) {
            error = QStringLiteral("\"%1\" is not a port number (1 to 65535)").arg(digits);
            return false;
        }
        out.port = port;
    }
    return true;
}

} // namespace

std::optional<TSmtpServerAddress> ParseSmtpServerAddress(const QString& text, QString& error) {
    TSmtpServerAddress out;
    const qsizetype schemeEnd = text.indexOf(QLatin1String("://"));
    if (schemeEnd < 0) {
        // A plain name is used exactly as typed, on the session's own port.
        if (!text.contains(QLatin1Char(':'))) {
            out.host = text.toUtf8().toStdString();
            out.port = 0;
            return out;
        }
        if (!ParseHostPort(text.trimmed(), 25, out, error)) return std::nullopt;
        return out;
    }

    const QString scheme = text.left(schemeEnd).trimmed().toLower();
    int32_t defaultPort = 0;
    if (scheme == QLatin1String("smtp")) {
        out.security = ssStartTlsWhenOffered;
        defaultPort = 587; // RFC 6409 message submission
    } else if (scheme == QLatin1String("smtps")) {
        out.security = ssImplicitTls;
        defaultPort = 465; // RFC 8314 §7.3
    } else {
        error = QStringLiteral("Unknown kind of server address \"%1://\": use smtp:// or smtps://").arg(scheme);
        return std::nullopt;
    }
    QString rest = text.mid(schemeEnd + 3).trimmed();
    if (rest.endsWith(QLatin1Char('/'))) rest.chop(1);
    if (rest.contains(QLatin1Char('/')) || rest.contains(QLatin1Char('?')) || rest.contains(QLatin1Char('#'))) {
        error = QStringLiteral("A server address has no path: %1").arg(text.trimmed());
        return std::nullopt;
    }
    const qsizetype at = rest.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString userInfo = rest.left(at);
        if (userInfo.contains(QLatin1Char(':'))) {
            error = QStringLiteral("Leave the password out of the server address; it is asked for when sending");
            return std::nullopt;
        }
        const QByteArray user = QByteArray::fromPercentEncoding(userInfo.toUtf8());
        if (user.isEmpty() || user.contains('\0') || user.contains('\r') || user.contains('\n')) {
            error = QStringLiteral("No usable user name before \"@\" in the server address");
            return std::nullopt;
        }
        out.user = user.toStdString();
        rest = rest.mid(at + 1);
    }
    if (!ParseHostPort(rest, defaultPort, out, error)) return std::nullopt;
    return out;
}

} // namespace kelvo
