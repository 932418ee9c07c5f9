// Header field values as RFC 5322 wants them on the wire: folded lines, RFC 2047
// encoded words for text that is not plain US-ASCII, quoted display names.
#pragma once

#include <string>
#include <vector>

namespace kelvo {

// Lines are folded to this many characters where a fold point exists (RFC 5322
// §2.1.1); a line that holds an encoded word is kept to 76 (RFC 2047 §2).
inline constexpr size_t kFoldedLineLength = 78;
inline constexpr size_t kEncodedLineLength = 76;

// Builds the value of one header field, folding (CR LF and a blank) as pieces are
// added. The field starts as "Name:"; Value() is what follows "Name: ".
class THeaderFolder {
public:
    explicit THeaderFolder(const std::string& name);

    // Adds text that is never split. `lead` is the white space in front of it: a fold
    // goes before its last blank, so unfolding gives back the text unchanged. With an
    // empty lead, `breakable` allows a fold that adds a blank (after a list's comma).
    void Add(const std::string& lead, const std::string& text, bool breakable = false);
    // Adds `text` (UTF-8 when charset is utf-8) as B encoded words, each sized to the
    // room left on its line; `lead` goes before the first.
    void AddEncoded(const std::string& lead, const std::string& text, const std::string& charset);

    // Folds here (after a list's comma) when fewer than `length` characters are left.
    void BreakUnlessRoom(size_t length);

    // Adds a display name as encoded words, cut at its blanks where it needs more
    // than one.
    void AddEncodedPhrase(const std::string& lead, const std::string& text, const std::string& charset);

    // Everything after "Name: ", folds included.
    std::string Value() const;

private:
    void Fold();
    std::string out_;
    size_t column_ = 0;
    size_t valueStart_ = 0;
    bool empty_ = true;
};

// Unstructured text (Subject, X-Mailer): plain when a reader gives it back as it is,
// else encoded words (text that is not US-ASCII, has control characters, leading
// blanks, something that reads as an encoded word, or a word too long for a line).
std::string UnstructuredValue(const std::string& name, const std::string& text, const std::string& charset);

// An address list ("To", "CC", "Reply-To") from its entries, joined by "," and
// folded after the commas. Display names that are not US-ASCII become encoded
// words; ASCII ones with specials such as '.' or ',' are quoted (RFC 5322 §3.2.5).
std::string AddressListValue(const std::string& name, const std::vector<std::string>& entries,
                             const std::string& charset);

// The "From" value for a display name and a mailbox: name directly followed by the
// bracketed mailbox when the name is a plain phrase, quoted or encoded otherwise.
std::string SenderValue(const std::string& name, const std::string& address, const std::string& charset);

// Splits a header value such as Reply-To at the commas that separate its addresses
// (not those inside quotes or angle brackets).
std::vector<std::string> SplitAddressList(const std::string& value);

// True when a display name has to be quoted to stand as a phrase.
bool PhraseNeedsQuotes(const std::string& name);

} // namespace kelvo
