// What the feedback tab's server box may hold: a host, host:port, or an smtp:// or smtps:// address naming a user.
#pragma once

#include "mail/smtp.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

namespace kelvo {

struct TSmtpServerAddress {
    std::string host;
    int32_t port = 0; // 0: none given, the session keeps its own Port (25)
    TSmtpSecurity security = ssNone;
    std::string user; // empty: no sign-in
};

// "host" (taken as it is, with no port and no security), "host:port",
// "smtp://[user@]host[:port]" (STARTTLS whenever the server offers it, port 587 by
// default) and "smtps://[user@]host[:port]" (TLS from the start, port 465, RFC 8314).
// The user part is percent-decoded, so "ann%40example.org@host" names "ann@example.org".
// Returns nothing and a message for the user in `error` when the text is none of these;
// a password inside the address is refused, since it would be shown in the box.
std::optional<TSmtpServerAddress> ParseSmtpServerAddress(const QString& text, QString& error);

} // namespace kelvo
