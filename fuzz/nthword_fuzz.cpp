// Fuzzes NthWord and the session's recipient address extraction (TKivSMTP::ExtractAddress) against a model
// that splits the text into fields first and then picks one.
#include "mail/smtp.h"
#include "net/header_list.h"
#include "support/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

namespace {

using kelvo::fuzz::Show;

std::vector<std::string> Fields(const std::string& text, char delimiter) {
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == delimiter)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

std::string ModelNthWord(const std::string& text, char delimiter, int32_t n) {
    const std::vector<std::string> fields = Fields(text, delimiter);
    if (n < 1 || static_cast<size_t>(n) > fields.size()) return {};
    return fields[static_cast<size_t>(n) - 1];
}

// The mailbox of a recipient entry: inside the first angle brackets, else behind
// the first colon, else the entry itself.
std::string ModelAddress(const std::string& entry) {
    const auto lt = entry.find('<');
    if (lt != std::string::npos) {
        std::string rest = entry.substr(lt + 1);
        rest = rest.substr(0, rest.find('<'));
        return rest.substr(0, rest.find('>'));
    }
    const auto colon = entry.find(':');
    if (colon != std::string::npos) {
        std::string rest = entry.substr(colon + 1);
        return rest.substr(0, rest.find(':'));
    }
    return entry;
}

// The extraction as the session composes it from NthWord.
std::string AddressByNthWord(const std::string& entry) {
    if (entry.find('<') != std::string::npos) return kelvo::NthWord(kelvo::NthWord(entry, '<', 2), '>', 1);
    if (entry.find(':') != std::string::npos) return kelvo::NthWord(entry, ':', 2);
    return entry;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const char delimiter = static_cast<char>(in.ConsumeIntegral<uint8_t>());
    // Mostly small field numbers, sometimes anything a 32-bit value can hold.
    int32_t n = in.ConsumeIntegral<int32_t>();
    if (in.ConsumeBool()) n = static_cast<int32_t>(static_cast<uint32_t>(n) % 8) - 1;
    const std::string text = in.ConsumeRemainingBytesAsString();

    const std::string got = kelvo::NthWord(text, delimiter, n);
    const std::string want = ModelNthWord(text, delimiter, n);
    FUZZ_CHECK(got == want, "NthWord(" + Show(text) + ", " + std::to_string(static_cast<unsigned char>(delimiter)) +
                                ", " + std::to_string(n) + ") = " + Show(got) + ", model " + Show(want));
    FUZZ_CHECK(got.find(delimiter) == std::string::npos, "delimiter in the field");

    const std::string address = AddressByNthWord(text);
    const std::string wantAddress = ModelAddress(text);
    FUZZ_CHECK(address == wantAddress,
               "address of " + Show(text) + " = " + Show(address) + ", model " + Show(wantAddress));
    const std::string session = kelvo::TKivSMTP::ExtractAddress(text);
    FUZZ_CHECK(session == wantAddress,
               "ExtractAddress(" + Show(text) + ") = " + Show(session) + ", model " + Show(wantAddress));
    // A mailbox taken from brackets never carries a bracket into the RCPT command.
    if (text.find('<') != std::string::npos)
        FUZZ_CHECK(address.find_first_of("<>") == std::string::npos, Show(address));
    return 0;
}
