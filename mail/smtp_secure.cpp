// TKivSMTP's extended dialogue: EHLO, STARTTLS (RFC 3207), implicit TLS (RFC 8314) and AUTH PLAIN/LOGIN (RFC 4954, 4616).
//
// Kept apart from the plain dialogue, which runs unchanged when none of it is asked for.
#include "mail/smtp.h"

#include "mail/mime_text.h"
#include "mail/smtp_texts.h"
#include "net/socket_texts.h"
#include "platform/exceptions.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace kelvo {

namespace {

using namespace smtp_text;

// RFC 4954 §4: a successful AUTH ends with 235; a challenge is 334.
constexpr int16_t kAuthSucceeded = 235;
constexpr int16_t kAuthChallenge = 334;
constexpr int16_t kReadyForTls = 220;

// The reply line without its line end, for an error message.
std::string Trimmed(const std::string& line) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

void Wipe(std::string& s) {
    // explicit_bzero: a store the compiler may not drop as dead.
    if (!s.empty()) ::explicit_bzero(s.data(), s.size());
    s.clear();
}

// The mechanisms of an "AUTH" keyword line (also the older "AUTH=" form).
std::vector<std::string> Mechanisms(const std::vector<std::string>& capabilities) {
    std::vector<std::string> found;
    for (const std::string& line : capabilities) {
        if (line.rfind("AUTH", 0) != 0 || line.size() < 5 || (line[4] != ' ' && line[4] != '=')) continue;
        size_t pos = 5;
        while (pos < line.size()) {
            const size_t end = std::min(line.find(' ', pos), line.size());
            if (end > pos) found.push_back(line.substr(pos, end - pos));
            pos = end + 1;
        }
    }
    return found;
}

bool Offers(const std::vector<std::string>& list, const std::string& word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

} // namespace

TSecret::~TSecret() { Wipe(); }

void TSecret::Set(const std::string& value) {
    Wipe();
    value_ = value;
}

void TSecret::Wipe() { kelvo::Wipe(value_); }

bool TKivSMTP::UsesExtensions() const { return security_ != ssNone || !userName_.empty(); }

void TKivSMTP::Progress(const char* text) {
    ReportStatus(StatusLevel::MajorStep, text);
    if (!Fire(LifeToken(), OnProgress, this, std::string(text))) throw EAbortError(socket_text::kReadAborted);
}

void TKivSMTP::SecureConnection() {
    Progress(kSecuringStatus);
    StartTls(Host());
}

std::vector<std::string> TKivSMTP::Ehlo() {
    Command("EHLO " + userID_);
    std::vector<std::string> keywords;
    // The first line greets; every line after it names one extension.
    for (size_t i = 1; i < reply_.lines().size(); ++i) {
        const std::string& line = reply_.lines()[i];
        // RFC 5321 §4.1.1.1: after the code and separator, one keyword and its parameters.
        std::string keyword = Trimmed(line.size() > 4 ? line.substr(4) : std::string());
        std::transform(keyword.begin(), keyword.end(), keyword.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        keywords.push_back(keyword);
    }
    if (!reply_.isCompletion()) throw Exception(kEhloRefused + Trimmed(reply_.last()));
    return keywords;
}

bool TKivSMTP::ExtendedHello() {
    std::vector<std::string> capabilities;
    try {
        capabilities = Ehlo();
    } catch (const ESockError&) {
        throw; // the dialogue broke: no HELO can follow
    } catch (const Exception&) {
        // A server that does not know EHLO (RFC 5321 §3.2: a 5yz reply) offers no
        // extension, STARTTLS included; where only an offered STARTTLS was asked for,
        // HELO does what a plain host name would. Where STARTTLS or a sign-in was
        // required, it cannot give what was asked for.
        const bool notKnown = reply_.code() >= 500 && reply_.code() < 600;
        if (notKnown && security_ == ssStartTlsWhenOffered && userName_.empty()) return false;
        throw;
    }
    if (security_ == ssStartTls || security_ == ssStartTlsWhenOffered) {
        if (Offers(capabilities, "STARTTLS")) {
            Command("STARTTLS");
            if (!reply_.isCode(kReadyForTls)) throw Exception(kStartTlsRefused + Trimmed(reply_.last()));
            SecureConnection();
            // RFC 3207 §4.2: what the server said before TLS is forgotten and asked again.
            capabilities = Ehlo();
        } else if (security_ == ssStartTls || !userName_.empty()) {
            throw Exception(kNoStartTls);
        }
    }
    smtpUtf8_ = Offers(capabilities, "SMTPUTF8");
    if (!userName_.empty()) SignIn(capabilities);
    return true;
}

void TKivSMTP::SignIn(const std::vector<std::string>& capabilities) {
    if (!Secured()) throw Exception(kSignInNeedsTls);
    const std::string& password = password_.Get();
    // RFC 4616 §2: NUL separates the fields of PLAIN, so no field may hold one.
    if (userName_.find('\0') != std::string::npos || password.find('\0') != std::string::npos)
        throw Exception(kNulInCredentials);
    const std::vector<std::string> mechanisms = Mechanisms(capabilities);
    const bool plain = Offers(mechanisms, "PLAIN");
    if (!plain && !Offers(mechanisms, "LOGIN")) throw Exception(kNoUsableAuth);

    Progress(kSigningInStatus);
    if (plain) {
        std::string credentials = std::string(1, '\0') + userName_ + std::string(1, '\0') + password;
        std::string response = Base64(credentials);
        Wipe(credentials);
        try {
            // RFC 4954 §4: the initial response rides on the command; a server that
            // still asks gets it once more.
            std::string command = "AUTH PLAIN " + response;
            Command(command);
            Wipe(command);
            if (reply_.isCode(kAuthChallenge)) Command(response);
        } catch (...) {
            Wipe(response);
            throw;
        }
        Wipe(response);
    } else {
        Command("AUTH LOGIN");
        if (reply_.isCode(kAuthChallenge)) Command(Base64(userName_));
        if (reply_.isCode(kAuthChallenge)) {
            std::string response = Base64(password);
            try {
                Command(response);
            } catch (...) {
                Wipe(response);
                throw;
            }
            Wipe(response);
        }
    }
    if (!reply_.isCode(kAuthSucceeded)) throw Exception(kSignInRefused + Trimmed(reply_.last()));
}

} // namespace kelvo
