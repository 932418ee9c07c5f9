#include "mail/composer.h"
#include "mail/runtime_random.h"
#include "platform/exceptions.h"
#include "tests/mail/support/mail_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace kelvo;
using namespace kelvo::test;

namespace {

const std::string kFirstBoundary = "====================54535aavfgq====";
const std::string kSecondBoundary = "====================54535hejkcl====";

void Fill(TStringList& list, const std::vector<std::string>& lines) {
    list.Clear();
    for (const auto& s : lines) list.Add(s);
}

std::string Header(TMailComposer& c) { return c.FinalHeader().Text(); }
std::string Body(TMailComposer& c) { return c.BodyStream().DataString(); }

} // namespace

TEST(Composer, HeaderLinesComeInTheirOrderAndOnlyWhenSet) {
    struct Row {
        const char* scenario;
        std::string fromName, fromAddress;
        std::vector<std::string> to, cc, bcc;
        std::string subject, program, replyTo, date;
        std::string want;
    };
    const std::vector<Row> rows{
        // clang-format off
        {"everything", "Ann Lee", "ann@x.org", {"a@x", "B <b@y>", "c@z"}, {"d@x"}, {"secret@x"}, "Hi", "Kelvo 1",
         "r@x", "Mon, 7 Dec 2026 08:00:00 +0000",
         // clang-format on
         "From: Ann Lee<ann@x.org>\r\nTo: a@x,B <b@y>,c@z\r\nCC: d@x\r\nSubject: Hi\r\nX-Mailer: Kelvo 1\r\n"
         "Reply-To: r@x\r\nDate: Mon, 7 Dec 2026 08:00:00 +0000\r\nMessage-ID: <1@x>\r\nMime-Version: 1.0\r\n"
         "Content-Type: text/plain; charset=us-ascii\r\n"},
        // clang-format off
        {"no name, nothing optional", "", "ann@x.org", {"a@x"}, {}, {}, "", "", "", "D",
         "From: <ann@x.org>\r\nTo: a@x\r\nDate: D\r\nMessage-ID: <1@x>\r\nMime-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n"},
        {"name with specials", "Doe, John", "j@x", {}, {}, {}, "", "", "", "D",
         "From: \"Doe, John\"<j@x>\r\nDate: D\r\nMessage-ID: <1@x>\r\nMime-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n"},
        {"nothing at all", "", "", {}, {}, {"b@x"}, "", "", "", "D",
         "From: <>\r\nDate: D\r\nMessage-ID: <1@x>\r\nMime-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n"},
        // clang-format on
    };
    for (const Row& r : rows) {
        TMailComposer c;
        TPostMessage& m = c.PostMessage();
        m.SetFromName(r.fromName);
        m.SetFromAddress(r.fromAddress);
        Fill(m.ToAddress(), r.to);
        Fill(m.ToCarbonCopy(), r.cc);
        Fill(m.ToBlindCarbonCopy(), r.bcc);
        m.SetSubject(r.subject);
        m.SetLocalProgram(r.program);
        m.SetReplyTo(r.replyTo);
        m.SetDate(r.date);
        m.SetMessageID("<1@x>");
        c.BuildMessage();
        EXPECT_EQ(Header(c), r.want) << r.scenario;
    }
}

TEST(Composer, SubTypeSelectsTheTextTypeAndCharsetIsWrittenBare) {
    const std::vector<std::pair<TSubType, std::string>> rows{{mtPlain, "text/plain"},
                                                             {mtEnriched, "text/enriched"},
                                                             {mtSgml, "text/sgml"},
                                                             {mtTabSeperated, "text/tab-separated-values"},
                                                             {mtHtml, "text/html"}};
    for (const auto& [type, name] : rows) {
        TMailComposer c;
        c.SetSubType(type);
        c.SetCharset("iso-8859-1");
        c.BuildMessage();
        EXPECT_EQ(c.FinalHeader()[c.FinalHeader().Count() - 1], "Content-Type: " + name + "; charset=iso-8859-1");
    }
}

TEST(Composer, BodyLinesEndInCrLfAndLeadingDotsAreDoubled) {
    TMailComposer c;
    Fill(c.PostMessage().Body(), {"Hello", ".", "..x", "a.b", "", " .", "."});
    c.BuildMessage();
    EXPECT_EQ(Body(c), "Hello\r\n..\r\n...x\r\na.b\r\n\r\n .\r\n..\r\n");
    EXPECT_EQ(c.BodyStream().Position(), 0);

    Fill(c.PostMessage().Body(), {});
    c.BuildMessage();
    EXPECT_EQ(Body(c), "");
    EXPECT_EQ(WireData(c), Header(c) + "\r\n\r\n.\r\n");
}

TEST(Composer, AMessageWithAnAttachmentHasTheMultipartLayout) {
    TempDir dir;
    TMailComposer c;
    TPostMessage& m = c.PostMessage();
    m.SetFromName("Ann");
    m.SetFromAddress("ann@x.org");
    Fill(m.ToAddress(), {"bob@y.org"});
    m.SetSubject("Report");
    m.SetDate("Mon, 07 Dec 2026 09:00:00 +0100");
    m.SetMessageID("<a.1@kelvo.example>");
    Fill(m.Body(), {"See attached.", ".hidden"});
    Fill(m.Attachments(), {dir.File("abc.txt", "abc")});
    c.SetSubType(mtHtml); // plays no part in a message with attachments
    SetRandSeed(0);
    c.BuildMessage();
    const std::string& b = kFirstBoundary;
    EXPECT_EQ(c.Boundary(), b);
    // clang-format off
    EXPECT_EQ(WireData(c),
              "From: Ann<ann@x.org>\r\n"
              "To: bob@y.org\r\n"
              "Subject: Report\r\n"
              "Date: Mon, 07 Dec 2026 09:00:00 +0100\r\n"
              "Message-ID: <a.1@kelvo.example>\r\n"
              "Mime-Version: 1.0\r\n"
              "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n"
              "\r\n"
              "\r\n"
              "--" + b + "\r\n"
              "Content-Type: text/plain; charset=us-ascii\r\n"
              "\r\n"
              "See attached.\r\n"
              "..hidden\r\n"
              "--" + b + "\r\n"
              "Content-Type: application/octet-stream; name=\"abc.txt\"\r\n"
              "Content-Transfer-Encoding: base64\r\n"
              "Content-Disposition: attachment; filename=\"abc.txt\"\r\n"
              "\r\n"
              "YWJj\r\n"
              "--" + b + "--\r\n"
              ".\r\n");
    // clang-format on
}

TEST(Composer, UuencodedAttachmentsAreLabelledAsSuch) {
    TempDir dir;
    TMailComposer c;
    c.SetEncodeType(uuCode);
    Fill(c.PostMessage().Attachments(), {dir.File("a", "abc")});
    c.BuildMessage();
    const std::string body = Body(c);
    EXPECT_NE(body.find("Content-Transfer-Encoding: x-uuencode\r\n"), std::string::npos);
    EXPECT_EQ(body.find("base64"), std::string::npos);
    EXPECT_NE(body.find("\r\n\r\nbegin 644 a\r\n#86)C\r\n`\r\nend\r\n--" + c.Boundary() + "--\r\n"), std::string::npos);
}

TEST(Composer, UuencodedLinesStartingWithADotAreStuffed) {
    TempDir dir;
    TMailComposer c;
    c.SetEncodeType(uuCode);
    const std::string data = RandomBytes(45 + 14, 5);
    Fill(c.PostMessage().Attachments(), {dir.File("a", data)});
    c.BuildMessage();
    TMemoryStream in, out;
    in.WriteString(data);
    TKivUUProcessor p;
    p.SetMethod(uuCode);
    p.InputStream = &in;
    p.OutputStream = &out;
    p.Encode();
    const std::string plain = out.DataString();
    ASSERT_EQ(plain[63], '.');
    const std::string stuffed = plain.substr(0, 63) + "." + plain.substr(63);
    EXPECT_NE(Body(c).find("\r\nbegin 644 a\r\n" + stuffed + "end\r\n--"), std::string::npos);
    EXPECT_EQ(ReceivedMessage(WireData(c)).find("\r\n.."), std::string::npos);
}

TEST(Composer, BoundariesFollowTheRuntimeGenerator) {
    SetRandSeed(0);
    EXPECT_EQ(NewBoundary(), kFirstBoundary);
    EXPECT_EQ(NewBoundary(), kSecondBoundary);
    // Each draw: state * 134775813 + 1, letter = 'a' + upper half of state * 25.
    uint32_t state = 0x89ABCDEF;
    SetRandSeed(state);
    std::string want(20, '=');
    want += "54535";
    for (int i = 0; i < 6; ++i) {
        state = state * 134775813u + 1u;
        want += static_cast<char>('a' + ((uint64_t{state} * 25) >> 32));
    }
    want += "====";
    EXPECT_EQ(NewBoundary(), want);
    for (int i = 0; i < 200; ++i) {
        const std::string b = NewBoundary();
        ASSERT_EQ(b.size(), 35u);
        EXPECT_EQ(b.find_first_not_of("=54535abcdefghijklmnopqrstuvwxy"), std::string::npos) << b;
    }
}

TEST(Composer, EachMessageWithAttachmentsDrawsANewBoundary) {
    TempDir dir;
    TMailComposer c;
    Fill(c.PostMessage().Attachments(), {dir.File("f", "x")});
    SetRandSeed(0);
    c.BuildMessage();
    const std::string first = c.Boundary();
    c.BuildMessage();
    EXPECT_EQ(first, kFirstBoundary);
    EXPECT_EQ(c.Boundary(), kSecondBoundary);
    EXPECT_EQ(Header(c).find(first), std::string::npos);
}

TEST(Composer, ABoundaryFoundInTheTextIsDrawnAgain) {
    TempDir dir;
    TMailComposer c;
    Fill(c.PostMessage().Body(), {"--" + kFirstBoundary, "x " + kSecondBoundary + "--"});
    Fill(c.PostMessage().Attachments(), {dir.File("f", "x")});
    SetRandSeed(0);
    c.BuildMessage();
    EXPECT_NE(c.Boundary(), kFirstBoundary);
    EXPECT_NE(c.Boundary(), kSecondBoundary);
    EXPECT_EQ(c.Boundary().size(), 35u);
    const std::string body = Body(c);
    // The text's boundary-like lines are content; the delimiters are the new ones.
    EXPECT_NE(body.find("\r\n--" + kFirstBoundary + "\r\n"), std::string::npos);
    EXPECT_EQ(body.substr(0, 2 + 35), "--" + c.Boundary());
}

TEST(Composer, OnlyTheFinalPathComponentNamesTheAttachment) {
    TempDir dir;
    std::filesystem::create_directories(dir.Path() + "/sub dir");
    TMailComposer c;
    Fill(c.PostMessage().Attachments(), {dir.File("sub dir/report.v1.pdf", "%PDF")});
    c.BuildMessage();
    const std::string body = Body(c);
    EXPECT_NE(body.find("; name=\"report.v1.pdf\"\r\n"), std::string::npos);
    EXPECT_NE(body.find("; filename=\"report.v1.pdf\"\r\n"), std::string::npos);
    EXPECT_EQ(body.find("sub dir"), std::string::npos);
}

TEST(Composer, QuotesAndBackslashesInAttachmentNamesAreEscaped) {
    TempDir dir;
    TMailComposer c;
    Fill(c.PostMessage().Attachments(), {dir.File("say \"hi\" \\o.txt", "hi")});
    c.BuildMessage();
    const std::string body = Body(c);
    EXPECT_NE(body.find("; name=\"say \\\"hi\\\" \\\\o.txt\"\r\n"), std::string::npos) << body;
    EXPECT_NE(body.find("; filename=\"say \\\"hi\\\" \\\\o.txt\"\r\n"), std::string::npos) << body;
}

TEST(Composer, EncodeEventsFireAroundEachFileInListOrder) {
    TempDir dir;
    const std::string a = dir.File("a", "1"), b = dir.File("b", "22");
    TMailComposer c;
    Fill(c.PostMessage().Attachments(), {a, b});
    std::vector<std::string> events;
    c.OnEncodeStart = [&](const std::string& f) {
        events.push_back("start " + f + " " + std::to_string(c.BodyStream().Size()));
    };
    c.OnEncodeEnd = [&](const std::string& f) { events.push_back("end " + f); };
    c.OnAttachmentNotFound = [&](const std::string& f) { events.push_back("missing " + f); };
    c.BuildMessage();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].substr(0, 6 + a.size()), "start " + a);
    EXPECT_EQ(events[1], "end " + a);
    EXPECT_EQ(events[2].substr(0, 6 + b.size()), "start " + b);
    EXPECT_EQ(events[3], "end " + b);
}

TEST(Composer, AMissingAttachmentIsReportedAndItsOpenErrorRaised) {
    TempDir dir;
    const std::string missing = dir.Path() + "/nowhere/x.bin";
    TMailComposer c;
    Fill(c.PostMessage().Attachments(), {dir.File("ok", "fine"), missing});
    std::vector<std::string> events;
    c.OnAttachmentNotFound = [&](const std::string& f) { events.push_back("missing " + f); };
    c.OnEncodeStart = [&](const std::string& f) { events.push_back("start " + f); };
    try {
        c.BuildMessage();
        FAIL() << "missing file accepted";
    } catch (const EStreamError& e) {
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
    }
    EXPECT_EQ(events, (std::vector<std::string>{"start " + dir.Path() + "/ok", "missing " + missing}));
    // The description is left as it was.
    EXPECT_EQ(c.PostMessage().Attachments().Count(), 2);
}

TEST(Composer, LineBreaksInHeaderInputAreRefusedBeforeComposing) {
    struct Row {
        const char* field;
        void (*set)(TPostMessage&, const std::string&);
    };
    const std::vector<Row> rows{
        {"FromName", [](TPostMessage& m, const std::string& v) { m.SetFromName(v); }},
        {"FromAddress", [](TPostMessage& m, const std::string& v) { m.SetFromAddress(v); }},
        {"ToAddress", [](TPostMessage& m, const std::string& v) { m.ToAddress().Add(v); }},
        {"ToCarbonCopy", [](TPostMessage& m, const std::string& v) { m.ToCarbonCopy().Add(v); }},
        {"ToBlindCarbonCopy", [](TPostMessage& m, const std::string& v) { m.ToBlindCarbonCopy().Add(v); }},
        {"Subject", [](TPostMessage& m, const std::string& v) { m.SetSubject(v); }},
        {"LocalProgram", [](TPostMessage& m, const std::string& v) { m.SetLocalProgram(v); }},
        {"Date", [](TPostMessage& m, const std::string& v) { m.SetDate(v); }},
        {"ReplyTo", [](TPostMessage& m, const std::string& v) { m.SetReplyTo(v); }},
        {"attachment", [](TPostMessage& m, const std::string& v) { m.Attachments().Add("/tmp/" + v); }},
    };
    for (const Row& r : rows) {
        for (const std::string evil : {"x\r\nBcc: victim@x", "x\nBcc: victim@x", "x\rBcc: victim@x", "\r\n"}) {
            TMailComposer c;
            c.PostMessage().SetFromAddress("a@x");
            c.BuildMessage();
            const std::string header = Header(c);
            r.set(c.PostMessage(), evil);
            int fired = 0;
            c.OnAttachmentNotFound = c.OnEncodeStart = [&](const std::string&) { ++fired; };
            try {
                c.BuildMessage();
                ADD_FAILURE() << r.field << " accepted a line break";
            } catch (const EStreamError&) {
                ADD_FAILURE() << r.field << ": refused only when opening the file";
            } catch (const Exception& e) {
                EXPECT_NE(std::string(e.what()).find("Line break in"), std::string::npos) << e.what();
            }
            EXPECT_EQ(fired, 0) << r.field;
            EXPECT_EQ(Header(c), header) << r.field; // nothing composed
        }
    }
}

TEST(Composer, BodyEntriesWithLineBreaksCannotEndTheDataEarly) {
    // clang-format off
    const std::vector<std::vector<std::string>> bodies{
        {"a\n.\nMAIL FROM:<x>"}, {"a\r\n.\r\nMAIL FROM:<x>"}, {"a\r.\rMAIL FROM:<x>"}, {".\n."}, {"\n.", "."},
        {"x\r\n.\r\nRCPT TO:<y>\r\nDATA"}, {"a\n\r.\n"}};
    // clang-format on
    for (const auto& lines : bodies) {
        for (const bool attach : {false, true}) {
            TempDir dir;
            TMailComposer c;
            Fill(c.PostMessage().Body(), lines);
            if (attach) Fill(c.PostMessage().Attachments(), {dir.File("f", "data")});
            c.BuildMessage();
            const std::string wire = WireData(c);
            // Lines are delimited by CR LF only; no bare CR or LF anywhere.
            for (size_t i = 0; i < wire.size(); ++i) {
                if (wire[i] == '\r') {
                    ASSERT_EQ(wire[i + 1], '\n') << lines[0];
                }
                if (wire[i] == '\n') {
                    ASSERT_EQ(wire[i - 1], '\r') << lines[0];
                }
            }
            // The only line "." is the end-of-data line.
            EXPECT_EQ(wire.find("\r\n.\r\n"), wire.size() - 5) << lines[0];
            EXPECT_EQ(ReceivedMessage(wire).find("MAIL FROM"), ReceivedMessage(wire).rfind("MAIL FROM"));
        }
    }
    TMailComposer c;
    Fill(c.PostMessage().Body(), {"a\n.\nMAIL FROM:<x>", "b\r\n..c\rd"});
    c.BuildMessage();
    EXPECT_EQ(Body(c), "a\r\n..\r\nMAIL FROM:<x>\r\nb\r\n...c\r\nd\r\n");
}

TEST(Composer, NonAsciiTextGoesOutQuotedPrintableAsUtf8) {
    TMailComposer c;
    Fill(c.PostMessage().Body(), {"caf\xC3\xA9 = ok ", ".\xC3\xA9", "plain"});
    c.BuildMessage();
    EXPECT_EQ(c.FinalHeader()[c.FinalHeader().Count() - 2], "Content-Type: text/plain; charset=utf-8");
    EXPECT_EQ(c.FinalHeader()[c.FinalHeader().Count() - 1], "Content-Transfer-Encoding: quoted-printable");
    EXPECT_EQ(Body(c), "caf=C3=A9 =3D ok=20\r\n=2E=C3=A9\r\nplain\r\n");

    // A charset other than us-ascii is the caller's statement and stays.
    c.SetCharset("iso-8859-1");
    Fill(c.PostMessage().Body(), {"caf\xE9"});
    c.BuildMessage();
    EXPECT_EQ(c.FinalHeader()[c.FinalHeader().Count() - 2], "Content-Type: text/plain; charset=iso-8859-1");
    EXPECT_EQ(Body(c), "caf=E9\r\n");
}

TEST(Composer, OverlongLinesAreCutBySoftBreaksAtSeventySixCharacters) {
    TMailComposer c;
    const std::string fits(998, 'a'), over(999, 'b');
    Fill(c.PostMessage().Body(), {fits});
    c.BuildMessage();
    EXPECT_EQ(Body(c), fits + "\r\n");
    EXPECT_EQ(c.FinalHeader()[c.FinalHeader().Count() - 1], "Content-Type: text/plain; charset=us-ascii");

    Fill(c.PostMessage().Body(), {over, "short"});
    c.BuildMessage();
    EXPECT_EQ(c.FinalHeader()[c.FinalHeader().Count() - 1], "Content-Transfer-Encoding: quoted-printable");
    const std::string body = Body(c);
    size_t pos = 0, lines = 0;
    while (pos < body.size()) {
        const size_t end = body.find("\r\n", pos);
        EXPECT_LE(end - pos, 76u);
        pos = end + 2;
        ++lines;
    }
    EXPECT_EQ(lines, 999 / 75 + 1 + 1);
    EXPECT_EQ(body.substr(body.size() - 7), "short\r\n");
}

TEST(Composer, NonAsciiSubjectAndSenderNameBecomeEncodedWords) {
    TMailComposer c;
    c.PostMessage().SetFromName("J\xC3\xB6rg");
    c.PostMessage().SetFromAddress("j@x.de");
    c.PostMessage().SetSubject("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E");
    c.BuildMessage();
    EXPECT_EQ(c.FinalHeader()[0], "From: =?utf-8?B?SsO2cmc=?= <j@x.de>");
    EXPECT_EQ(c.FinalHeader()[1], "Subject: =?utf-8?B?5pel5pys6Kqe?=");

    // Long text is spread over words of at most 75 characters, cut between characters.
    std::string subject;
    for (int i = 0; i < 40; ++i) subject += "\xE6\x97\xA5"; // 120 bytes
    c.PostMessage().SetSubject(subject);
    c.BuildMessage();
    const std::string line = c.FinalHeader()[1];
    EXPECT_EQ(line.substr(0, 19), "Subject: =?utf-8?B?");
    size_t words = 0;
    for (size_t p = line.find("=?"); p != std::string::npos; p = line.find("=?", p + 2)) {
        const size_t end = line.find("?=", p + 10);
        EXPECT_LE(end + 2 - p, 75u);
        ++words;
    }
    EXPECT_EQ(words, 3u); // 45 + 45 + 30 bytes
}

// A '<' inside a quoted display name is part of the name, not the mailbox's start.
TEST(Composer, AngleBracketsInsideAQuotedNameStayInTheName) {
    TMailComposer c;
    c.PostMessage().SetFromAddress("ann@x.org");
    c.PostMessage().ToAddress().Add("\"Doe <Jr>\" <j@example.org>");
    c.PostMessage().ToAddress().Add("\"a \\\"<b>\\\"\"<c@x.org>");
    c.BuildMessage();
    EXPECT_EQ(c.FinalHeader()[1], "To: \"Doe <Jr>\" <j@example.org>,\"a \\\"<b>\\\"\"<c@x.org>");
    // A quote that never closes is part of a name that is quoted whole.
    c.PostMessage().ToAddress().Clear();
    c.PostMessage().ToAddress().Add("\"Doe <d@x.org>");
    c.BuildMessage();
    EXPECT_EQ(c.FinalHeader()[1], "To: \"\\\"Doe\" <d@x.org>");
}

TEST(Composer, AddAttachmentOnItsOwnAppendsAPartAfterTheBody) {
    TempDir dir;
    TMailComposer c;
    Fill(c.PostMessage().Attachments(), {dir.File("one.txt", "abc"), dir.File("two.txt", "a")});
    c.BuildMessage();
    const std::string before = Body(c);
    c.AddAttachment(2);
    EXPECT_EQ(Body(c), before + "--" + c.Boundary() +
                           "\r\nContent-Type: application/octet-stream; name=\"two.txt\"\r\n"
                           "Content-Transfer-Encoding: base64\r\n"
                           "Content-Disposition: attachment; filename=\"two.txt\"\r\n\r\nYQ==\r\n");
    EXPECT_THROW(c.AddAttachment(3), Exception);
}

TEST(Composer, TheBodyIsExactWhateverTheAttachmentSizes) {
    // The body is sized from the files before it is written; every size and both
    // encodings must come out exactly as encoding each file alone gives.
    TempDir dir;
    for (const UUMethods method : {uuMime, uuCode}) {
        TMailComposer c;
        c.SetEncodeType(method);
        std::string expectedParts;
        for (const size_t n : {0, 1, 2, 3, 44, 45, 46, 89, 90, 91, 1000}) {
            const std::string data = RandomBytes(n, static_cast<uint32_t>(n));
            c.PostMessage().Attachments().Add(dir.File("f" + std::to_string(n), data));
            TMemoryStream in, out;
            in.WriteString(data);
            TKivUUProcessor p;
            p.SetMethod(method);
            p.InputStream = &in;
            p.OutputStream = &out;
            p.Encode();
            const std::string encoded = out.DataString();
            expectedParts +=
                method == uuCode ? "begin 644 f" + std::to_string(n) + "\r\n" + encoded + "end\r\n--" : encoded + "--";
        }
        c.BuildMessage();
        const std::string body = Body(c);
        std::string parts;
        for (size_t pos = body.find("\r\n\r\n", body.find("application/octet-stream")); pos != std::string::npos;
             pos = body.find("\r\n\r\n", body.find("application/octet-stream", pos))) {
            const size_t end = body.find("--" + c.Boundary(), pos);
            parts += body.substr(pos + 4, end - pos - 4) + "--";
            if (body.find("application/octet-stream", end) == std::string::npos) break;
            pos = end;
        }
        EXPECT_EQ(parts, expectedParts) << int(method);
        EXPECT_EQ(body.substr(body.size() - 41), "--" + c.Boundary() + "--\r\n");
    }
}

TEST(Composer, NulInHeaderTextIsRefusedBeforeComposing) {
    const std::vector<std::pair<const char*, void (*)(TPostMessage&)>> rows{
        {"Subject", [](TPostMessage& m) { m.SetSubject(std::string("a\0b", 3)); }},
        {"FromName", [](TPostMessage& m) { m.SetFromName(std::string("\0Ann", 4)); }},
        {"LocalProgram", [](TPostMessage& m) { m.SetLocalProgram(std::string("k\0", 2)); }},
        // clang-format off
        {"Date", [](TPostMessage& m) { m.SetDate("Mon, 07 D\xC3\xA9" "c 2026"); }},
        // clang-format on
    };
    for (const auto& [field, set] : rows) {
        TMailComposer c;
        c.PostMessage().SetFromAddress("a@x");
        set(c.PostMessage());
        try {
            c.BuildMessage();
            ADD_FAILURE() << field << " accepted";
        } catch (const Exception& e) {
            EXPECT_NE(std::string(e.what()).find(field), std::string::npos) << e.what();
        }
        EXPECT_EQ(c.FinalHeader().Count(), 0) << field;
    }
}
