// The about and feedback window on the offscreen platform: its stored layout and texts,
// its links, and the feedback send against SMTP servers on 127.0.0.1.
#include "app/about_box.h"

#include "app/url_launcher.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace kelvo {
namespace {

class LinkRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<QString> links;
public slots:
    void open(const QUrl& url) { links.push_back(QString::fromUtf8(url.toEncoded())); }
};

// A TCP socket listening on 127.0.0.1 that never accepts: the system completes the
// handshake, so a client connects and then hears nothing.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            ::listen(fd_, 4) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
        port_ = ntohs(a.sin_port);
    }
    ~SilentListener() { Close(); }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    int Port() const { return port_; }
    // True when a client has connected (a connection waits to be accepted).
    bool Knocked() const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

class AboutBoxTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "about_box_test";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) new QApplication(argc, argv);
    }
    void SetUp() override {
        box_ = std::make_unique<TAboutBox>();
        box_->ShowMessage = [this](const QString& text) {
            messages_.push_back(text);
            // What the window shows while its message is up.
            buttonsWhileMessage_.push_back(box_->BitBtn1->isEnabled() ||
                                           box_->OKButton->isEnabled());
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

TEST_F(AboutBoxTest, ControlsSitWhereTheFormPutsThem) {
    const Placement placements[] = {
        {"OKButton", {191, 372, 114, 37}},   {"PageControl1", {16, 0, 569, 353}},
        {"Bevel1", {48, 16, 489, 41}},       {"Memo1", {48, 72, 489, 169}},
        {"BitBtn3", {40, 256, 217, 41}},     {"BitBtn2", {280, 256, 225, 41}},
        {"SenderEdit", {120, 24, 121, 23}},  {"SmtpEdit", {344, 26, 121, 23}},
        {"SenderEMail", {120, 51, 145, 23}}, {"Myemail", {344, 53, 161, 23}},
        {"SubjectEdit", {120, 94, 345, 23}}, {"DetailMemo", {120, 128, 345, 129}},
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
    } labels[] = {{"Label9", {32, 368}}, {"Label7", {64, 16}}, {"Label8", {216, 32}},
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
    EXPECT_LT(box_->Label6->width(),
              QFontMetrics(box_->Label6->font()).horizontalAdvance(box_->Label6->text()));
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
    const std::vector<QString> expected{
        "http://www.example.com/",
        "http://www.example.org/software/graphics/kelvo/download.html",
        "https://secure.example.net/order?PRODUCT=160001"};
    EXPECT_EQ(recorder.links, expected);
    EXPECT_EQ(box_->URL1->URLType(), utHttp);
    EXPECT_EQ(box_->URL2->URLType(), utHttp);
    EXPECT_EQ(box_->URL3->URLType(), utHttps);
    // Every link is short enough for any shell that takes 79 characters.
    for (TURL* u : {box_->URL1, box_->URL2, box_->URL3}) EXPECT_LE(u->LinkText().size(), 79);
}

TEST_F(AboutBoxTest, MailboxWithoutAtIsRefusedBeforeAnyNetworkActivity) {
    SilentListener server;
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

} // namespace
} // namespace kelvo

#include "about_box_test.moc"
