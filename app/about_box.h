// The about and feedback window: what the drawing component does, where to buy it, and a form that mails feedback to its author.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QTabBar>
#include <QTabWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QFrame;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace kelvo {

class TKivSMTP;
class TURL;

// A label that reports a left click, for the vendor's address under the tabs.
class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLinkLabel(const QString& text, QWidget* parent = nullptr);
    std::function<void()> OnClick;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// A tab set whose tabs have one fixed height, whatever the style would choose.
class TPageControl : public QTabWidget {
    Q_OBJECT
public:
    TPageControl(int tabHeight, QWidget* parent = nullptr);
};

// The window is created once at program start and shown modally by the main
// window's information button; it is only hidden in between, so what the user
// typed and the SMTP connection of the last send survive until the next showing.
// Controls are public, named as in the stored form, so that the program start and
// tests can reach them.
class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent = nullptr);
    // The window alone, its contents made by EnsureContent (at the latest when it is
    // shown): the program makes them after its first frame, which does not need them.
    struct TDeferContent {};
    explicit TAboutBox(TDeferContent, QWidget* parent = nullptr);
    void EnsureContent();
    bool HasContent() const { return content_; }
    void setVisible(bool visible) override;
    ~TAboutBox() override;

    static constexpr int kClientWidth = 602;
    static constexpr int kClientHeight = 417;
    static constexpr int kTabHeight = 30;
    // A send that hears nothing from the server for this long gives up.
    static constexpr int kSendTimeOutMs = 30000;
    static constexpr const char* kCaption = "About";
    // The caption of the window's message boxes.
    static constexpr const char* kMessageCaption = "Kelvo";

    static constexpr const char* kInvalidAddress = "Invalid E-Mail Address";
    static constexpr const char* kMailSent = "Mail sent !";
    static constexpr const char* kMailNotSent = "Mail can not be sent !";
    // The window or the program was closed while the send waited.
    static constexpr const char* kMailCancelled = "Sending cancelled: the mail was not sent";

    // Shows a message and returns when the user has closed it. Empty = a modal
    // QMessageBox captioned kMessageCaption; tests put a recorder here.
    std::function<void(const QString& text)> ShowMessage;
    // Asks for the sign-in password with `prompt`; nothing when the user cancels.
    // Empty = a modal dialog with a masked field; tests put a recorder here.
    std::function<std::optional<QString>(const QString& prompt)> AskPassword;

    TLinkLabel* Label9 = nullptr;
    QPushButton* OKButton = nullptr;
    TPageControl* PageControl1 = nullptr;

    QWidget* TabSheet1 = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label8 = nullptr;
    QFrame* Bevel1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* BitBtn3 = nullptr;
    QPushButton* BitBtn2 = nullptr;

    QWidget* TabSheet2 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* SenderEdit = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* SmtpEdit = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* SenderEMail = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* Myemail = nullptr;
    QLabel* Label5 = nullptr;
    QLineEdit* SubjectEdit = nullptr;
    QLabel* Label6 = nullptr;
    QPlainTextEdit* DetailMemo = nullptr;
    QPushButton* BitBtn1 = nullptr;
    // One line under the send button: what the send is doing, then how it ended.
    QLabel* StatusLabel = nullptr;

    TKivSMTP* KivSMTP1 = nullptr;
    TURL* URL1 = nullptr;
    TURL* URL2 = nullptr;
    TURL* URL3 = nullptr;

public slots:
    void BitBtn1Click();
    void Label9Click();
    void BitBtn3Click();
    void BitBtn2Click();

    // True while BitBtn1Click runs its send.
    bool Sending() const { return sending_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateAboutSheet();
    void CreateFeedbackSheet();
    void CreateComponents();
    void SetTabOrder();
    void CenterOnScreen();
    void SetStatus(const QString& text);
    void Message(const QString& text);
    // Fills the message from the form and hands it to KivSMTP1; raises on failure.
    void SendFeedback();
    // Ends the running send at once: its wait raises, and the connection goes.
    void CancelSend();

    bool content_ = false;
    bool sending_ = false;
    bool cancelRequested_ = false;
    // The send was cancelled while the window was hidden: the next showing tells so.
    bool keepStatus_ = false;
    // Takes the server box into KivSMTP1 and asks for the password when the address
    // names a user; false when the box was refused (with a message) or the user
    // cancelled. The password stays in memory only until the send is over.
    bool PrepareServer();
    std::optional<QString> AskPasswordDialog(const QString& prompt);
    // The session's port before an address named one, for the next plain host name.
    int32_t plainPort_ = 0;
    bool portFromAddress_ = false;
};

// The form's text as the byte string the mail layer takes.
std::string ToBytes(const QString& text);

} // namespace kelvo
