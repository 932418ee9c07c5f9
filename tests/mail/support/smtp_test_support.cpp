// What a message should arrive as, for the SMTP session tests.
#include "smtp_test_support.h"

#include "mail/smtp.h"

#include <exception>

namespace kelvo::test {

std::string ExpectedReceived(TKivSMTP& smtp) {
    std::string out;
    for (const std::string& line : smtp.FinalHeader().Items()) out += line + "\r\n";
    out += "\r\n\r\n";
    const std::string body = smtp.BodyStream().DataString();
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find("\r\n", start);
        end = end == std::string::npos ? body.size() : end + 2;
        const size_t skip = body[start] == '.' ? 1 : 0; // RFC 5321 §4.5.2
        out.append(body, start + skip, end - start - skip);
        start = end;
    }
    return out;
}

std::string FailureOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(none)";
}

} // namespace kelvo::test
