// TTlsChannel: the program's side of a TLS session, forwarding to the TLS module, which it loads with the first session.
#include "net/tls_channel.h"

#include "net/tls_session.h"
#include "net/tls_texts.h"
#include "platform/exceptions.h"
#include "platform/module.h"

#include <algorithm>

#ifdef KELVO_TLS_BUILT_IN
extern "C" const kelvo::TTlsModule* kelvo_tls_module();
#endif

namespace kelvo {

namespace {

std::string& TrustFile() {
    static std::string file;
    return file;
}

} // namespace

void SetTlsTrustFileForTesting(const std::string& pemFile) { TrustFile() = pemFile; }

const TTlsModule& OpenTlsModule(const std::string& path) {
    std::string error;
    const auto* module = static_cast<const TTlsModule*>(LoadModule(path, kTlsModuleEntry, error));
    if (module == nullptr)
        throw ESockError(std::string(tls_text::kSetupFailed) + "the TLS module " + path + " cannot be used: " + error);
    if (module->Abi != kTlsModuleAbi) {
        throw ESockError(std::string(tls_text::kSetupFailed) + "the TLS module " + path +
                         " belongs to another version of Kelvo");
    }
    return *module;
}

const TTlsModule& TlsModule() {
#ifdef KELVO_TLS_BUILT_IN
    return *kelvo_tls_module();
#else
    return OpenTlsModule(ModulePath("kelvo_tls.so"));
#endif
}

TTlsChannel::TTlsChannel(const std::string& serverName) {
    std::string error;
    session_.reset(TlsModule().Create(serverName, TrustFile(), error));
    if (!session_) throw ESockError(error);
}

TTlsChannel::~TTlsChannel() = default;

TTlsChannel::Progress TTlsChannel::Handshake() { return session_->Handshake(); }

bool TTlsChannel::Established() const { return session_->Established(); }

void TTlsChannel::Feed(const char* data, size_t length) { session_->Feed(data, length); }

const std::string& TTlsChannel::Output() const { return session_->Output(); }

void TTlsChannel::Consume(size_t length) {
    std::string& output = session_->Output();
    output.erase(0, std::min(length, output.size()));
}

size_t TTlsChannel::Encrypt(const char* data, size_t length) { return session_->Encrypt(data, length); }

TTlsChannel::Progress TTlsChannel::Decrypt(std::string& plain) { return session_->Decrypt(plain); }

const std::string& TTlsChannel::FailureText() const { return session_->FailureText(); }

} // namespace kelvo
