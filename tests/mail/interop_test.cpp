// Every composed message is read back by an independent implementation: Python's email package.
#include "mail/composer.h"
#include "mail/runtime_random.h"
#include "tests/mail/support/mail_test_support.h"

#include <QJsonArray>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kelvo;
using namespace kelvo::test;

namespace {

struct Attachment {
    std::string name;
    std::string data;
};

struct Scenario {
    std::string title;
    std::vector<std::string> body;
    std::vector<Attachment> attachments;
    TSubType subType = mtPlain;
    UUMethods encoding = uuMime;
    std::string subject = "Feedback";
    std::string fromName = "Ann Lee";
};

std::string S(const QJsonValue& v) { return v.toString().toStdString(); }

// The text as the reader should see it: every entry's line breaks as LF, one LF a line.
std::string ExpectedText(const std::vector<std::string>& body) {
    std::string out;
    for (const auto& entry : body) {
        for (size_t i = 0; i < entry.size(); ++i) {
            if (entry[i] == '\r' && i + 1 < entry.size() && entry[i + 1] == '\n') continue;
            out += entry[i] == '\r' ? '\n' : entry[i];
        }
        out += '\n';
    }
    return out;
}

std::string Lf(std::string s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
    return out;
}

void CheckScenario(const Scenario& sc) {
    SCOPED_TRACE(sc.title);
    TempDir dir;
    TMailComposer c;
    TPostMessage& m = c.PostMessage();
    m.SetFromName(sc.fromName);
    m.SetFromAddress("ann@example.org");
    m.ToAddress().Add("bob@example.net");
    m.ToAddress().Add("Carl <carl@example.net>");
    m.ToCarbonCopy().Add("dora@example.com");
    m.ToBlindCarbonCopy().Add("eve@example.com");
    m.SetSubject(sc.subject);
    m.SetLocalProgram("Kelvo feedback");
    m.SetReplyTo("ann@example.org");
    m.SetDate("Mon, 07 Dec 2026 09:00:00 +0000");
    for (const auto& line : sc.body) m.Body().Add(line);
    for (const auto& a : sc.attachments) m.Attachments().Add(dir.File(a.name, a.data));
    c.SetSubType(sc.subType);
    c.SetEncodeType(sc.encoding);
    c.BuildMessage();

    const QJsonObject r = ParseWithPython(ReceivedMessage(WireData(c)), dir);
    ASSERT_FALSE(r.isEmpty());
    EXPECT_TRUE(r["defects"].toArray().isEmpty()) << S(r["defects"].toArray().at(0));
    const QJsonObject h = r["headers"].toObject();
    EXPECT_EQ(S(r["from_name"]), sc.fromName);
    EXPECT_EQ(S(r["from_addr"]), "ann@example.org");
    EXPECT_EQ(S(h["To"]), "bob@example.net, Carl <carl@example.net>");
    EXPECT_EQ(S(h["CC"]), "dora@example.com");
    EXPECT_FALSE(h.contains("Bcc"));
    EXPECT_EQ(S(h["Subject"]), sc.subject);
    EXPECT_EQ(S(h["X-Mailer"]), "Kelvo feedback");
    EXPECT_EQ(S(h["Reply-To"]), "ann@example.org");
    EXPECT_EQ(S(h["Date"]), "Mon, 07 Dec 2026 09:00:00 +0000");
    EXPECT_EQ(S(h["Mime-Version"]), "1.0");

    const QJsonArray parts = r["parts"].toArray();
    const std::string text = ExpectedText(sc.body);
    if (sc.attachments.empty()) {
        static const char* const types[] = {"text/plain", "text/enriched", "text/sgml", "text/tab-separated-values",
                                            "text/html"};
        EXPECT_EQ(S(r["content_type"]), types[sc.subType]);
        ASSERT_EQ(parts.size(), 1);
        // The session sends two CR LF pairs after the header lines, so the text as
        // received starts with one empty line.
        EXPECT_EQ(Lf(S(parts[0].toObject()["text"])), "\n" + text);
        return;
    }
    EXPECT_EQ(S(r["content_type"]), "multipart/mixed");
    EXPECT_EQ(S(r["preamble"]), "");
    ASSERT_EQ(parts.size(), static_cast<qsizetype>(sc.attachments.size() + 1));
    const QJsonObject first = parts[0].toObject();
    EXPECT_EQ(S(first["content_type"]), "text/plain");
    EXPECT_TRUE(first["defects"].toArray().isEmpty());
    // The CR LF before a delimiter belongs to the delimiter (RFC 2046 §5.1.1).
    EXPECT_EQ(Lf(S(first["text"])) + (text.empty() ? "" : "\n"), text);
    for (size_t i = 0; i < sc.attachments.size(); ++i) {
        const QJsonObject p = parts[static_cast<qsizetype>(i + 1)].toObject();
        EXPECT_EQ(S(p["content_type"]), "application/octet-stream");
        EXPECT_EQ(S(p["filename"]), sc.attachments[i].name);
        EXPECT_TRUE(p["defects"].toArray().isEmpty()) << sc.attachments[i].name;
        EXPECT_EQ(FromHex(S(p["data_hex"])), sc.attachments[i].data) << sc.attachments[i].name;
    }
}

const std::vector<std::string> kDotLines{"Hello,", ".", "..", ".leading dot", "", "end."};

} // namespace

TEST(Interop, EverySubTypeIsReadBackByPython) {
    for (const TSubType t : {mtPlain, mtEnriched, mtSgml, mtTabSeperated, mtHtml})
        CheckScenario({"subtype " + std::to_string(int(t)), kDotLines, {}, t});
}

TEST(Interop, EmptyBodiesAndDotLinesAreReadBack) {
    CheckScenario({"empty body", {}, {}});
    CheckScenario({"one empty line", {""}, {}});
    CheckScenario({"dot lines", {".", "..", "...", ". x"}, {}});
    CheckScenario({"empty body with attachment", {}, {{"a.bin", "x"}}});
}

TEST(Interop, AttachmentsDecodeByteForByte) {
    const std::vector<Attachment> three{
        {"bytes.bin", AllByteValues()}, {"empty.dat", ""}, {"random.bin", RandomBytes(100003, 7)}};
    CheckScenario({"one attachment", kDotLines, {{"all256.bin", AllByteValues()}}});
    CheckScenario({"three attachments", kDotLines, three});
    CheckScenario({"three attachments, html subtype", kDotLines, three, mtHtml});
    CheckScenario({"three uuencoded attachments", kDotLines, three, mtPlain, uuCode});
    // 14 bytes make the length character '.', which must survive the receiver's
    // removal of a leading dot.
    CheckScenario({"uuencoded line starting with a dot", {"x"},
                   {{"14.bin", RandomBytes(14, 1)}, {"59.bin", RandomBytes(59, 2)}, {"45.bin", RandomBytes(45, 3)}},
                   mtPlain, uuCode});
}

TEST(Interop, TypedNonAsciiTextIsReadBackExactly) {
    const std::vector<std::string> body{"Caf\xC3\xA9 cr\xC3\xA8me", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", ".\xC3\xA9",
                                        "trailing space ", "tab\tinside\t", "= sign", std::string(1200, 'x'),
                                        std::string(500, ' ') + "\xC3\xA9" + std::string(500, '.')};
    const std::string subject = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xC3\xA9t\xC3\xA9 - a longer subject "
                                "\xE2\x9C\x93 that needs several encoded words \xE2\x9C\x93\xE2\x9C\x93";
    CheckScenario({"non-ascii single part", body, {}, mtPlain, uuMime, subject, "J\xC3\xB6rg M\xC3\xBCller"});
    CheckScenario({"non-ascii multipart", body, {{"r\xC3\xA9sum\xC3\xA9.txt", "ok"}}, mtHtml, uuMime, subject,
                   "\xE5\xB1\xB1\xE7\x94\xB0"});
    CheckScenario({"long ascii line", {std::string(999, 'y'), "z"}, {}});
}

TEST(Interop, HostileBodiesAndNamesAreReadBackAsTyped) {
    CheckScenario({"line breaks inside entries", {"a\n.\nMAIL FROM:<x>", "b\r\n.\r\nQUIT", "c\rd"}, {}});
    for (const std::string name : {"Doe, John", "Ann (QA) <boss@x>", "say \"hi\" \\ bye", "J. R. Doe", "a;b:c@d[e]"})
        CheckScenario({"sender name " + name, {"x"}, {}, mtPlain, uuMime, "Feedback", name});
    CheckScenario({"line breaks inside entries, multipart", {"a\n.\nMAIL FROM:<x>"}, {{"f", "1"}}});
    SetRandSeed(0);
    CheckScenario({"text holding the next boundary",
                   {"--====================54535aavfgq====", "--====================54535aavfgq====--"},
                   {{"f.bin", "12345"}, {"g.bin", "6"}}});
    CheckScenario({"quotes and backslashes in names", {"x"},
                   {{"say \"hi\".txt", "a"}, {"back\\slash.txt", "b"}, {"semi;colon = x.txt", "c"}}});
}
