// The command line: which file it names, when it asks for help or the version,
// and which mistakes end the program before any window opens.
#include "app/command_line.h"
#include "app/pacs_link.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

using Action = CommandLine::Action;

CommandLine Read(const QStringList& args) {
    return ReadCommandLine(QStringList{QStringLiteral("/usr/bin/kelvo")} + args, QStringLiteral("9.8 (git abc1234)"));
}

struct RunCase {
    const char* name;
    QStringList args;
    QString file;
};

TEST(CommandLineTest, QtOptionsAndTheirValuesAreNotTakenForTheFile) {
    const RunCase cases[] = {
        {"nothing", {}, {}},
        {"one file", {"/data/ct.dcm"}, "/data/ct.dcm"},
        {"relative file", {"ct.dcm"}, "ct.dcm"},
        {"platform before", {"-platform", "offscreen", "ct.dcm"}, "ct.dcm"},
        {"display after", {"ct.dcm", "-display", ":3"}, "ct.dcm"},
        {"double-dash Qt option", {"--platform", "xcb", "ct.dcm"}, "ct.dcm"},
        {"style with =", {"-style=fusion", "ct.dcm"}, "ct.dcm"},
        {"geometry and a flag", {"-geometry", "800x600", "-reverse", "x.png"}, "x.png"},
        {"only Qt options", {"-platform", "offscreen", "-widgetcount"}, {}},
        {"file after --", {"--", "-odd-name.dcm"}, "-odd-name.dcm"},
        {"--version after --", {"--", "--version"}, "--version"},
        {"spaces kept", {"/tmp/my scans/a b.dcm"}, "/tmp/my scans/a b.dcm"},
    };
    for (const RunCase& c : cases) {
        const CommandLine line = Read(c.args);
        EXPECT_EQ(line.action, Action::Run) << c.name << ": " << line.text.toStdString();
        EXPECT_EQ(line.file, c.file) << c.name;
    }
}

TEST(CommandLineTest, HelpAndVersionWinOverEverythingElseOnTheLine) {
    const struct {
        QStringList args;
        Action action;
    } cases[] = {
        {{"--help"}, Action::ShowHelp},
        {{"-h"}, Action::ShowHelp},
        {{"ct.dcm", "--help"}, Action::ShowHelp},
        {{"a.dcm", "b.dcm", "-h"}, Action::ShowHelp},
        {{"--version"}, Action::ShowVersion},
        {{"-v"}, Action::ShowVersion},
        {{"-platform", "xcb", "--version", "ct.dcm"}, Action::ShowVersion},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Read(c.args).action, c.action) << c.args.join(' ').toStdString();
    }
}

TEST(CommandLineTest, HelpNamesTheProgramTheFileAndQtOptionsButHidesTheirList) {
    const QString help = Read({"--help"}).text;
    EXPECT_TRUE(help.startsWith("Usage: kelvo [options] [FILE | LINK]\n")) << help.toStdString();
    for (const char* part : {"-h, --help", "-v, --version", "FILE", "DICOM", "-platform", "dicomweb+https://"}) {
        EXPECT_TRUE(help.contains(part)) << part;
    }
    EXPECT_FALSE(help.contains("<executable_name>"));
    EXPECT_FALSE(help.contains("--qwindowgeometry")) << "Qt's own options stay out of the list";
}

TEST(CommandLineTest, VersionIsOneLineWithTheFullVersionText) {
    EXPECT_EQ(Read({"--version"}).text, "kelvo 9.8 (git abc1234)\n");
}

TEST(CommandLineTest, MistakesAreOneLineNamingTheProblem) {
    const struct {
        QStringList args;
        const char* says;
    } cases[] = {
        {{"--bogus"}, "Unknown option 'bogus'"},
        {{"-x"}, "Unknown option 'x'"},
        {{"ct.dcm", "--zoom=2"}, "Unknown option 'zoom'"},
        {{"-hv"}, "Unknown option 'hv'"},
        {{"a.dcm", "b.dcm"}, "2 files given"},
        {{"a.dcm", "-platform", "xcb", "b.png", "c.bmp"}, "3 files given"},
        {{"-platform"}, "Missing value after '-platform'"},
        {{""}, "file name is empty"},
        {{"--annotations", "a.kelvo.json", "a.dcm"}, "--annotations is given with --export only"},
        {{"dicomweb+ftp://h/studies/1.2"}, "neither https nor http"},
        {{"DICOMWEB+https://u:p@h/studies/1.2"}, "user or password"},
        {{"dicomweb+https://h/studies/1.02"}, "a study UID"},
        {{"dicomweb+https://h/studies/1.2/"}, "a study UID"},
        {{"dicomweb+https://h/dicom-web/series/1.2"}, "a study UID"},
        {{"dicomweb+https://h/studies/1.2?x=1"}, "query or fragment"},
        {{"dicomweb+https:///studies/1.2"}, "no host"},
        {{"dicomweb+https://h:99999/studies/1.2"}, "not a valid address"},
    };
    for (const auto& c : cases) {
        const CommandLine line = Read(c.args);
        const std::string args = c.args.join(' ').toStdString();
        EXPECT_EQ(line.action, Action::Fail) << args;
        EXPECT_TRUE(line.text.startsWith("kelvo: ")) << line.text.toStdString();
        EXPECT_TRUE(line.text.contains(c.says)) << args << ": " << line.text.toStdString();
        EXPECT_TRUE(line.text.contains("--help")) << "points to the help";
        EXPECT_FALSE(line.text.contains('\n')) << args;
        EXPECT_TRUE(line.file.isEmpty()) << args;
    }
}

TEST(CommandLineTest, StudyLinksNameTheServerRootAndTheStudyAndWarnOverPlainHttp) {
    const struct {
        const char* link;
        const char* root;
        const char* study;
        bool warns;
    } cases[] = {
        {"dicomweb+https://pacs.example/dicom-web/studies/1.2.840.113619.0", "https://pacs.example/dicom-web/",
         "1.2.840.113619.0", false},
        {"dicomweb+http://127.0.0.1:8042/studies/2.25.0", "http://127.0.0.1:8042/", "2.25.0", true},
        {"dicomweb+HTTPS://h/a%20b/studies/1.3", "https://h/a%20b/", "1.3", false},
    };
    for (const auto& c : cases) {
        const CommandLine line = Read({c.link});
        EXPECT_EQ(line.action, Action::Run) << c.link << ": " << line.text.toStdString();
        EXPECT_EQ(line.text.contains("warning: "), c.warns) << c.link;
        QString error;
        const std::optional<TPacsLink> link = ParsePacsLink(line.link, error);
        ASSERT_TRUE(link.has_value()) << c.link << ": " << error.toStdString();
        EXPECT_EQ(link->BaseUrl.toString(QUrl::FullyEncoded), c.root);
        EXPECT_EQ(link->StudyUid, c.study);
    }
}

TEST(CommandLineTest, MessagesUseTheNameTheProgramWasStartedBy) {
    const CommandLine line = ReadCommandLine({"./build/app/kelvo-dev", "--bogus"}, "1");
    EXPECT_TRUE(line.text.startsWith("kelvo-dev: ")) << line.text.toStdString();
    EXPECT_EQ(ReadCommandLine({}, "1").action, Action::Run);
}

} // namespace
} // namespace kelvo
