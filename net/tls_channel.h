// TTlsChannel: a TLS client session that works on byte buffers (OpenSSL memory BIOs, inside the TLS module), so the socket client keeps doing all socket I/O and waiting.
//
// The channel never touches a socket. The owner moves bytes: ciphertext that arrived
// goes in through Feed, ciphertext to send comes out through Output/Consume, and
// plaintext passes through Encrypt and Decrypt. Certificates are always verified
// against the trust store and the name the caller connected to, as the certificate's
// subjectAltName gives it (RFC 9525: no fall-back to the subject's CN); there is no way
// to switch that off.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace kelvo {

class ITlsSession;

class TTlsChannel {
public:
    // A client session for `serverName` (a host name or a dotted IPv4 address), TLS 1.2
    // or newer. Raises ESockError when OpenSSL cannot set one up, or when the TLS
    // module (loaded with the first session) is missing.
    explicit TTlsChannel(const std::string& serverName);
    ~TTlsChannel();
    TTlsChannel(const TTlsChannel&) = delete;
    TTlsChannel& operator=(const TTlsChannel&) = delete;

    enum class Progress { Done, NeedInput, Failed };

    // Drives the handshake as far as the bytes fed so far allow.
    Progress Handshake();
    bool Established() const;

    // Ciphertext that arrived from the peer.
    void Feed(const char* data, size_t length);
    // Ciphertext waiting to be sent; Consume drops what the socket took.
    const std::string& Output() const;
    void Consume(size_t length);

    // Encrypts up to one record of plaintext into Output; returns how much it took:
    // nothing while a renegotiation waits for the peer (Decrypt drives it on).
    size_t Encrypt(const char* data, size_t length);
    // Decrypts what was fed so far and appends the plaintext to `plain`. Returns
    // Failed on a protocol error (see FailureText) and Done once the peer has sent
    // its close_notify; NeedInput otherwise.
    Progress Decrypt(std::string& plain);

    // Why the channel failed, for an error message: a certificate's fault named as
    // "certificate has expired", "host name mismatch", "self-signed certificate", ...
    const std::string& FailureText() const;
    bool Failed() const { return !FailureText().empty(); }

    // The most plaintext one Encrypt call takes (one TLS record, RFC 8446 §5.1).
    static constexpr size_t kMaxRecord = 16384;

private:
    std::unique_ptr<ITlsSession> session_;
};

// Tests only: trust the certificates in this PEM file instead of the system's store.
// An empty path returns to the system's store. Nothing in the program calls it.
void SetTlsTrustFileForTesting(const std::string& pemFile);

} // namespace kelvo
