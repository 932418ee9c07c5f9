// Every composed message is read back by an independent implementation: Python's email package.
#include "mail/composer.h"
#include "mail/runtime_random.h"
#include "tests/mail/support/mail_test_support.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>

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

bool IsAscii(const std::string& s) {
    for (const char c : s)
        if (static_cast<unsigned char>(c) >= 128) return false;
    return true;
}

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
    CheckScenario({"uuencoded line starting with a dot",
                   {"x"},
                   {{"14.bin", RandomBytes(14, 1)}, {"59.bin", RandomBytes(59, 2)}, {"45.bin", RandomBytes(45, 3)}},
                   mtPlain,
                   uuCode});
}

TEST(Interop, TypedNonAsciiTextIsReadBackExactly) {
    // clang-format off
    const std::vector<std::string> body{"Caf\xC3\xA9 cr\xC3\xA8me", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", ".\xC3\xA9",
                                        "trailing space ", "tab\tinside\t", "= sign", std::string(1200, 'x'),
                                        // clang-format on
                                        std::string(500, ' ') + "\xC3\xA9" + std::string(500, '.')};
    const std::string subject = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xC3\xA9t\xC3\xA9 - a longer subject "
                                "\xE2\x9C\x93 that needs several encoded words \xE2\x9C\x93\xE2\x9C\x93";
    CheckScenario({"non-ascii single part", body, {}, mtPlain, uuMime, subject, "J\xC3\xB6rg M\xC3\xBCller"});
    // clang-format off
    CheckScenario({"non-ascii multipart", body, {{"r\xC3\xA9sum\xC3\xA9.txt", "ok"}}, mtHtml, uuMime, subject,
                   // clang-format on
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
    CheckScenario({"quotes and backslashes in names",
                   {"x"},
                   {{"say \"hi\".txt", "a"}, {"back\\slash.txt", "b"}, {"semi;colon = x.txt", "c"}}});
}

namespace {

// The header block as it goes out, split into its physical lines.
std::vector<std::string> HeaderLines(TMailComposer& c) {
    std::vector<std::string> lines;
    const std::string wire = WireData(c);
    const std::string block = wire.substr(0, wire.find("\r\n\r\n"));
    for (size_t pos = 0; pos <= block.size();) {
        const size_t end = std::min(block.find("\r\n", pos), block.size());
        lines.push_back(block.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

std::string Words(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += (i ? " word" : "word") + std::to_string(i);
    return out;
}

} // namespace

TEST(Interop, LongAndNonAsciiHeaderFieldsAreFoldedAndReadBackAsGiven) {
    struct Row {
        const char* scenario;
        std::string subject, program, fromName;
        std::vector<std::string> to;
    };
    std::vector<std::string> sixty;
    for (int i = 0; i < 60; ++i) sixty.push_back("person" + std::to_string(i) + "@example.org");
    std::vector<std::string> named;
    for (int i = 0; i < 12; ++i)
        named.push_back("J\xC3\xB6rg Nr. " + std::to_string(i) + " <j" + std::to_string(i) + "@x.org>");
    const std::vector<Row> rows{
        {"300 x e-acute", Repeat("\xC3\xA9", 300), "Kelvo", "Ann", {"a@x.org"}},
        {"1,509 ascii characters in words", Words(180).substr(0, 1509), "Kelvo", "Ann", {"a@x.org"}},
        {"one ascii word too long for any line", std::string(1200, 'w'), "Kelvo", "Ann", {"a@x.org"}},
        {"long blank runs", "a" + std::string(100, ' ') + "b\t\tc", "Kelvo", "Ann", {"a@x.org"}},
        {"60 recipients", "Hi", "Kelvo", "Ann", sixty},
        {"non-ascii names in a long list", "Hi", "Kelvo \xE2\x80\x93 \xC3\x9C" + Repeat(" \xE2\x9C\x93", 40),
         Repeat("\xE5\xB1\xB1\xE7\x94\xB0\xE5\xA4\xAA\xE9\x83\x8E ", 12) + "Jr.", named},
        {"leading blanks and encoded-word look-alike", "   three blanks =?utf-8?Q?x?= kept", "  x", "Ann", {"a@x.org"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.scenario);
        TempDir dir;
        TMailComposer c;
        TPostMessage& m = c.PostMessage();
        m.SetFromName(r.fromName);
        m.SetFromAddress("ann@example.org");
        for (const auto& t : r.to) m.ToAddress().Add(t);
        m.SetSubject(r.subject);
        m.SetLocalProgram(r.program);
        c.BuildMessage();
        for (const std::string& line : HeaderLines(c)) {
            // 78 where the text has a place to fold; an encoded word always does.
            EXPECT_LE(line.size(), 78u) << line.substr(0, 100);
            EXPECT_TRUE(IsAscii(line)) << line.substr(0, 100);
        }
        const QJsonObject p = ParseWithPython(ReceivedMessage(WireData(c)), dir);
        ASSERT_FALSE(p.isEmpty());
        EXPECT_TRUE(p["defects"].toArray().isEmpty()) << S(p["defects"].toArray().at(0));
        const QJsonObject h = p["headers"].toObject();
        EXPECT_EQ(S(h["Subject"]), r.subject);
        EXPECT_EQ(S(h["X-Mailer"]), r.program);
        EXPECT_EQ(S(p["from_name"]), r.fromName);
        const QJsonArray to = p["to"].toArray();
        ASSERT_EQ(to.size(), static_cast<qsizetype>(r.to.size()));
        for (size_t i = 0; i < r.to.size(); ++i) {
            const std::string& e = r.to[i];
            const size_t lt = e.find('<');
            const std::string name = lt == std::string::npos ? "" : e.substr(0, lt - 1);
            const std::string addr = lt == std::string::npos ? e : e.substr(lt + 1, e.size() - lt - 2);
            EXPECT_EQ(S(to[static_cast<qsizetype>(i)].toArray()[0]), name);
            EXPECT_EQ(S(to[static_cast<qsizetype>(i)].toArray()[1]), addr);
        }
    }
}

TEST(Interop, DisplayNamesAreEncodedOrQuotedWhereverTheyStand) {
    struct Row {
        const char* scenario;
        std::string entry, name, addr;
    };
    const std::vector<Row> rows{
        {"non-ascii", "J\xC3\xB6rg M\xC3\xBCller <jm@x.org>", "J\xC3\xB6rg M\xC3\xBCller", "jm@x.org"},
        {"dotted initial", "John Q. Public <jqp@x.org>", "John Q. Public", "jqp@x.org"},
        {"comma, already quoted", "\"Doe, Jane\" <jd@x.org>", "Doe, Jane", "jd@x.org"},
        {"non-ascii, quoted", "\"M\xC3\xBCller, J.\"<m@x.org>", "M\xC3\xBCller, J.", "m@x.org"},
        {"angle brackets inside the quotes", "\"Doe <Jr>\" <j@example.org>", "Doe <Jr>", "j@example.org"},
        {"escaped quote before a bracket", "\"say \\\"<hi>\\\"\" <s@x.org>", "say \"<hi>\"", "s@x.org"},
        {"plain", "Carl <carl@x.org>", "Carl", "carl@x.org"},
        {"bare", "bare@x.org", "", "bare@x.org"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.scenario);
        TempDir dir;
        TMailComposer c;
        TPostMessage& m = c.PostMessage();
        m.SetFromName(r.name);
        m.SetFromAddress(r.addr);
        m.ToAddress().Add(r.entry);
        m.ToCarbonCopy().Add(r.entry);
        m.SetReplyTo(r.entry);
        c.BuildMessage();
        for (const std::string& line : HeaderLines(c)) EXPECT_TRUE(IsAscii(line)) << line;
        const QJsonObject p = ParseWithPython(ReceivedMessage(WireData(c)), dir);
        ASSERT_FALSE(p.isEmpty());
        EXPECT_TRUE(p["defects"].toArray().isEmpty()) << S(p["defects"].toArray().at(0));
        EXPECT_EQ(S(p["from_name"]), r.name);
        EXPECT_EQ(S(p["from_addr"]), r.addr);
        for (const char* field : {"to", "cc", "reply_to"}) {
            const QJsonArray a = p[field].toArray();
            ASSERT_EQ(a.size(), 1) << field;
            EXPECT_EQ(S(a[0].toArray()[0]), r.name) << field;
            EXPECT_EQ(S(a[0].toArray()[1]), r.addr) << field;
        }
    }
}

TEST(Interop, DateAndMessageIdAreAddedUnlessTheCallerGivesThem) {
    TempDir dir;
    TMailComposer c;
    c.PostMessage().SetFromAddress("a@x.org");
    c.PostMessage().ToAddress().Add("b@x.org");
    c.BuildMessage();
    const QJsonObject p = ParseWithPython(ReceivedMessage(WireData(c)), dir);
    EXPECT_TRUE(p["defects"].toArray().isEmpty()) << S(p["defects"].toArray().at(0));
    // Python's own reading of the Date: a time zone-aware moment close to now.
    EXPECT_LT(std::abs(p["date_age"].toDouble()), 120.0) << S(p["headers"].toObject()["Date"]);
    EXPECT_EQ(p["date_offset"].toInt(), p["local_offset"].toInt());
    const std::string id = S(p["headers"].toObject()["Message-ID"]);
    EXPECT_EQ(id.front(), '<');
    EXPECT_EQ(id.back(), '>');
    EXPECT_NE(id.find('@'), std::string::npos);
    c.BuildMessage();
    EXPECT_NE(c.FinalHeader()[c.FinalHeader().IndexOfHeader("Message-ID")], "Message-ID: " + id) << "the same id twice";

    c.PostMessage().SetDate("Tue, 01 Dec 2026 10:00:00 -0500");
    c.PostMessage().SetMessageID("<mine@kelvo.example>");
    c.BuildMessage();
    const QJsonObject own = ParseWithPython(ReceivedMessage(WireData(c)), dir);
    EXPECT_EQ(S(own["headers"].toObject()["Date"]), "Tue, 01 Dec 2026 10:00:00 -0500");
    EXPECT_EQ(S(own["headers"].toObject()["Message-ID"]), "<mine@kelvo.example>");
}

TEST(Interop, UuencodedAttachmentsDecodeWithUudecode) {
    TempDir dir;
    const std::string data = RandomBytes(100003, 11);
    TMailComposer c;
    c.SetEncodeType(uuCode);
    c.PostMessage().Attachments().Add(dir.File("big file.bin", data));
    c.BuildMessage();
    const std::string received = ReceivedMessage(WireData(c));
    // The part's text, from its blank line up to the closing boundary.
    const size_t start = received.find("\r\n\r\n", received.find("x-uuencode")) + 4;
    const size_t end = received.find("--" + c.Boundary() + "--");
    ASSERT_NE(end, std::string::npos);
    const std::string part = dir.File("part.uu", received.substr(start, end - start));
    const std::string out = dir.Path() + "/decoded.bin";
    QProcess uudecode;
    uudecode.start("uudecode", {"-o", QString::fromStdString(out), QString::fromStdString(part)});
    ASSERT_TRUE(uudecode.waitForFinished(30000));
    EXPECT_EQ(uudecode.exitCode(), 0) << uudecode.readAllStandardError().toStdString();
    EXPECT_TRUE(ReadFile(out) == data) << ReadFile(out).size() << " bytes decoded";
}

TEST(Interop, AttachmentNamesWithControlOrBrokenBytesAreReadWithoutDefects) {
    struct Row {
        std::string name, reads;
    };
    const std::vector<Row> rows{{"tab\there.txt", "tab\there.txt"},
                                {"bell\x07.bin", "bell\x07.bin"},
                                {"bad\xB4\xB4.bin", "bad\xEF\xBF\xBD\xEF\xBF\xBD.bin"}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TempDir dir;
        TMailComposer c;
        c.PostMessage().SetFromAddress("a@x.org");
        c.PostMessage().Attachments().Add(dir.File(r.name, "data"));
        c.BuildMessage();
        const QJsonObject p = ParseWithPython(ReceivedMessage(WireData(c)), dir);
        ASSERT_FALSE(p.isEmpty());
        EXPECT_TRUE(p["defects"].toArray().isEmpty()) << S(p["defects"].toArray().at(0));
        EXPECT_EQ(S(p["parts"].toArray()[1].toObject()["filename"]), r.reads);
    }
}
