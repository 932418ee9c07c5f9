// The about and feedback window on the offscreen platform: its stored layout and texts,
// its links, and the feedback send against SMTP servers on 127.0.0.1.
#include "app/about_box.h"

#include "app/url_launcher.h"
#include "mail/smtp.h"
#include "tests/support/fake_smtp_server.h"
#include "tests/support/loopback.h"
#include "tests/support/postfix_instance.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <ostream>
#include <memory>
#include <vector>

// Readable QStrings in failure messages.
void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace kelvo {
namespace {

using test::ClosedLoopbackPort;
using test::FakeSmtpServer;
using test::LoopbackListener;
using test::PostfixInstance;

// The memo text as the recipient reads it: the session writes one empty line more
// after the header block, so the text arrives behind an empty first line.
QString Received(const QString& memo) { return "\n" + memo + "\n"; }

const QString kPython = QStringLiteral("/usr/bin/python3");

QString E2eScript(const char* name) {
    return QStringLiteral(KELVO_SOURCE_DIR "/tests/e2e/") + QString::fromLatin1(name);
}

// Message n (from 1) as a mail program reads it: from, to, subject, body, names.
QJsonObject Mail(const FakeSmtpServer& server, int n) {
    QProcess reader;
    reader.start(kPython, {E2eScript("mail_reader.py"), QString::fromStdString(server.MessagePath(n))});
    reader.waitForFinished(20000);
    return QJsonDocument::fromJson(reader.readAllStandardOutput()).object();
}

class LinkRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<QString> links;
public slots:
    void open(const QUrl& url) { links.push_back(QString::fromUtf8(url.toEncoded())); }
};

class AboutBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        box_ = std::make_unique<TAboutBox>();
        box_->ShowMessage = [this](const QString& text) {
            messages_.push_back(text);
            // What the window shows while its message is up.
            buttonsWhileMessage_.push_back(box_->BitBtn1->isEnabled() || box_->OKButton->isEnabled());
        };
    }
    void TearDown() override {
        for (const char* s : {"http", "https"}) QDesktopServices::unsetUrlHandler(s);
        box_.reset();
    }

    // Shows the window without entering its modal loop, on the feedback tab.
    void ShowFeedback() {
        box_->show();
        box_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(box_.get()));
        box_->PageControl1->setCurrentWidget(box_->TabSheet2);
    }

    // Fills the feedback tab and presses "SendMail!"; returns when the send is over.
    void Send(int port, const QString& name, const QString& mailbox, const QString& subject, const QString& text,
              const QString& server = "127.0.0.1") {
        box_->KivSMTP1->SetPort(port);
        box_->SenderEdit->setText(name);
        box_->SmtpEdit->setText(server);
        box_->SenderEMail->setText(mailbox);
        box_->SubjectEdit->setText(subject);
        box_->DetailMemo->setPlainText(text);
        QTest::mouseClick(box_->BitBtn1, Qt::LeftButton);
    }

    void ExpectIdleAfter(const char* result) {
        EXPECT_TRUE(box_->BitBtn1->isEnabled());
        EXPECT_TRUE(box_->OKButton->isEnabled());
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_EQ(box_->StatusLabel->text(), QString::fromLatin1(result));
    }

    std::unique_ptr<TAboutBox> box_;
    std::vector<QString> messages_;
    std::vector<bool> buttonsWhileMessage_;
};

struct Placement {
    const char* name;
    QRect geometry;
};

TEST_F(AboutBoxTest, WindowHasItsCaptionFixedClientSizeAndFont) {
    EXPECT_EQ(box_->windowTitle(), "About");
    EXPECT_EQ(box_->size(), QSize(602, 417));
    EXPECT_EQ(box_->minimumSize(), box_->maximumSize());
    EXPECT_EQ(box_->font().family(), "Arial");
    EXPECT_EQ(box_->font().pixelSize(), 12);
    EXPECT_TRUE(box_->isHidden());
}

// The program makes the window before its first frame and its contents after it: the
// window alone is the same window, and whatever shows it first gets it whole.
TEST(AboutBoxDeferred, ContentsComeOnceWhenAskedForOrWhenShown) {
    for (const bool showFirst : {false, true}) {
        SCOPED_TRACE(showFirst ? "shown" : "asked for");
        TAboutBox box{TAboutBox::TDeferContent{}};
        EXPECT_EQ(box.windowTitle(), "About");
        EXPECT_EQ(box.size(), QSize(602, 417));
        EXPECT_TRUE(box.isModal());
        EXPECT_FALSE(box.HasContent());
        EXPECT_EQ(box.OKButton, nullptr);
        EXPECT_TRUE(box.findChildren<QWidget*>().isEmpty());
        if (showFirst) {
            box.show();
            ASSERT_NE(box.OKButton, nullptr);
            EXPECT_TRUE(box.OKButton->isVisible());
            EXPECT_TRUE(box.PageControl1->isVisible());
            box.hide();
        } else {
            box.EnsureContent();
        }
        ASSERT_TRUE(box.HasContent());
        const qsizetype widgets = box.findChildren<QWidget*>().size();
        EXPECT_EQ(box.findChildren<QWidget*>(QStringLiteral("OKButton")).size(), 1);
        box.EnsureContent();
        box.show();
        EXPECT_EQ(box.findChildren<QWidget*>().size(), widgets);
        EXPECT_EQ(box.PageControl1->currentWidget(), box.TabSheet1);
    }
}

TEST_F(AboutBoxTest, ControlsSitWhereTheFormPutsThem) {
    const Placement placements[] = {
        {"OKButton", {191, 372, 114, 37}},  {"PageControl1", {16, 0, 569, 353}}, {"Bevel1", {48, 16, 489, 41}},
        {"Memo1", {48, 72, 489, 169}},      {"BitBtn3", {40, 256, 217, 41}},     {"BitBtn2", {280, 256, 225, 41}},
        {"SenderEdit", {120, 24, 121, 23}}, {"SmtpEdit", {344, 26, 121, 23}},    {"SenderEMail", {120, 51, 145, 23}},
        {"Myemail", {344, 53, 161, 23}},    {"SubjectEdit", {120, 94, 345, 23}}, {"DetailMemo", {120, 128, 345, 129}},
        {"BitBtn1", {176, 272, 113, 33}},
    };
    for (const auto& p : placements) {
        auto* w = box_->findChild<QWidget*>(QString::fromLatin1(p.name));
        ASSERT_NE(w, nullptr) << p.name;
        EXPECT_EQ(w->geometry(), p.geometry) << p.name;
    }
    const struct {
        const char* name;
        QPoint pos;
    } labels[] = {{"Label9", {32, 368}}, {"Label7", {64, 16}},  {"Label8", {216, 32}},
                  {"Label1", {40, 24}},  {"Label2", {261, 26}}, {"Label3", {34, 51}},
                  {"Label4", {296, 53}}, {"Label5", {58, 102}}, {"Label6", {27, 128}}};
    for (const auto& l : labels) {
        auto* w = box_->findChild<QLabel*>(QString::fromLatin1(l.name));
        ASSERT_NE(w, nullptr) << l.name;
        EXPECT_EQ(w->pos(), l.pos) << l.name;
    }
    EXPECT_GE(box_->Label9->width(), 113);
    EXPECT_GE(box_->Label9->height(), 17);
}

TEST_F(AboutBoxTest, EveryCaptionReadsAsTheFormHasIt) {
    const struct {
        QString shown;
        const char* expected;
    } texts[] = {
        {box_->OKButton->text(), "OK"},
        {box_->PageControl1->tabText(0), "AboutBox"},
        {box_->PageControl1->tabText(1), "FeedBack"},
        {box_->Label7->text(), "Kelvo 2.0 "},
        {box_->BitBtn3->text(), "Buy it online (China)"},
        {box_->BitBtn2->text(), "Buy in online (Out of China)"},
        {box_->Label1->text(), "YourName"},
        {box_->Label2->text(), "STMP Server"},
        {box_->Label3->text(), "Your  E-Mail"},
        {box_->Label4->text(), "Author"},
        {box_->Label5->text(), "Subject"},
        {box_->Label6->text(), "Suggest or Requirement"},
        {box_->BitBtn1->text(), "SendMail!"},
        {box_->Label9->text(), "www.example.com"},
        {box_->SmtpEdit->text(), "smtp.example.com"},
        {box_->Myemail->text(), "support@example.com"},
    };
    for (const auto& t : texts) EXPECT_EQ(t.shown, QString::fromUtf8(t.expected));
    EXPECT_TRUE(box_->Myemail->isReadOnly());
    EXPECT_FALSE(box_->Label8->text().isEmpty());
    EXPECT_EQ(box_->Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_TRUE(box_->Memo1->toPlainText().contains("rulers that show their length in inches"));
    // The description fits its box without a horizontal scroll bar.
    const QFontMetrics fm(box_->Memo1->font());
    for (const QString& line : box_->Memo1->toPlainText().split('\n'))
        EXPECT_LT(fm.horizontalAdvance(line), 489 - 12) << line.toStdString();
    // The caption beside the memo is wrapped over two lines.
    EXPECT_TRUE(box_->Label6->wordWrap());
    EXPECT_LT(box_->Label6->width(), QFontMetrics(box_->Label6->font()).horizontalAdvance(box_->Label6->text()));
    EXPECT_TRUE(box_->StatusLabel->text().isEmpty());
}

TEST_F(AboutBoxTest, FontsAndLookOfTheTitleLinkAndTabs) {
    EXPECT_EQ(box_->Label9->font().pixelSize(), 15);
    EXPECT_EQ(box_->Label9->palette().color(QPalette::WindowText), QColor(0, 0, 160));
    EXPECT_EQ(box_->Label9->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(box_->Label7->font().pixelSize(), 29);
    EXPECT_TRUE(box_->PageControl1->tabBar()->font().bold());
    EXPECT_EQ(box_->PageControl1->tabBar()->tabRect(0).height(), TAboutBox::kTabHeight);
    EXPECT_EQ(box_->PageControl1->currentWidget(), box_->TabSheet1);
    EXPECT_TRUE(box_->OKButton->isDefault());
    EXPECT_FALSE(box_->BitBtn1->isDefault());
    EXPECT_FALSE(box_->BitBtn1->icon().isNull());
    // Two-image glyphs: the disabled look is an image of its own, not Qt's derived one.
    for (QPushButton* b : {box_->BitBtn3, box_->BitBtn2}) {
        const QImage normal = b->icon().pixmap(20, QIcon::Normal).toImage();
        const QImage disabled = b->icon().pixmap(20, QIcon::Disabled).toImage();
        EXPECT_FALSE(normal.isNull());
        EXPECT_NE(normal, disabled);
    }
}

TEST_F(AboutBoxTest, StatusLineFitsUnderTheSendButtonInsideTheTab) {
    ShowFeedback();
    const QRect status = box_->StatusLabel->geometry();
    EXPECT_GE(status.top(), box_->BitBtn1->geometry().bottom());
    EXPECT_LE(status.bottom(), box_->TabSheet2->height());
    EXPECT_GE(status.height(), QFontMetrics(box_->StatusLabel->font()).height());
}

TEST_F(AboutBoxTest, TabWalksTheFeedbackFieldsInTheFormsOrder) {
    ShowFeedback();
    box_->SenderEdit->setFocus();
    QApplication::processEvents();
    std::vector<QString> order{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 6; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order.push_back(QApplication::focusWidget()->objectName());
    }
    const std::vector<QString> expected{"SenderEdit",  "SmtpEdit", "SenderEMail", "Myemail",
                                        "SubjectEdit", "BitBtn1",  "DetailMemo"};
    EXPECT_EQ(order, expected);
}

TEST_F(AboutBoxTest, LinkLabelAndPurchaseButtonsOpenTheirLinks) {
    LinkRecorder recorder;
    for (const char* s : {"http", "https"}) QDesktopServices::setUrlHandler(s, &recorder, "open");
    box_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(box_.get()));
    QTest::mouseClick(box_->Label9, Qt::LeftButton);
    QTest::mouseClick(box_->BitBtn3, Qt::LeftButton);
    QTest::mouseClick(box_->BitBtn2, Qt::LeftButton);
    // A press that leaves the label before the release opens nothing.
    QTest::mousePress(box_->Label9, Qt::LeftButton);
    QTest::mouseRelease(box_->Label9, Qt::LeftButton, {}, QPoint(-5, -5));
    const std::vector<QString> expected{"http://www.example.com/",
                                        "http://www.example.org/software/graphics/kelvo/download.html",
                                        "https://secure.example.net/order?PRODUCT=160001"};
    for (const char* s : {"http", "https"}) QDesktopServices::unsetUrlHandler(s);
    EXPECT_EQ(recorder.links, expected);
    EXPECT_EQ(box_->URL1->URLType(), utHttp);
    EXPECT_EQ(box_->URL2->URLType(), utHttp);
    EXPECT_EQ(box_->URL3->URLType(), utHttps);
    // Every link is short enough for any shell that takes 79 characters.
    for (TURL* u : {box_->URL1, box_->URL2, box_->URL3}) EXPECT_LE(u->LinkText().size(), 79);
}

TEST_F(AboutBoxTest, MailboxWithoutAtIsRefusedBeforeAnyNetworkActivity) {
    LoopbackListener server;
    ShowFeedback();
    box_->SmtpEdit->setText("127.0.0.1");
    box_->SenderEdit->setText("Ann");
    for (const char* mailbox : {"", "ann.example.org", "ann at example.org"}) {
        messages_.clear();
        box_->SenderEMail->setText(QString::fromLatin1(mailbox));
        QTest::mouseClick(box_->BitBtn1, Qt::LeftButton);
        EXPECT_EQ(messages_, std::vector<QString>{"Invalid E-Mail Address"}) << mailbox;
        EXPECT_TRUE(box_->BitBtn1->isEnabled());
        EXPECT_TRUE(box_->OKButton->isEnabled());
    }
    QTest::qWait(100);
    EXPECT_FALSE(server.Knocked());
}

TEST_F(AboutBoxTest, WindowKeepsWhatWasTypedBetweenShowings) {
    ShowFeedback();
    box_->SenderEdit->setText("Ann");
    box_->DetailMemo->setPlainText("first line");
    QTest::mouseClick(box_->OKButton, Qt::LeftButton);
    EXPECT_TRUE(box_->isHidden());
    EXPECT_EQ(box_->result(), QDialog::Accepted);
    box_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(box_.get()));
    EXPECT_EQ(box_->SenderEdit->text(), "Ann");
    EXPECT_EQ(box_->DetailMemo->toPlainText(), "first line");
    EXPECT_EQ(box_->PageControl1->currentWidget(), box_->TabSheet2);
}

TEST_F(AboutBoxTest, SessionComponentCarriesTheFormsSettings) {
    const TKivSMTP& smtp = *box_->KivSMTP1;
    EXPECT_EQ(smtp.Port(), 25);
    EXPECT_EQ(smtp.ReportLevel(), 0);
    EXPECT_EQ(smtp.EncodeType(), uuMime);
    EXPECT_TRUE(smtp.ClearParams());
    EXPECT_EQ(smtp.SubType(), mtPlain);
    EXPECT_EQ(smtp.Charset(), "us-ascii");
    EXPECT_EQ(smtp.TimeOut(), 30000);
    EXPECT_FALSE(smtp.Connected());
    EXPECT_FALSE(static_cast<bool>(smtp.OnStatus));
}

TEST_F(AboutBoxTest, FeedbackArrivesWithWhatWasTyped) {
    FakeSmtpServer sink;
    ShowFeedback();
    Send(sink.Port(), "Ann", "ann@example.org", "Hello", "first line\nsecond line");
    EXPECT_EQ(messages_, std::vector<QString>{"Mail sent !"});
    EXPECT_EQ(buttonsWhileMessage_, std::vector<bool>{false});
    ExpectIdleAfter("Mail sent !");
    ASSERT_EQ(sink.Count(), 1);
    const QJsonObject mail = Mail(sink, 1);
    EXPECT_EQ(mail["from"].toString(), "ann@example.org");
    EXPECT_EQ(mail["to"].toString(), "support@example.com");
    EXPECT_EQ(mail["subject"].toString(), "Hello");
    EXPECT_EQ(mail["body"].toString(), Received("first line\nsecond line"));
    EXPECT_EQ(mail["defects"].toArray().size(), 0);
    const QJsonObject envelope = sink.Envelope(1);
    EXPECT_EQ(envelope["helo"].toString(), "Ann");
    EXPECT_EQ(envelope["mail_from"].toString(), "ann@example.org");
    EXPECT_EQ(envelope["rcpt_tos"].toArray(), QJsonArray{"support@example.com"});
    // The connection stays open for the next feedback.
    EXPECT_TRUE(box_->KivSMTP1->Connected());
    EXPECT_EQ(sink.Commands(), (QStringList{"CONNECT", "HELO Ann", "RSET"}));
}

TEST_F(AboutBoxTest, SecondFeedbackQuitsTheOldConnectionAndCarriesOnlyItsOwnText) {
    FakeSmtpServer sink;
    ShowFeedback();
    Send(sink.Port(), "Ann", "ann@example.org", "One", "the first feedback");
    Send(sink.Port(), "Bob", "bob@example.org", "Two", "the second feedback");
    EXPECT_EQ(messages_, (std::vector<QString>{"Mail sent !", "Mail sent !"}));
    ASSERT_EQ(sink.Count(), 2);
    EXPECT_EQ(Mail(sink, 2)["body"].toString(), Received("the second feedback"));
    EXPECT_EQ(Mail(sink, 2)["subject"].toString(), "Two");
    EXPECT_EQ(Mail(sink, 2)["from"].toString(), "bob@example.org");
    EXPECT_EQ(sink.Envelope(2)["helo"].toString(), "Bob");
    EXPECT_EQ(sink.Commands(), (QStringList{"CONNECT", "HELO Ann", "RSET", "QUIT", "CONNECT", "HELO Bob", "RSET"}));
}

TEST_F(AboutBoxTest, EmptySubjectGivesMailWithoutSubjectLine) {
    FakeSmtpServer sink;
    ShowFeedback();
    Send(sink.Port(), "Ann", "ann@example.org", "", "no subject here");
    EXPECT_EQ(messages_, std::vector<QString>{"Mail sent !"});
    ASSERT_EQ(sink.Count(), 1);
    const QJsonObject mail = Mail(sink, 1);
    EXPECT_FALSE(mail["names"].toArray().contains("Subject"));
    EXPECT_EQ(mail["body"].toString(), Received("no subject here"));
}

TEST_F(AboutBoxTest, TextBeyondUsAsciiArrivesIntact) {
    FakeSmtpServer sink;
    ShowFeedback();
    const QString subject = QString::fromUtf8("Caf\u00e9 \u65e5\u672c\u8a9e");
    const QString text =
        QString::fromUtf8("R\u00e9sum\u00e9: \u00e9\n\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8");
    Send(sink.Port(), "Ann", "ann@example.org", subject, text);
    EXPECT_EQ(messages_, std::vector<QString>{"Mail sent !"});
    ASSERT_EQ(sink.Count(), 1);
    const QJsonObject mail = Mail(sink, 1);
    EXPECT_EQ(mail["subject"].toString(), subject);
    EXPECT_EQ(mail["body"].toString(), Received(text));
    EXPECT_EQ(mail["defects"].toArray().size(), 0);
}

TEST_F(AboutBoxTest, MailboxWithoutAtLeavesTheOpenConnectionAlone) {
    FakeSmtpServer sink;
    ShowFeedback();
    Send(sink.Port(), "Ann", "ann@example.org", "One", "text");
    Send(sink.Port(), "Ann", "ann.example.org", "Two", "text");
    EXPECT_EQ(messages_, (std::vector<QString>{"Mail sent !", "Invalid E-Mail Address"}));
    QTest::qWait(100);
    EXPECT_EQ(sink.Commands(), (QStringList{"CONNECT", "HELO Ann", "RSET"}));
    EXPECT_TRUE(box_->KivSMTP1->Connected());
    EXPECT_EQ(sink.Count(), 1);
}

TEST_F(AboutBoxTest, FeedbackAfterTheServerClosedTheIdleConnectionIsSent) {
    FakeSmtpServer sink({.idleTimeoutSeconds = 0.5});
    ShowFeedback();
    Send(sink.Port(), "Ann", "ann@example.org", "One", "first");
    // The server gives up on the idle connection; the window notices while it waits.
    QTest::qWait(1500);
    Send(sink.Port(), "Ann", "ann@example.org", "Two", "second");
    EXPECT_EQ(messages_, (std::vector<QString>{"Mail sent !", "Mail sent !"}));
    EXPECT_EQ(sink.Count(), 2);
}

TEST_F(AboutBoxTest, FeedbackAfterPostfixTimedOutTheIdleConnectionIsSent) {
    // Postfix ends an idle session with "421 4.4.2 ... timeout exceeded" and closes;
    // the 421 waits unread on the kept connection until the next send.
    PostfixInstance postfix({"mydestination=localhost, example.com", "smtpd_timeout=2s"});
    if (!postfix.Available()) GTEST_SKIP() << postfix.Why();
    ShowFeedback();
    Send(postfix.Port(), "Ann", "ann@example.org", "One", "first");
    QTest::qWait(3500);
    Send(postfix.Port(), "Ann", "ann@example.org", "Two", "second");
    EXPECT_EQ(messages_, (std::vector<QString>{"Mail sent !", "Mail sent !"}));
    QTest::qWait(300);
    EXPECT_EQ(postfix.Accepted(), 2u) << postfix.Log();
}

TEST_F(AboutBoxTest, ServerNamedByHostNameIsLookedUp) {
    // The test program's own name table knows feedback.test as 127.0.0.1.
    FakeSmtpServer sink({.idleTimeoutSeconds = 0.5});
    ShowFeedback();
    Send(sink.Port(), "Ann", "ann@example.org", "Named", "text", "feedback.test");
    EXPECT_EQ(messages_, std::vector<QString>{"Mail sent !"});
    EXPECT_EQ(sink.Count(), 1);
}

struct FailureCase {
    const char* scenario;
    // Prepares a server, sets what the send needs and returns the port to use.
    std::function<int(TAboutBox&, std::unique_ptr<LoopbackListener>&)> arrange;
    const char* server;
    const char* name;
};

TEST_F(AboutBoxTest, FailedSendSaysSoAndGivesTheButtonsBack) {
    const FailureCase cases[] = {
        {"closed port", [](TAboutBox&, auto&) { return ClosedLoopbackPort(); }, "127.0.0.1", "Ann"},
        {"name that cannot be resolved", [](TAboutBox&, auto&) { return 25; }, "unlisted-host", "Ann"},
        {"server silent after accepting",
         [](TAboutBox& box, std::unique_ptr<LoopbackListener>& l) {
             l = std::make_unique<LoopbackListener>();
             box.KivSMTP1->SetTimeOut(300);
             return l->Port();
         },
         "127.0.0.1", "Ann"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        SetUp();
        messages_.clear();
        buttonsWhileMessage_.clear();
        std::unique_ptr<LoopbackListener> listener;
        ShowFeedback();
        const int port = c.arrange(*box_, listener);
        Send(port, c.name, "ann@example.org", "Hello", "text", c.server);
        EXPECT_EQ(messages_, std::vector<QString>{"Mail can not be sent !"});
        EXPECT_EQ(buttonsWhileMessage_, std::vector<bool>{false});
        ExpectIdleAfter("Mail can not be sent !");
        EXPECT_FALSE(box_->KivSMTP1->Connected());
    }
}

// What the session greets with when the typed name cannot stand as a HELO argument:
// this host's fully qualified name, else the address of its end of the connection.
std::string LocalHeloName() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    const std::string host = name;
    return host.find('.') != std::string::npos ? host : "[127.0.0.1]";
}

TEST_F(AboutBoxTest, TypedNameGreetsOnlyWhenItIsADomainOrAddressLiteral) {
    // Postfix with reject_invalid_helo_hostname refuses the recipients of a session
    // greeted with "Jane Doe" or "Jörg". The author's mailbox is local to it.
    PostfixInstance postfix({"mydestination=localhost, example.com"});
    if (!postfix.Available()) GTEST_SKIP() << postfix.Why();
    struct Row {
        QString typed;
        std::string helo;
    };
    const std::vector<Row> rows{
        {"Jane Doe", LocalHeloName()},
        {QString::fromUtf8("J\u00f6rg"), LocalHeloName()},
        {"", LocalHeloName()},
        {"doe-", LocalHeloName()},
        {"12.34", LocalHeloName()},
        {"[999.1.1.1]", LocalHeloName()},
        {"Ann", "Ann"},
        {"jane.example.org", "jane.example.org"},
        {"[192.0.2.7]", "[192.0.2.7]"},
        {"[IPv6:2001:db8::1]", "[IPv6:2001:db8::1]"},
    };
    ShowFeedback();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.typed.toStdString());
        messages_.clear();
        Send(postfix.Port(), r.typed, "ann@example.org", "Hello", "text");
        EXPECT_EQ(messages_, std::vector<QString>{"Mail sent !"});
        // The component keeps the name it greeted with.
        EXPECT_EQ(box_->KivSMTP1->UserID(), r.helo);
    }
    QTest::qWait(300);
    EXPECT_TRUE(postfix.Rejections().empty()) << postfix.Rejections()[0];
    std::vector<std::string> want;
    for (const Row& r : rows) want.push_back(r.helo);
    EXPECT_EQ(postfix.Helos(), want) << postfix.Log();
}

TEST_F(AboutBoxTest, WhileSendingTheWindowShowsItIsBusy) {
    LoopbackListener silent;
    ShowFeedback();
    box_->KivSMTP1->SetTimeOut(600);
    struct Seen {
        bool sendEnabled = true, okEnabled = true;
        Qt::CursorShape cursor = Qt::ArrowCursor;
        QString status;
    } seen;
    LinkRecorder recorder;
    QDesktopServices::setUrlHandler("http", &recorder, "open");
    QTimer::singleShot(150, box_.get(), [&] {
        seen.sendEnabled = box_->BitBtn1->isEnabled();
        seen.okEnabled = box_->OKButton->isEnabled();
        if (const QCursor* c = QGuiApplication::overrideCursor()) seen.cursor = c->shape();
        seen.status = box_->StatusLabel->text();
        // The window stays live while the send waits: the vendor link still opens.
        QTest::mouseClick(box_->Label9, Qt::LeftButton);
    });
    Send(silent.Port(), "Ann", "ann@example.org", "Hello", "text");
    QDesktopServices::unsetUrlHandler("http");
    EXPECT_EQ(recorder.links, std::vector<QString>{"http://www.example.com/"});
    EXPECT_FALSE(seen.sendEnabled);
    EXPECT_FALSE(seen.okEnabled);
    EXPECT_EQ(seen.cursor, Qt::BusyCursor);
    EXPECT_EQ(seen.status, QString::fromUtf8("Connecting to 127.0.0.1\u2026"));
    EXPECT_EQ(messages_, std::vector<QString>{"Mail can not be sent !"});

    FakeSmtpServer sink;
    QString sendingStatus;
    box_->KivSMTP1->OnSendStart = [&](QObject*) { sendingStatus = box_->StatusLabel->text(); };
    Send(sink.Port(), "Ann", "ann@example.org", "Hello", "text");
    EXPECT_EQ(sendingStatus, QString::fromUtf8("Sending\u2026"));
    ExpectIdleAfter("Mail sent !");
}

// Closing the window while the send waits for a server that never greets: the send
// ends at once, before its time-out, with no message box, and the status line says
// so, also at the next showing. (Ending the program is tried on the real program,
// tests/e2e/test_feedback_cancel.py: a quit here would end this test's loops too.)
TEST_F(AboutBoxTest, ClosingWhileASendWaitsCancelsTheSend) {
    struct Row {
        const char* scenario;
        std::function<void(TAboutBox&)> close;
    };
    const std::vector<Row> rows{
        {"Escape", [](TAboutBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }},
        {"close box", [](TAboutBox& box) { box.close(); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.scenario);
        SetUp();
        messages_.clear();
        LoopbackListener silent;
        box_->KivSMTP1->SetTimeOut(60000);
        box_->KivSMTP1->SetPort(silent.Port());
        box_->SenderEdit->setText("Ann");
        box_->SmtpEdit->setText("127.0.0.1");
        box_->SenderEMail->setText("ann@example.org");
        box_->DetailMemo->setPlainText("text");
        bool sendingWhenClosed = false;
        QTimer::singleShot(0, box_.get(), [&] {
            box_->PageControl1->setCurrentWidget(box_->TabSheet2);
            QTimer::singleShot(300, box_.get(), [&] {
                sendingWhenClosed = box_->Sending() && silent.Knocked();
                r.close(*box_);
            });
            QTest::mouseClick(box_->BitBtn1, Qt::LeftButton);
        });
        box_->exec();
        EXPECT_TRUE(sendingWhenClosed);
        EXPECT_FALSE(box_->Sending());
        EXPECT_FALSE(box_->KivSMTP1->TimedOut());
        EXPECT_FALSE(box_->KivSMTP1->Connected());
        EXPECT_TRUE(messages_.empty()) << messages_[0].toStdString();
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_EQ(box_->StatusLabel->text(), QString::fromLatin1(TAboutBox::kMailCancelled));
        // Opened again at once: the window is free, tells what became of the mail,
        // and sends again.
        QString statusOnReopen;
        QTimer::singleShot(0, box_.get(), [&] {
            statusOnReopen = box_->StatusLabel->text();
            box_->accept();
        });
        box_->exec();
        EXPECT_EQ(statusOnReopen, QString::fromLatin1(TAboutBox::kMailCancelled));
        if (box_->isVisible()) box_->hide();
        FakeSmtpServer sink;
        ShowFeedback();
        Send(sink.Port(), "Ann", "ann@example.org", "Again", "text");
        EXPECT_EQ(messages_, std::vector<QString>{"Mail sent !"});
        box_->hide();
    }
}

TEST_F(AboutBoxTest, StatusIsClearedWhenTheTabIsShownAgain) {
    ShowFeedback();
    Send(ClosedLoopbackPort(), "Ann", "ann@example.org", "Hello", "text");
    EXPECT_EQ(box_->StatusLabel->text(), "Mail can not be sent !");
    box_->PageControl1->setCurrentWidget(box_->TabSheet1);
    box_->PageControl1->setCurrentWidget(box_->TabSheet2);
    EXPECT_TRUE(box_->StatusLabel->text().isEmpty());
    Send(ClosedLoopbackPort(), "Ann", "ann@example.org", "Hello", "text");
    box_->hide();
    box_->show();
    EXPECT_TRUE(box_->StatusLabel->text().isEmpty());
}

} // namespace
} // namespace kelvo

#include "about_box_test.moc"
