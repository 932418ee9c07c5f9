// Helpers for the SMTP session tests: the data a message should arrive as, and the
// shared application, peers and servers they play against.
#pragma once

#include "tests/support/application.h"
#include "tests/support/fake_smtp_server.h"
#include "tests/support/loopback.h"
#include "tests/support/scripted_server.h"

#include <functional>
#include <string>

namespace kelvo {
class TKivSMTP;
}

namespace kelvo::test {

// An SMTP server writes its replies back to back; the scripted peer sends them so.
inline constexpr PeerOptions kSmtpReplies{.pauseAfterSendMs = 0};

// What a server stores from the message the session sent last: every FinalHeader line
// with CR LF, two more CR LF, then BodyStream with its dot-stuffing undone.
std::string ExpectedReceived(TKivSMTP& smtp);

// The exception text of f, or "(none)" when it raises nothing.
std::string FailureOf(const std::function<void()>& f);

} // namespace kelvo::test
