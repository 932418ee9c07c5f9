// The link launcher, with the desktop replaced by URL handlers that record what they get.
#include "app/url_launcher.h"

#include <QDesktopServices>
#include <QUrl>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kelvo {
namespace {

class LinkRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<QByteArray> links;
public slots:
    void open(const QUrl& url) { links.push_back(url.toEncoded()); }
};

const char* const kSchemes[] = {"file", "ftp", "gopher", "http", "https", "mailto", "news", "telnet", "wais"};

class UrlLauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* s : kSchemes) QDesktopServices::setUrlHandler(s, &recorder_, "open");
    }
    void TearDown() override {
        for (const char* s : kSchemes) QDesktopServices::unsetUrlHandler(s);
    }
    LinkRecorder recorder_;
};

struct LinkCase {
    TURLType type;
    const char* url;
    const char* opened;
};

TEST_F(UrlLauncherTest, EachTypeOpensItsPrefixFollowedByTheLinkUnchanged) {
    const LinkCase cases[] = {
        {utFile, "/tmp/report.txt", "file:///tmp/report.txt"},
        {utFtp, "ftp.example.org/pub/readme", "ftp://ftp.example.org/pub/readme"},
        {utGopher, "gopher.example.org/1/menu", "gopher://gopher.example.org/1/menu"},
        {utHttp, "www.example.com/index.html", "http://www.example.com/index.html"},
        {utHttps, "shop.example.com/order?id=4711&q=a%20b#top", "https://shop.example.com/order?id=4711&q=a%20b#top"},
        {utMailto, "support@example.com", "mailto:support@example.com"},
        {utNews, "comp.lang.c++", "news:comp.lang.c++"},
        {utTelnet, "bbs.example.org", "telnet:bbs.example.org"},
        {utWais, "wais.example.org/db", "wais:wais.example.org/db"},
    };
    for (const LinkCase& c : cases) {
        SCOPED_TRACE(c.opened);
        TURL link;
        link.SetURLType(c.type);
        link.SetURL(QString::fromUtf8(c.url));
        EXPECT_EQ(link.LinkText(), QString::fromUtf8(c.opened));
        recorder_.links.clear();
        EXPECT_TRUE(link.Execute());
        ASSERT_EQ(recorder_.links.size(), 1u);
        EXPECT_EQ(recorder_.links[0], QByteArray(c.opened));
    }
}

TEST_F(UrlLauncherTest, NewLinkIsHttpAndEmptyAndOpensNothing) {
    TURL link;
    EXPECT_EQ(link.URLType(), utHttp);
    EXPECT_TRUE(link.URL().isEmpty());
    EXPECT_FALSE(link.Execute());
    EXPECT_TRUE(recorder_.links.empty());
}

TEST_F(UrlLauncherTest, LongLinkIsHandedOverWhole) {
    const QByteArray path = "www.example.com/catalogue/software/graphics/medical/download.html"
                            "?product=annotation-component&version=2.0&lang=en&ref=about-window";
    ASSERT_GT(path.size(), 120);
    TURL link;
    link.SetURL(QString::fromLatin1(path));
    EXPECT_TRUE(link.Execute());
    ASSERT_EQ(recorder_.links.size(), 1u);
    EXPECT_EQ(recorder_.links[0], "http://" + path);
}

// The doubled scheme cannot reach the desktop unchanged (the parser would make
// "https://http//www..." of it), so it is refused instead of opening another link.
TEST_F(UrlLauncherTest, LinkThatCarriesASchemeGetsASecondOneAndIsNotOpenedAltered) {
    TURL link;
    link.SetURLType(utHttps);
    link.SetURL(QStringLiteral("http://www.example.com/"));
    EXPECT_EQ(link.LinkText(), QStringLiteral("https://http://www.example.com/"));
    EXPECT_FALSE(link.Execute());
    EXPECT_TRUE(recorder_.links.empty());
}

TEST_F(UrlLauncherTest, OnlyWhatCannotStandInALinkIsEncoded) {
    const struct {
        const char* url;
        const char* opened;
    } cases[] = {
        {"www.example.com/a b.html", "http://www.example.com/a%20b.html"},
        {"WWW.Example.com/Path/Mixed", "http://www.example.com/Path/Mixed"},
        // An escaped unreserved character is the same link (RFC 3986, 2.3); the
        // escapes that carry meaning stay.
        {"www.example.com/%7Euser/%2F?x=%26", "http://www.example.com/~user/%2F?x=%26"},
        {"www.example.com/caf\xC3\xA9", "http://www.example.com/caf%C3%A9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        TURL link;
        link.SetURL(QString::fromUtf8(c.url));
        recorder_.links.clear();
        EXPECT_TRUE(link.Execute());
        ASSERT_EQ(recorder_.links.size(), 1u);
        EXPECT_EQ(recorder_.links[0], QByteArray(c.opened));
    }
}

TEST_F(UrlLauncherTest, ShellOpenRefusesWhatTheDesktopCannotExpress) {
    EXPECT_LE(ShellOpen(QString(), QString(), QString(), SW_SHOWNOACTIVATE), 32);
    EXPECT_LE(ShellOpen(QStringLiteral("http://www.example.com/"), QStringLiteral("--new-window"), QString(),
                        SW_SHOWNOACTIVATE),
              32);
    EXPECT_TRUE(recorder_.links.empty());
    EXPECT_GT(
        ShellOpen(QStringLiteral("http://www.example.com/"), QString(), QStringLiteral("/tmp"), SW_SHOWNOACTIVATE), 32);
    EXPECT_EQ(recorder_.links.size(), 1u);
}

TEST_F(UrlLauncherTest, SettersKeepTheLastValue) {
    TURL link;
    link.SetURLType(utMailto);
    link.SetURL(QStringLiteral("a@example.com"));
    link.SetURL(QStringLiteral("a@example.com"));
    link.SetURLType(utMailto);
    EXPECT_EQ(link.LinkText(), QStringLiteral("mailto:a@example.com"));
}

} // namespace
} // namespace kelvo

#include "url_launcher_test.moc"
