// User-facing texts of the PACS errors.
#include "pacs/errors.h"

namespace kelvo::pacs {

QString PacsErrorText(TPacsError kind, const QString& detail) {
    const QString d = detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail);
    switch (kind) {
    case TPacsError::None:
        return QStringLiteral("Done.");
    case TPacsError::InsecurePassword:
        return QStringLiteral("The password would travel unencrypted over plain http; nothing was sent. "
                              "Use https, or confirm sending it in clear.");
    case TPacsError::BadServer:
        return QStringLiteral("The server's address is not a usable http or https URL%1.").arg(d);
    case TPacsError::HostNotFound:
        return QStringLiteral("The server's name could not be found%1.").arg(d);
    case TPacsError::Refused:
        return QStringLiteral("The server refused the connection: nothing answers at that address and port%1.").arg(d);
    case TPacsError::Unreachable:
        return QStringLiteral("The connection to the server failed%1.").arg(d);
    case TPacsError::Certificate:
        return QStringLiteral("The server's certificate is not trusted; nothing was sent%1.").arg(d);
    case TPacsError::Unauthorized:
        return QStringLiteral("The server refused the user name or password (401)%1.").arg(d);
    case TPacsError::Forbidden:
        return QStringLiteral("The server does not allow this user to do that (403)%1.").arg(d);
    case TPacsError::NotFound:
        return QStringLiteral("The server has no such study, series or service (404)%1.").arg(d);
    case TPacsError::ServerError:
        return QStringLiteral("The server failed to answer the request%1.").arg(d);
    case TPacsError::TimedOut:
        return QStringLiteral("The server stopped sending or receiving data for too long%1.").arg(d);
    case TPacsError::Truncated:
        return QStringLiteral("The server's answer broke off before its end%1.").arg(d);
    case TPacsError::TooLarge:
        return QStringLiteral("The server's answer is larger than announced or allowed%1.").arg(d);
    case TPacsError::BadResponse:
        return QStringLiteral("The server's answer is not a valid DICOMweb response%1.").arg(d);
    case TPacsError::StoreRejected:
        return QStringLiteral("The server did not store every instance%1.").arg(d);
    case TPacsError::LocalFile:
        return QStringLiteral("A local file could not be read or written%1.").arg(d);
    case TPacsError::Canceled:
        return QStringLiteral("Canceled.");
    }
    return QString();
}

} // namespace kelvo::pacs
