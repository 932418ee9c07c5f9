// The about and feedback window: what the drawing component does, where to buy it, and a form that mails feedback to its author.
#include "app/about_box.h"

#include "app/smtp_server_address.h"
#include "app/url_launcher.h"
#include "mail/smtp.h"
#include "platform/exceptions.h"
#include "platform/guarded.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>

#include <algorithm>
#include <exception>

namespace kelvo {
namespace {

constexpr int kGlyph = 20;

const char* const kVendorAddress = "www.example.com";

const char* const kDescription = "Kelvo is a measuring and annotation component for grey-scale pictures,\n"
                                 "such as medical images with DICOM-style labels. On top of the picture\n"
                                 "the user draws with the mouse:\n"
                                 "  - annotation arrows that carry a typed text,\n"
                                 "  - rulers that show their length in inches,\n"
                                 "  - angle gauges that show the angle at their vertex in degrees,\n"
                                 "  - region outlines (polylines, rectangles, ellipses) named Roi-1, Roi-2...\n"
                                 "Shapes are selected, moved and resized by their corner or vertex handles,\n"
                                 "and deleted. Line width and colour of new shapes, the zoom factor, shadow\n"
                                 "copies and text labels are properties of the component; a label of the\n"
                                 "host window can show the cursor position in picture coordinates.";

// Glyphs are drawn in code; `ink` is the only colour, so a grey ink gives the
// disabled image of a two-image glyph.
using GlyphPainter = void (*)(QPainter&, const QColor& ink);

void PaintCart(QPainter& p, const QColor& ink) {
    p.setPen(QPen(ink, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF{{1.5, 3.5}, {4.5, 3.5}, {7.0, 13.5}, {16.5, 13.5}});
    p.drawPolygon(QPolygonF{{5.0, 5.5}, {18.5, 5.5}, {16.5, 11.0}, {6.4, 11.0}});
    p.setBrush(ink);
    p.drawEllipse(QPointF(8.0, 16.5), 1.6, 1.6);
    p.drawEllipse(QPointF(15.0, 16.5), 1.6, 1.6);
}

void PaintEnvelope(QPainter& p, const QColor& ink) {
    p.setPen(QPen(ink, 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(2.5, 5.5, 15.0, 10.0));
    p.drawPolyline(QPolygonF{{2.5, 5.5}, {10.0, 11.5}, {17.5, 5.5}});
}

QPixmap GlyphPixmap(GlyphPainter paint, const QColor& ink) {
    QPixmap pm(kGlyph, kGlyph);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    paint(p, ink);
    return pm;
}

// The purchase buttons carry a glyph for the enabled and one for the disabled look.
QIcon TwoImageGlyph(GlyphPainter paint, const QColor& ink) {
    QIcon icon;
    icon.addPixmap(GlyphPixmap(paint, ink), QIcon::Normal);
    icon.addPixmap(GlyphPixmap(paint, QColor(160, 160, 160)), QIcon::Disabled);
    return icon;
}

QFont ArialPixels(int pixels, bool bold = false) {
    QFont f(QStringLiteral("Arial"));
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

QLabel* MakeLabel(QWidget* parent, int x, int y, const char* text, const char* name) {
    auto* l = new QLabel(QString::fromUtf8(text), parent);
    l->setObjectName(QString::fromLatin1(name));
    l->move(x, y);
    l->adjustSize();
    return l;
}

QLineEdit* MakeEdit(QWidget* parent, int x, int y, int w, int h, const char* name) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(x, y, w, h);
    return e;
}

QPushButton* MakeButton(QWidget* parent, const char* text, const QIcon& icon, const QRect& geometry, const char* name) {
    auto* b = new QPushButton(icon, QString::fromUtf8(text), parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(geometry);
    b->setIconSize(QSize(kGlyph, kGlyph));
    // Only the window's OK button is the default; Enter in an edit must not send.
    b->setAutoDefault(false);
    return b;
}

// A message box that puts its whole content on the clipboard on Ctrl+C, as message
// boxes on Windows do, so a failure can be pasted into a report.
class CopyableMessageBox : public QMessageBox {
public:
    CopyableMessageBox(const QString& caption, const QString& text, QWidget* parent)
        : QMessageBox(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent) {}

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event != QKeySequence::Copy) {
            QMessageBox::keyPressEvent(event);
            return;
        }
        const QString rule = QStringLiteral("---------------------------\n");
        QString buttons;
        for (QAbstractButton* b : this->buttons()) buttons += b->text().remove('&') + "   ";
        QGuiApplication::clipboard()->setText(rule + windowTitle() + '\n' + rule + text() + '\n' + rule + buttons +
                                              '\n' + rule);
    }
};

class FixedHeightTabBar : public QTabBar {
public:
    FixedHeightTabBar(int height, QWidget* parent) : QTabBar(parent), height_(height) {}

protected:
    QSize tabSizeHint(int index) const override {
        QSize s = QTabBar::tabSizeHint(index);
        s.setHeight(height_);
        return s;
    }

private:
    int height_;
};

} // namespace

std::string ToBytes(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
}

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && OnClick) OnClick();
}

TPageControl::TPageControl(int tabHeight, QWidget* parent) : QTabWidget(parent) {
    setTabBar(new FixedHeightTabBar(tabHeight, this));
    QFont bold = tabBar()->font();
    bold.setBold(true);
    tabBar()->setFont(bold);
}

TAboutBox::TAboutBox(TDeferContent, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QString::fromLatin1(kCaption));
    // A fixed single border: the size is the stored one and cannot be dragged.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);
    setFont(ArialPixels(12));
    setModal(true);
}

TAboutBox::TAboutBox(QWidget* parent) : TAboutBox(TDeferContent{}, parent) { EnsureContent(); }

void TAboutBox::EnsureContent() {
    if (content_) return;
    content_ = true;
    Label9 = new TLinkLabel(QString::fromLatin1(kVendorAddress), this);
    Label9->setObjectName(QStringLiteral("Label9"));
    Label9->setFont(ArialPixels(15));
    Label9->setCursor(Qt::PointingHandCursor);
    QPalette vendor = Label9->palette();
    vendor.setColor(QPalette::WindowText, QColor(0, 0, 160));
    Label9->setPalette(vendor);
    Label9->move(32, 368);
    Label9->adjustSize();
    // The stored box is 113 x 17; the address decides when it needs more.
    Label9->resize(std::max(113, Label9->width()), std::max(17, Label9->height()));
    Label9->OnClick = [this] { Label9Click(); };

    OKButton = MakeButton(this, "OK", QIcon(), QRect(191, 372, 114, 37), "OKButton");
    OKButton->setAutoDefault(true);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    PageControl1 = new TPageControl(kTabHeight, this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(16, 0, 569, 353);

    CreateAboutSheet();
    CreateFeedbackSheet();
    CreateComponents();
    SetTabOrder();
    PageControl1->setCurrentWidget(TabSheet1);
    connect(PageControl1, &QTabWidget::currentChanged, this, [this](int index) {
        if (PageControl1->widget(index) == TabSheet2) SetStatus(QString());
    });
}

TAboutBox::~TAboutBox() = default;

void TAboutBox::setVisible(bool visible) {
    if (visible) EnsureContent();
    QDialog::setVisible(visible);
}

void TAboutBox::CreateAboutSheet() {
    TabSheet1 = new QWidget;
    TabSheet1->setObjectName(QStringLiteral("TabSheet1"));
    PageControl1->addTab(TabSheet1, QStringLiteral("AboutBox"));

    Bevel1 = new QFrame(TabSheet1);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(48, 16, 489, 41);
    Bevel1->setAttribute(Qt::WA_TransparentForMouseEvents);

    Label7 = MakeLabel(TabSheet1, 64, 16, "Kelvo 2.0 ", "Label7");
    QFont title(QStringLiteral("DejaVu Serif"));
    title.setPixelSize(29);
    title.setBold(true);
    title.setItalic(true);
    Label7->setFont(title);
    Label7->adjustSize();

    Label8 = MakeLabel(TabSheet1, 216, 32, "for Qt 6 Widgets and C++20 (GCC, Clang)", "Label8");

    Memo1 = new QPlainTextEdit(TabSheet1);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(48, 72, 489, 169);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setPlainText(QString::fromUtf8(kDescription));
    // A description, not an input: it can be read and copied, not changed.
    Memo1->setReadOnly(true);
    Memo1->setTabChangesFocus(true);

    BitBtn3 = MakeButton(TabSheet1, "Buy it online (China)", TwoImageGlyph(PaintCart, QColor(0, 96, 0)),
                         QRect(40, 256, 217, 41), "BitBtn3");
    connect(BitBtn3, &QPushButton::clicked, this, &TAboutBox::BitBtn3Click);
    BitBtn2 = MakeButton(TabSheet1, "Buy in online (Out of China)", TwoImageGlyph(PaintCart, QColor(0, 0, 160)),
                         QRect(280, 256, 225, 41), "BitBtn2");
    connect(BitBtn2, &QPushButton::clicked, this, &TAboutBox::BitBtn2Click);
}

void TAboutBox::CreateFeedbackSheet() {
    TabSheet2 = new QWidget;
    TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
    PageControl1->addTab(TabSheet2, QStringLiteral("FeedBack"));
    QWidget* s = TabSheet2;

    Label1 = MakeLabel(s, 40, 24, "YourName", "Label1");
    SenderEdit = MakeEdit(s, 120, 24, 121, 23, "SenderEdit");
    Label2 = MakeLabel(s, 261, 26, "STMP Server", "Label2");
    SmtpEdit = MakeEdit(s, 344, 26, 121, 23, "SmtpEdit");
    SmtpEdit->setText(QStringLiteral("smtp.example.com"));
    Label3 = MakeLabel(s, 34, 51, "Your  E-Mail", "Label3");
    SenderEMail = MakeEdit(s, 120, 51, 145, 23, "SenderEMail");
    Label4 = MakeLabel(s, 296, 53, "Author", "Label4");
    Myemail = MakeEdit(s, 344, 53, 161, 23, "Myemail");
    Myemail->setText(QStringLiteral("support@example.com"));
    Myemail->setReadOnly(true);
    Label5 = MakeLabel(s, 58, 102, "Subject", "Label5");
    SubjectEdit = MakeEdit(s, 120, 94, 345, 23, "SubjectEdit");

    Label6 = new QLabel(QStringLiteral("Suggest or Requirement"), s);
    Label6->setObjectName(QStringLiteral("Label6"));
    Label6->setWordWrap(true);
    // As wide as the room left of the memo, so the caption falls into two lines.
    Label6->setGeometry(27, 128, 120 - 27 - 6, 34);
    Label6->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    DetailMemo = new QPlainTextEdit(s);
    DetailMemo->setObjectName(QStringLiteral("DetailMemo"));
    DetailMemo->setGeometry(120, 128, 345, 129);
    // Tab moves on to the next control, as in every other field of the form.
    DetailMemo->setTabChangesFocus(true);

    BitBtn1 =
        MakeButton(s, "SendMail!", GlyphPixmap(PaintEnvelope, QColor(0, 0, 96)), QRect(176, 272, 113, 33), "BitBtn1");
    connect(BitBtn1, &QPushButton::clicked, this, &TAboutBox::BitBtn1Click);

    StatusLabel = new QLabel(s);
    StatusLabel->setObjectName(QStringLiteral("StatusLabel"));
    StatusLabel->setGeometry(40, 306, 480, 14);
    StatusLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
}

void TAboutBox::CreateComponents() {
    KivSMTP1 = new TKivSMTP(this);
    QCoreApplication::instance()->installEventFilter(this);
    KivSMTP1->setObjectName(QStringLiteral("KivSMTP1"));
    KivSMTP1->SetPort(25);
    KivSMTP1->SetReportLevel(0);
    KivSMTP1->SetEncodeType(uuMime);
    KivSMTP1->SetClearParams(true);
    KivSMTP1->SetSubType(mtPlain);
    KivSMTP1->SetCharset("us-ascii");
    // Without a limit a server that accepts the connection and then says nothing
    // would keep the send, and the disabled buttons, waiting for ever.
    KivSMTP1->SetTimeOut(kSendTimeOutMs);
    KivSMTP1->OnProgress = [this](QObject*, const std::string& step) { SetStatus(QString::fromUtf8(step)); };

    URL1 = new TURL(this);
    URL1->setObjectName(QStringLiteral("URL1"));
    URL1->SetURL(QStringLiteral("www.example.org/software/graphics/kelvo/download.html"));
    URL1->SetURLType(utHttp);
    URL2 = new TURL(this);
    URL2->setObjectName(QStringLiteral("URL2"));
    URL2->SetURL(QStringLiteral("www.example.com/"));
    URL2->SetURLType(utHttp);
    URL3 = new TURL(this);
    URL3->setObjectName(QStringLiteral("URL3"));
    URL3->SetURL(QStringLiteral("secure.example.net/order?PRODUCT=160001"));
    URL3->SetURLType(utHttps);
}

void TAboutBox::SetTabOrder() {
    setTabOrder(SenderEdit, SmtpEdit);
    setTabOrder(SmtpEdit, SenderEMail);
    setTabOrder(SenderEMail, Myemail);
    setTabOrder(Myemail, SubjectEdit);
    setTabOrder(SubjectEdit, BitBtn1);
    setTabOrder(BitBtn1, DetailMemo);
}

void TAboutBox::CenterOnScreen() {
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    const QRect frame = frameGeometry();
    move(area.center() - QPoint(frame.width() / 2, frame.height() / 2) + (pos() - frame.topLeft()));
}

void TAboutBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous()) return;
    CenterOnScreen();
    if (PageControl1->currentWidget() == TabSheet2 && !keepStatus_) SetStatus(QString());
    keepStatus_ = false;
}

void TAboutBox::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    // Closed while a send waits (Escape, the close box): the send ends with it, so
    // the modal loop returns and the window can be opened again at once.
    if (!event->spontaneous() && sending_) CancelSend();
}

bool TAboutBox::eventFilter(QObject* watched, QEvent* event) {
    // The program is ending: a send waiting in a nested loop would keep the process
    // alive until its time-out.
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit && sending_) CancelSend();
    return QDialog::eventFilter(watched, event);
}

void TAboutBox::CancelSend() {
    cancelRequested_ = true;
    KivSMTP1->Cancel();
}

void TAboutBox::SetStatus(const QString& text) { StatusLabel->setText(text); }

void TAboutBox::Message(const QString& text) {
    (void)Guarded("message", [&] {
        if (ShowMessage) {
            ShowMessage(text);
        } else {
            CopyableMessageBox box(QString::fromLatin1(kMessageCaption), text, this);
            box.exec();
        }
    });
}

void TAboutBox::Label9Click() { URL2->Execute(); }
void TAboutBox::BitBtn3Click() { URL1->Execute(); }
void TAboutBox::BitBtn2Click() { URL3->Execute(); }

void TAboutBox::BitBtn1Click() {
    if (sending_) return;
    if (!SenderEMail->text().contains(QLatin1Char('@'))) {
        SetStatus(QString());
        Message(QString::fromLatin1(kInvalidAddress));
        return;
    }
    if (!PrepareServer()) return;
    BitBtn1->setEnabled(false);
    OKButton->setEnabled(false);
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    sending_ = true;
    cancelRequested_ = false;
    // The user sees the fixed text; the cause is for whoever reads the log.
    const bool sent = Guarded("feedback", [this] { SendFeedback(); });
    sending_ = false;
    QGuiApplication::restoreOverrideCursor();
    KivSMTP1->SetPassword(std::string());
    if (!sent && cancelRequested_) {
        BitBtn1->setEnabled(true);
        OKButton->setEnabled(true);
        // Whoever closed the window knows; no message box pops up over what they
        // turned to. The status line says what became of the mail.
        SetStatus(QString::fromLatin1(kMailCancelled));
        keepStatus_ = !isVisible();
        return;
    }
    const QString result = QString::fromLatin1(sent ? kMailSent : kMailNotSent);
    SetStatus(result);
    Message(result);
    BitBtn1->setEnabled(true);
    OKButton->setEnabled(true);
}

void TAboutBox::SendFeedback() {
    const QString server = SmtpEdit->text();
    SetStatus(tr("Connecting to %1\u2026").arg(server));
    if (KivSMTP1->Connected()) KivSMTP1->Disconnect();
    // A cancel between two waits would be forgotten by the next Connect.
    if (cancelRequested_) throw EAbortError("Connection Canceled");
    // The typed name greets the server only when it can stand as a HELO argument;
    // the session chooses another for a person's name.
    KivSMTP1->ChooseUserID(ToBytes(SenderEdit->text()));
    KivSMTP1->Connect();
    if (cancelRequested_) throw EAbortError("Connection Canceled");
    SetStatus(tr("Sending\u2026"));
    TPostMessage& message = KivSMTP1->PostMessage();
    message.SetFromAddress(ToBytes(SenderEMail->text()));
    message.ToAddress().SetText(ToBytes(Myemail->text()));
    // The session keeps the body between sends; each mail carries only what the
    // memo holds now, not the text of every earlier feedback of this run.
    message.Body().Clear();
    message.Body().SetText(ToBytes(DetailMemo->toPlainText()));
    message.SetSubject(ToBytes(SubjectEdit->text()));
    KivSMTP1->SendMail();
}

std::optional<QString> TAboutBox::AskPasswordDialog(const QString& prompt) {
    QInputDialog dialog(this);
    dialog.setObjectName(QStringLiteral("PasswordDialog"));
    dialog.setWindowTitle(QString::fromLatin1(kMessageCaption));
    dialog.setLabelText(prompt);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setTextEchoMode(QLineEdit::Password);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.textValue();
}

bool TAboutBox::PrepareServer() {
    QString error;
    const std::optional<TSmtpServerAddress> address = ParseSmtpServerAddress(SmtpEdit->text(), error);
    if (!address) {
        SetStatus(QString());
        Message(error);
        return false;
    }
    std::string password;
    if (!address->user.empty()) {
        const QString prompt =
            tr("Password for %1 at %2:").arg(QString::fromUtf8(address->user), QString::fromUtf8(address->host));
        const std::optional<QString> typed = AskPassword ? AskPassword(prompt) : AskPasswordDialog(prompt);
        if (!typed) {
            SetStatus(QString());
            return false;
        }
        QByteArray bytes = typed->toUtf8();
        password.assign(bytes.constData(), static_cast<size_t>(bytes.size()));
        bytes.fill('\0');
    }
    if (address->port != 0) {
        if (!portFromAddress_) plainPort_ = KivSMTP1->Port();
        portFromAddress_ = true;
        KivSMTP1->SetPort(address->port);
    } else if (portFromAddress_) {
        portFromAddress_ = false;
        KivSMTP1->SetPort(plainPort_);
    }
    KivSMTP1->SetHost(address->host);
    KivSMTP1->SetSecurity(address->security);
    KivSMTP1->SetUserName(address->user);
    KivSMTP1->SetPassword(password);
    std::fill(password.begin(), password.end(), '\0');
    return true;
}

} // namespace kelvo
