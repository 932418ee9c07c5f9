// The TLS module: client sessions with OpenSSL over memory BIOs, and the names of certificate faults.
#include "net/tls_session.h"

#include "net/tls_texts.h"
#include "platform/exceptions.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <climits>
#include <new>

namespace kelvo {

namespace {

using namespace tls_text;

// OpenSSL's own wording for the common faults differs between versions.
std::string VerifyFailureText(long result) {
    switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return kCertificateExpired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return kCertificateNotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return kHostNameMismatch;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return kSelfSigned;
    default:
        return X509_verify_cert_error_string(result);
    }
}

bool IsAddressLiteral(const std::string& name) {
    unsigned char scratch[16];
    return inet_pton(AF_INET, name.c_str(), scratch) == 1 || inet_pton(AF_INET6, name.c_str(), scratch) == 1;
}

} // namespace

using Progress = TTlsChannel::Progress;

class TOpenSslSession final : public ITlsSession {
public:
    TOpenSslSession(const std::string& serverName, const std::string& trust);
    ~TOpenSslSession() override;
    TOpenSslSession(const TOpenSslSession&) = delete;
    TOpenSslSession& operator=(const TOpenSslSession&) = delete;

    Progress Handshake() override;
    bool Established() const override { return established_; }
    void Feed(const char* data, size_t length) override;
    std::string& Output() override { return output_; }
    size_t Encrypt(const char* data, size_t length) override;
    Progress Decrypt(std::string& plain) override;
    const std::string& FailureText() const override { return failure_; }

private:
    bool Failed() const { return !failure_.empty(); }
    void CollectOutput();
    void Fail(int sslError);

    // A member of its own, so that a constructor that fails half-way frees them too.
    struct THandles {
        SSL_CTX* ctx = nullptr;
        SSL* ssl = nullptr;
        BIO* in = nullptr;  // owned by ssl
        BIO* out = nullptr; // owned by ssl
        ~THandles() {
            if (ssl) SSL_free(ssl);
            if (ctx) SSL_CTX_free(ctx);
        }
    } h_;
    std::string output_;
    std::string failure_;
    bool established_ = false;
};

TOpenSslSession::~TOpenSslSession() = default;

TOpenSslSession::TOpenSslSession(const std::string& serverName, const std::string& trust) {
    const auto setupFailed = [](const char* what) {
        const unsigned long e = ERR_get_error();
        ERR_clear_error();
        std::string text = std::string(kSetupFailed) + what;
        if (e != 0 && ERR_reason_error_string(e) != nullptr)
            text += std::string(" (") + ERR_reason_error_string(e) + ")";
        return ESockError(text);
    };
    if (serverName.empty() || serverName.find('\0') != std::string::npos) throw ESockError(kNoServerName);
    ERR_clear_error();
    THandles& d = h_;
    d.ctx = SSL_CTX_new(TLS_client_method());
    if (d.ctx == nullptr) throw setupFailed(kNoContext);
    // RFC 8996 retires TLS 1.0 and 1.1.
    SSL_CTX_set_min_proto_version(d.ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(d.ctx, SSL_VERIFY_PEER, nullptr);
    const int loaded = trust.empty() ? SSL_CTX_set_default_verify_paths(d.ctx)
                                     : SSL_CTX_load_verify_locations(d.ctx, trust.c_str(), nullptr);
    if (loaded != 1) throw setupFailed(kTrustUnreadable);
    d.ssl = SSL_new(d.ctx);
    d.in = BIO_new(BIO_s_mem());
    d.out = BIO_new(BIO_s_mem());
    if (d.ssl == nullptr || d.in == nullptr || d.out == nullptr) {
        BIO_free(d.in);
        BIO_free(d.out);
        throw setupFailed(kSetupOutOfMemory);
    }
    // An empty input BIO means "nothing yet", not the end of the stream.
    BIO_set_mem_eof_return(d.in, -1);
    SSL_set_bio(d.ssl, d.in, d.out);
    SSL_set_connect_state(d.ssl);
    X509_VERIFY_PARAM* param = SSL_get0_param(d.ssl);
    // RFC 9525 §6.3: names are taken from subjectAltName only, never from the subject's CN.
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    if (IsAddressLiteral(serverName)) {
        if (X509_VERIFY_PARAM_set1_ip_asc(param, serverName.c_str()) != 1) throw setupFailed(kBadServerAddress);
    } else {
        if (SSL_set1_host(d.ssl, serverName.c_str()) != 1) throw setupFailed(kBadServerName);
        // RFC 6066 §3: server name indication carries host names only, never addresses.
        SSL_set_tlsext_host_name(d.ssl, serverName.c_str());
    }
}

void TOpenSslSession::CollectOutput() {
    char* data = nullptr;
    const long n = BIO_get_mem_data(h_.out, &data);
    if (n > 0) {
        output_.append(data, static_cast<size_t>(n));
        (void)BIO_reset(h_.out);
    }
}

void TOpenSslSession::Fail(int sslError) {
    const long verify = SSL_get_verify_result(h_.ssl);
    if (verify != X509_V_OK) {
        failure_ = kVerificationFailed + VerifyFailureText(verify);
    } else {
        const unsigned long e = ERR_peek_last_error();
        const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
        if (reason != nullptr)
            failure_ = std::string(kFailed) + reason;
        else if (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_ZERO_RETURN)
            failure_ = kEndedUnexpectedly;
        else
            failure_ = FailedWithError(sslError);
    }
    ERR_clear_error();
}

Progress TOpenSslSession::Handshake() {
    if (established_) return Progress::Done;
    if (Failed()) return Progress::Failed;
    ERR_clear_error();
    const int r = SSL_do_handshake(h_.ssl);
    CollectOutput();
    if (r == 1) {
        established_ = true;
        return Progress::Done;
    }
    const int e = SSL_get_error(h_.ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return Progress::NeedInput;
    Fail(e);
    return Progress::Failed;
}

void TOpenSslSession::Feed(const char* data, size_t length) {
    while (length > 0) {
        const int chunk = static_cast<int>(std::min<size_t>(length, INT_MAX));
        const int n = BIO_write(h_.in, data, chunk);
        if (n <= 0) {
            failure_ = kOutOfMemory;
            return;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
}

size_t TOpenSslSession::Encrypt(const char* data, size_t length) {
    if (!established_ || Failed() || length == 0) return 0;
    ERR_clear_error();
    const int r = SSL_write(h_.ssl, data, static_cast<int>(std::min(length, TTlsChannel::kMaxRecord)));
    CollectOutput();
    if (r > 0) return static_cast<size_t>(r);
    const int e = SSL_get_error(h_.ssl, r);
    // A renegotiation the server asked for (RFC 5246 §7.4.1.1) holds the data back
    // until the peer's half of the new handshake has been fed.
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) Fail(e);
    return 0;
}

Progress TOpenSslSession::Decrypt(std::string& plain) {
    if (Failed()) return Progress::Failed;
    std::array<char, TTlsChannel::kMaxRecord> chunk;
    for (;;) {
        ERR_clear_error();
        const int r = SSL_read(h_.ssl, chunk.data(), static_cast<int>(chunk.size()));
        if (r > 0) {
            plain.append(chunk.data(), static_cast<size_t>(r));
            continue;
        }
        const int e = SSL_get_error(h_.ssl, r);
        // Reading may produce records of our own (TLS 1.3 key updates, alerts, the
        // ClientHello that answers a TLS 1.2 HelloRequest).
        CollectOutput();
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return Progress::NeedInput;
        if (e == SSL_ERROR_ZERO_RETURN) return Progress::Done;
        Fail(e);
        return Progress::Failed;
    }
}

namespace {

ITlsSession* Create(const std::string& serverName, const std::string& trustFile, std::string& error) {
    try {
        return new TOpenSslSession(serverName, trustFile);
    } catch (const ESockError& e) {
        error = e.Message();
    } catch (const std::bad_alloc&) {
        error = std::string(kSetupFailed) + kSetupOutOfMemory;
    }
    return nullptr;
}

const TTlsModule kModule{kTlsModuleAbi, &Create};

} // namespace

} // namespace kelvo

extern "C" __attribute__((visibility("default"))) const kelvo::TTlsModule* kelvo_tls_module() {
    return &kelvo::kModule;
}
