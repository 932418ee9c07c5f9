// The TLS module's interface: one client session behind TTlsChannel, implemented with OpenSSL inside the module, so the program loads OpenSSL only for its first TLS connection.
#pragma once

#include "net/tls_channel.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvo {

// What TTlsChannel forwards to; each call as TTlsChannel's of the same name.
class ITlsSession {
public:
    virtual ~ITlsSession() = default;
    virtual TTlsChannel::Progress Handshake() = 0;
    virtual bool Established() const = 0;
    virtual void Feed(const char* data, size_t length) = 0;
    virtual std::string& Output() = 0;
    virtual size_t Encrypt(const char* data, size_t length) = 0;
    virtual TTlsChannel::Progress Decrypt(std::string& plain) = 0;
    virtual const std::string& FailureText() const = 0;
};

struct TTlsModule {
    // Changed with every change of this structure or of ITlsSession.
    uint32_t Abi;
    // A session for `serverName` that trusts the certificates in `trustFile` (empty:
    // the system's store). Errors do not cross the module's boundary as exceptions:
    // on failure it returns nullptr with the message in `error`.
    ITlsSession* (*Create)(const std::string& serverName, const std::string& trustFile, std::string& error);
};

inline constexpr uint32_t kTlsModuleAbi = 1;
// The module's one exported symbol: a function returning its TTlsModule.
inline constexpr const char* kTlsModuleEntry = "kelvo_tls_module";

// The program's TLS module, loaded on first use. Raises ESockError, as a failed TLS
// set-up, when it is missing or unusable.
const TTlsModule& TlsModule();
// The same for the module at `path`.
const TTlsModule& OpenTlsModule(const std::string& path);

} // namespace kelvo
