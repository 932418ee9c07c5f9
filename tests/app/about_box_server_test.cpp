// The feedback tab's server box with addresses and sign-in: refused addresses, the password prompt, and a plain host keeping its port.
#include "app/about_box.h"

#include "mail/smtp.h"

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <optional>
#include <vector>

namespace kelvo {
namespace {

// Listens on 127.0.0.1 and never accepts; tells whether a client knocked.
class Listener {
public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd_, 4) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd_); }
    int Port() const { return port_; }
    int Fd() const { return fd_; }
    bool Knocked() const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Greets, offers STARTTLS, says go ahead, and then stays silent: the client is left
// waiting in its TLS handshake until the time-out.
class StallingStartTlsServer {
public:
    StallingStartTlsServer() {
        thread_ = std::thread([this] {
            const int fd = ::accept(listenFd(), nullptr, nullptr);
            if (fd < 0) return;
            auto say = [fd](const std::string& text) { (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL); };
            auto readLine = [fd] {
                std::string line;
                char c;
                while (::recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
                return line;
            };
            say("220 kelvo-test ESMTP\r\n");
            ehlo_ = readLine();
            say("250-kelvo-test\r\n250 STARTTLS\r\n");
            startTls_ = readLine();
            say("220 go ahead\r\n");
            char buf[4096];
            while (::recv(fd, buf, sizeof buf, 0) > 0) {}
            ::close(fd);
        });
    }
    ~StallingStartTlsServer() {
        ::shutdown(listener_.Fd(), SHUT_RDWR);
        thread_.join();
    }
    int Port() const { return listener_.Port(); }
    std::string StartTlsLine() const { return startTls_; }

private:
    int listenFd() const { return listener_.Fd(); }
    Listener listener_;
    std::string ehlo_, startTls_;
    std::thread thread_;
};

class AboutBoxServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "about_box_server_test";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) new QApplication(argc, argv);
    }
    void SetUp() override {
        box_ = std::make_unique<TAboutBox>();
        box_->ShowMessage = [this](const QString& text) { messages_.push_back(text); };
        box_->KivSMTP1->SetTimeOut(2000);
        box_->PageControl1->setCurrentWidget(box_->TabSheet2);
        box_->SenderEdit->setText("Ann");
        box_->SenderEMail->setText("ann@example.org");
        box_->DetailMemo->setPlainText("Hello");
    }
    void Click(const QString& server) {
        box_->SmtpEdit->setText(server);
        QTest::mouseClick(box_->BitBtn1, Qt::LeftButton);
    }

    std::unique_ptr<TAboutBox> box_;
    std::vector<QString> messages_;
};

TEST_F(AboutBoxServerTest, RefusedAddressSaysWhyAndSendsNothing) {
    Listener server;
    for (const QString& text : {QString("127.0.0.1:0"), QString("smtp://ann:pw@127.0.0.1:%1").arg(server.Port()),
                                QString("ftp://127.0.0.1")}) {
        messages_.clear();
        bool asked = false;
        box_->AskPassword = [&](const QString&) -> std::optional<QString> {
            asked = true;
            return QString("x");
        };
        Click(text);
        ASSERT_EQ(messages_.size(), 1u) << text.toStdString();
        EXPECT_NE(messages_[0], QString::fromLatin1(TAboutBox::kMailNotSent));
        EXPECT_FALSE(asked);
        EXPECT_TRUE(box_->BitBtn1->isEnabled());
    }
    QTest::qWait(50);
    EXPECT_FALSE(server.Knocked());
}

TEST_F(AboutBoxServerTest, NamedUserIsAskedOnceAndCancellingSendsNothing) {
    Listener server;
    std::vector<QString> prompts;
    box_->AskPassword = [&](const QString& prompt) -> std::optional<QString> {
        prompts.push_back(prompt);
        return std::nullopt;
    };
    Click(QString("smtp://ann%40example.org@127.0.0.1:%1").arg(server.Port()));
    EXPECT_EQ(prompts, std::vector<QString>{"Password for ann@example.org at 127.0.0.1:"});
    EXPECT_TRUE(messages_.empty());
    EXPECT_TRUE(box_->BitBtn1->isEnabled());
    EXPECT_TRUE(box_->OKButton->isEnabled());
    QTest::qWait(50);
    EXPECT_FALSE(server.Knocked());
}

TEST_F(AboutBoxServerTest, PasswordDialogMasksWhatIsTyped) {
    Listener server;
    std::optional<QLineEdit::EchoMode> echo;
    QString title;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        title = dialog->objectName();
        echo = dialog->textEchoMode();
        dialog->reject();
    });
    Click(QString("smtps://ann@127.0.0.1:%1").arg(server.Port()));
    EXPECT_EQ(title, "PasswordDialog");
    ASSERT_TRUE(echo.has_value());
    EXPECT_EQ(*echo, QLineEdit::Password);
    QTest::qWait(50);
    EXPECT_FALSE(server.Knocked());
}

TEST_F(AboutBoxServerTest, AddressSetsPortSecurityAndUserAndAPlainHostGetsTheOldPortBack) {
    Listener server;
    Listener plain;
    box_->KivSMTP1->SetPort(plain.Port()); // the session's own port, as the form would set it
    box_->AskPassword = [](const QString&) -> std::optional<QString> { return QString("pw"); };
    Click(QString("smtps://ann@127.0.0.1:%1").arg(server.Port()));
    EXPECT_EQ(box_->KivSMTP1->Port(), server.Port());
    EXPECT_EQ(box_->KivSMTP1->Security(), ssImplicitTls);
    EXPECT_EQ(box_->KivSMTP1->UserName(), "ann");
    EXPECT_EQ(messages_, std::vector<QString>{QString::fromLatin1(TAboutBox::kMailNotSent)});
    // The status line never carried the password.
    EXPECT_FALSE(box_->StatusLabel->text().contains("pw"));

    Click("127.0.0.1");
    EXPECT_EQ(box_->KivSMTP1->Port(), plain.Port());
    EXPECT_TRUE(plain.Knocked());
    EXPECT_EQ(box_->KivSMTP1->Security(), ssNone);
    EXPECT_EQ(box_->KivSMTP1->UserName(), "");
}

TEST_F(AboutBoxServerTest, StatusLineShowsTheSecuringStep) {
    StallingStartTlsServer server;
    std::vector<QString> shown;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString now = box_->StatusLabel->text();
        if (shown.empty() || shown.back() != now) shown.push_back(now);
    });
    watch.start(5);
    Click(QString("smtp://127.0.0.1:%1").arg(server.Port()));
    watch.stop();
    EXPECT_EQ(messages_, std::vector<QString>{QString::fromLatin1(TAboutBox::kMailNotSent)});
    // The handshake waits for the time-out, long enough to be seen; the steps before
    // it may pass between two looks.
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), QString::fromUtf8(TKivSMTP::kSecuringStatus));
    EXPECT_EQ(box_->StatusLabel->text(), QString::fromLatin1(TAboutBox::kMailNotSent));
}

} // namespace
} // namespace kelvo
