// Header field values for the wire: folding, encoded words for non-ASCII text, quoted display names.
#include "mail/header_text.h"

#include "mail/mime_text.h"
#include "platform/string_list.h"

#include <algorithm>

namespace kelvo {

namespace {

// A word longer than this could not share a line of 998 octets with its field name.
constexpr size_t kLongestPlainRun = 900;
constexpr size_t kLongestBlankRun = 40;
constexpr size_t kLongestEncodedWord = 75;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool HasControl(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 32 && c != '\t') || u == 127;
    });
}

// Text a reader would not give back as it was when written plainly: 8-bit or control
// characters (RFC 5322 §3.2.5 allows neither), or something that looks like an
// encoded word and would be decoded (RFC 2047 §6.1).
bool NeedsEncoding(const std::string& text) {
    // A NUL is never hidden in an encoded word: left in sight, the session refuses the
    // whole header, as it does for every NUL.
    if (text.find('\0') != std::string::npos) return false;
    return !IsSevenBitClean(text) || HasControl(text) || text.find("=?") != std::string::npos;
}

// A word too long for a line of 998 octets, or blanks too many for one of 78: a
// fold between blanks would leave a line of blanks alone, which RFC 5322 §3.2.2
// forbids.
bool HasLongRun(const std::string& text) {
    size_t run = 0;
    bool blank = false;
    for (const char c : text) {
        run = (IsBlank(c) == blank) ? run + 1 : 1;
        blank = IsBlank(c);
        if (run > (blank ? kLongestBlankRun : kLongestPlainRun)) return true;
    }
    return false;
}

bool IsUtf8(const std::string& charset) {
    return CompareText(charset, "utf-8") == 0 || CompareText(charset, "utf8") == 0;
}

// Adds text as pieces split at its blanks, each run of blanks the lead of the word
// after it.
// `suffix` is glued to the last word, so a fold can still go before that word.
void AddWords(THeaderFolder& folder, const std::string& lead, const std::string& text,
              const std::string& suffix = std::string()) {
    size_t i = 0;
    std::string blanks = lead;
    while (i < text.size()) {
        while (i < text.size() && IsBlank(text[i])) blanks += text[i++];
        const size_t start = i;
        while (i < text.size() && !IsBlank(text[i])) ++i;
        const bool last = text.find_first_not_of(" \t", i) == std::string::npos;
        if (i > start) folder.Add(blanks, text.substr(start, i - start) + (last ? suffix : std::string()));
        blanks.clear();
    }
}

// A whole RFC 5322 quoted-string: quotes at both ends, none unescaped between, and
// no backslash left without the character it escapes.
bool IsQuotedString(const std::string& text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == '\\') {
            if (i + 2 >= text.size()) return false;
            ++i;
        } else if (text[i] == '"') {
            return false;
        }
    }
    return true;
}

std::string Unquote(const std::string& quoted) {
    std::string out;
    for (size_t i = 1; i + 1 < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 2 < quoted.size()) ++i;
        out += quoted[i];
    }
    return out;
}

// Adds a display name: `raw` is the name itself, `quoted` how a list entry wrote it
// in quotes already (empty when it did not).
// `glued` follows the name without a blank (the "<mailbox>" of "Name<mailbox>").
void AddDisplayName(THeaderFolder& folder, const std::string& lead, const std::string& quoted, const std::string& raw,
                    const std::string& charset, const std::string& glued) {
    if (NeedsEncoding(raw)) {
        folder.AddEncodedPhrase(lead, raw, charset);
        // An encoded word has to stand apart from the '<' (RFC 2047 §5).
        folder.Add(" ", glued);
    } else if (!quoted.empty()) {
        folder.Add(lead, quoted + glued);
    } else if (PhraseNeedsQuotes(raw)) {
        // Folding white space may stand inside a quoted string (RFC 5322 §3.2.4).
        AddWords(folder, lead, QuotedParameterValue(raw), glued);
    } else {
        AddWords(folder, lead, raw, glued);
    }
}

// The first '<' that is not inside a quoted string (where it belongs to the name).
size_t FindMailboxStart(const std::string& entry) {
    bool quoted = false;
    for (size_t i = 0; i < entry.size(); ++i) {
        const char c = entry[i];
        if (quoted && c == '\\') {
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == '<') {
            return i;
        }
    }
    // A quote that never closes quotes nothing: the name is then quoted as a whole.
    return quoted ? entry.find('<') : std::string::npos;
}

// One entry of an address list, optionally followed by the list's comma. The entry
// keeps its own spelling unless its display name has to be quoted or encoded.
void AddMailbox(THeaderFolder& folder, const std::string& entry, bool first, bool comma, const std::string& charset) {
    const std::string tail = comma ? "," : "";
    const size_t lt = FindMailboxStart(entry);
    const size_t nameStart = entry.find_first_not_of(" \t");
    if (lt == std::string::npos || nameStart == std::string::npos || nameStart >= lt) {
        folder.Add("", entry + tail, !first);
        return;
    }
    const size_t nameEnd = entry.find_last_not_of(" \t", lt - 1) + 1;
    const std::string written = entry.substr(nameStart, nameEnd - nameStart);
    const bool quoted = IsQuotedString(written);
    const std::string raw = quoted ? Unquote(written) : written;
    // The fold after the previous comma goes in front of the name.
    if (!first) {
        size_t firstPiece = 20; // room for an encoded word worth starting
        if (!NeedsEncoding(raw))
            firstPiece = quoted || PhraseNeedsQuotes(raw) ? written.size() + 2 : written.find_first_of(" \t");
        folder.BreakUnlessRoom(std::min(firstPiece, written.size() + 2));
    }
    const std::string gap = entry.substr(nameEnd, lt - nameEnd);
    const std::string mailbox = entry.substr(lt) + tail;
    if (gap.empty() || NeedsEncoding(raw)) {
        AddDisplayName(folder, "", quoted ? written : std::string(), raw, charset, mailbox);
    } else {
        AddDisplayName(folder, "", quoted ? written : std::string(), raw, charset, "");
        folder.Add(gap, mailbox);
    }
}

} // namespace

THeaderFolder::THeaderFolder(const std::string& name)
    : out_(name + ": "), column_(name.size() + 2), valueStart_(out_.size()) {}

void THeaderFolder::Fold() {
    out_ += "\r\n";
    column_ = 0;
}

void THeaderFolder::BreakUnlessRoom(size_t length) {
    if (!empty_ && column_ + length > kFoldedLineLength) {
        Fold();
        out_ += ' ';
        column_ = 1;
    }
}

void THeaderFolder::Add(const std::string& lead, const std::string& text, bool breakable) {
    const bool canFold = !empty_ && (!lead.empty() || breakable);
    if (canFold && column_ + lead.size() + text.size() > kFoldedLineLength) {
        if (lead.empty()) {
            Fold();
            out_ += ' ';
            column_ = 1;
        } else {
            // The fold goes inside the run of blanks, at least one of them starting the
            // next line; the rest stay on this line as far as it has room.
            const size_t room = column_ < kFoldedLineLength ? kFoldedLineLength - column_ : 0;
            const size_t keep = std::min(lead.size() - 1, room);
            out_.append(lead, 0, keep);
            Fold();
            out_.append(lead, keep, std::string::npos);
            column_ = lead.size() - keep;
        }
    } else {
        out_ += lead;
        column_ += lead.size();
    }
    out_ += text;
    column_ += text.size();
    if (!text.empty()) empty_ = false;
}

void THeaderFolder::AddEncoded(const std::string& lead, const std::string& text, const std::string& charset) {
    const std::string prefix = "=?" + charset + "?B?";
    const size_t overhead = prefix.size() + 2;
    const bool utf8 = IsUtf8(charset);
    std::string blank = lead;
    size_t i = 0;
    while (i < text.size()) {
        const size_t used = column_ + blank.size();
        const size_t room = std::min(kLongestEncodedWord, used < kEncodedLineLength ? kEncodedLineLength - used : 0);
        const size_t bytes = room > overhead ? (room - overhead) / 4 * 3 : 0;
        const size_t limit = std::min(text.size(), i + bytes);
        size_t end = limit;
        // UTF-8 is cut only between characters (RFC 2047 §5); text that is no UTF-8
        // (a run of continuation bytes) is cut where the room ends.
        if (utf8) {
            while (end > i && end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
            if (end == i && limit - i >= 4) end = limit;
        }
        if (end == i) {
            if (!empty_ && column_ > 1) {
                // Nothing fits on this line: the word starts the next one.
                if (!blank.empty()) out_.append(blank, 0, blank.size() - 1);
                Fold();
                blank = " ";
                continue;
            }
            // Not even a fresh line has room (a very long charset name): one character.
            end = i + 1;
            if (utf8)
                while (end < text.size() && end < i + 4 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
                    ++end;
        }
        const std::string word = prefix + Base64(text.substr(i, end - i)) + "?=";
        out_ += blank + word;
        column_ += blank.size() + word.size();
        empty_ = false;
        blank = " ";
        i = end;
    }
}

void THeaderFolder::AddEncodedPhrase(const std::string& lead, const std::string& text, const std::string& charset) {
    // Readers disagree on the blank between two encoded words of a phrase: RFC 2047
    // §6.2 drops it, Python's email package keeps it. A phrase that fits one word
    // avoids the question; a longer one is cut at its own blanks, each cut blank
    // written between the words, so the common reading gives the name back.
    const size_t overhead = charset.size() + 6;
    size_t i = 0;
    std::string blank = lead;
    while (i < text.size()) {
        const size_t used = column_ + blank.size();
        size_t room = std::min(kLongestEncodedWord, used < kEncodedLineLength ? kEncodedLineLength - used : 0);
        if (room < overhead + 12 && !empty_) {
            if (!blank.empty()) out_.append(blank, 0, blank.size() - 1);
            Fold();
            blank = " ";
            room = kLongestEncodedWord;
        }
        const size_t bytes = room > overhead ? (room - overhead) / 4 * 3 : 0;
        size_t end = text.size();
        size_t next = end;
        if (text.size() - i > bytes) {
            const size_t cut = text.rfind(' ', i + bytes);
            if (cut != std::string::npos && cut > i) {
                end = cut;
                next = cut + 1;
            } else {
                // One word longer than an encoded word: cut inside it.
                const size_t space = text.find(' ', i);
                end = next = space == std::string::npos ? text.size() : space;
                if (space != std::string::npos) next = space + 1;
            }
        }
        AddEncoded(blank, text.substr(i, end - i), charset);
        blank = " ";
        i = next;
    }
}

std::string THeaderFolder::Value() const { return out_.substr(valueStart_); }

bool PhraseNeedsQuotes(const std::string& name) {
    // RFC 5322 §3.2.3 specials, which an atom may not hold; a '.' in a phrase is only
    // obsolete syntax (§4.1). Blanks at the ends or doubled are kept only in quotes.
    return name.find_first_of("()<>[]:;@\\,.\"") != std::string::npos || name.find("  ") != std::string::npos ||
           name.find('\t') != std::string::npos || (!name.empty() && (IsBlank(name.front()) || IsBlank(name.back())));
}

std::string UnstructuredValue(const std::string& name, const std::string& text, const std::string& charset) {
    THeaderFolder folder(name);
    // Readers drop the blanks that start a field's value (RFC 5322 §3.2.2 folding
    // white space); in an encoded word they are kept.
    if (NeedsEncoding(text) || HasLongRun(text) || (!text.empty() && (IsBlank(text.front()) || IsBlank(text.back()))))
        folder.AddEncoded("", text, charset);
    else
        AddWords(folder, "", text);
    return folder.Value();
}

std::string AddressListValue(const std::string& name, const std::vector<std::string>& entries,
                             const std::string& charset) {
    THeaderFolder folder(name);
    for (size_t i = 0; i < entries.size(); ++i) AddMailbox(folder, entries[i], i == 0, i + 1 < entries.size(), charset);
    return folder.Value();
}

std::string SenderValue(const std::string& name, const std::string& address, const std::string& charset) {
    THeaderFolder folder("From");
    const std::string mailbox = "<" + address + ">";
    if (name.empty()) {
        folder.Add("", mailbox);
        return folder.Value();
    }
    AddDisplayName(folder, "", std::string(), name, charset, mailbox);
    return folder.Value();
}

std::vector<std::string> SplitAddressList(const std::string& value) {
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false;
    int angle = 0;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quoted && c == '\\' && i + 1 < value.size()) {
            cur += c;
            cur += value[++i];
            continue;
        }
        if (c == '"') quoted = !quoted;
        if (!quoted && c == '<') ++angle;
        if (!quoted && c == '>' && angle > 0) --angle;
        if (!quoted && angle == 0 && c == ',') {
            out.push_back(cur);
            cur.clear();
            continue;
        }
        cur += c;
    }
    out.push_back(cur);
    for (auto& e : out) {
        const size_t s = e.find_first_not_of(" \t");
        e = s == std::string::npos ? std::string() : e.substr(s);
    }
    std::erase_if(out, [](const std::string& e) { return e.empty(); });
    return out;
}

} // namespace kelvo
