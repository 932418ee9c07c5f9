// The main window: the tool panel that drives the canvas, the scrolling canvas, and the two bottom buttons.
#include "app/main_window.h"

#include "app/glyphs.h"
#include "app/picture.h"
#include "imaging/loader.h"
#include "platform/guarded.h"
#include "platform/surface.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QDebug>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeData>
#include <QShortcut>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <exception>

namespace kelvo {
namespace {

// Windows' ANSI_CHARSET; the canvas keeps it for the stored form only.
constexpr uint8_t kAnsiCharset = 0;

// How far the scroll box and the bottom buttons keep from the right and bottom
// edges of the window as it is resized.
constexpr int kScrollRightMargin = TForm1::kDesignWidth - (152 + 553);
constexpr int kScrollBottomMargin = TForm1::kDesignHeight - (8 + 553);
constexpr int kButtonsFromBottom = TForm1::kDesignHeight - 576;

QFrame* MakeBevel(QWidget* parent, int x, int y, int w, int h) {
    auto* f = new QFrame(parent);
    f->setFrameStyle(QFrame::Box | QFrame::Sunken);
    f->setGeometry(x, y, w, h);
    // A frame drawn under the controls; it never takes the mouse.
    f->setAttribute(Qt::WA_TransparentForMouseEvents);
    return f;
}

QToolButton* MakeToolButton(QWidget* parent, int y, TGlyph glyph, const char* name) {
    auto* b = new QToolButton(parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(35, y, 30, 30);
    b->setAutoRaise(true);
    b->setIcon(GlyphIcon(glyph));
    b->setIconSize(QSize(kGlyphSize, kGlyphSize));
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

QLabel* MakeLabel(QWidget* parent, int x, int y, const QString& text, const char* name) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->move(x, y);
    l->adjustSize();
    return l;
}

} // namespace

// --- the colour swatch ---

TShapeSwatch::TShapeSwatch(QWidget* parent) : QWidget(parent) { setFocusPolicy(Qt::NoFocus); }

void TShapeSwatch::SetBrushColor(TColor c) {
    brush_ = c;
    update();
}

void TShapeSwatch::SetPenColor(TColor c) {
    pen_ = c;
    update();
}

void TShapeSwatch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), ColorToQColor(brush_));
    p.setPen(ColorToQColor(pen_));
    p.setBrush(Qt::NoBrush);
    p.drawRect(0, 0, width() - 1, height() - 1);
}

void TShapeSwatch::mousePressEvent(QMouseEvent* event) {
    event->accept();
    if (OnMouseDown) OnMouseDown(event->button());
}

// --- the window ---

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(kCaption));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, ColorToQColor(clBtnFace));
    setPalette(pal);
    setFont(ToQFont(TFont{QStringLiteral("MS Sans Serif"), -11, clBlack, 0, 1}));
    resize(kDesignWidth, kDesignHeight);
    // The scroll box keeps at least 100 x 100 pixels.
    setMinimumSize(152 + 100 + kScrollRightMargin, 8 + 100 + kScrollBottomMargin);
    CreateControls();
    CreateImagingControls();
    ConfigureCanvas();
    SetTabOrder();
    SpinEdit1->setFocus();
}

TForm1::~TForm1() {
    // The children outlive this part of the window: as they are torn down they
    // still signal (the line width box finishes its editing when it loses the
    // focus), and no handler may run on a window that is half gone.
    for (QObject* child : findChildren<QObject*>()) QObject::disconnect(child, nullptr, this, nullptr);
    Shape1->OnMouseDown = nullptr;
    // The canvas writes its position label; take the label away first so that
    // nothing writes to it while the children are torn down.
    MyCAD1->SetLabelXY(nullptr);
    MyCAD1->SetLabelValue(nullptr);
}

void TForm1::CreateControls() {
    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(8, 0, 137, 553);
    Panel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Panel1->setFont(ToQFont(TFont{QStringLiteral("Arial"), -12, clBlack, 0, 1}));

    // Frames first, so they lie under the controls they enclose.
    Bevel2 = MakeBevel(Panel1, 16, 16, 81, 353);
    Bevel2->setObjectName(QStringLiteral("Bevel2"));
    Bevel1 = MakeBevel(Panel1, 8, 376, 105, 153);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));

    SelectBtn = MakeToolButton(Panel1, 25, TGlyph::Select, "SelectBtn");
    LineBtn = MakeToolButton(Panel1, 55, TGlyph::Annotation, "LineBtn");
    rulelineBtn = MakeToolButton(Panel1, 85, TGlyph::Ruler, "rulelineBtn");
    Sectorbtn = MakeToolButton(Panel1, 115, TGlyph::Sector, "Sectorbtn");
    rectangleBtn = MakeToolButton(Panel1, 145, TGlyph::Rectangle, "rectangleBtn");
    EllipseBtn = MakeToolButton(Panel1, 174, TGlyph::Ellipse, "EllipseBtn");
    PolyLineBtn = MakeToolButton(Panel1, 204, TGlyph::PolyLine, "PolyLineBtn");
    SpeedButton1 = MakeToolButton(Panel1, 234, TGlyph::Delete, "SpeedButton1");

    SelectBtn->setToolTip(QStringLiteral("Select"));
    LineBtn->setToolTip(QStringLiteral("Annotation"));
    rulelineBtn->setToolTip(QStringLiteral("Ruler"));
    Sectorbtn->setToolTip(QStringLiteral("Angle"));
    rectangleBtn->setToolTip(QStringLiteral("Rectangle"));
    EllipseBtn->setToolTip(QStringLiteral("Ellipse"));
    PolyLineBtn->setToolTip(QStringLiteral("Polyline"));
    SpeedButton1->setToolTip(QStringLiteral("Delete"));

    ToolGroup = new QButtonGroup(this);
    ToolGroup->setExclusive(true);
    const std::pair<QToolButton*, void (TForm1::*)()> tools[] = {
        {SelectBtn, &TForm1::SelectBtnClick},       {LineBtn, &TForm1::LineBtnClick},
        {rulelineBtn, &TForm1::rulelineBtnClick},   {Sectorbtn, &TForm1::SectorbtnClick},
        {rectangleBtn, &TForm1::rectangleBtnClick}, {EllipseBtn, &TForm1::EllipseBtnClick},
        {PolyLineBtn, &TForm1::PolyLineBtnClick},
    };
    for (const auto& [button, handler] : tools) {
        button->setCheckable(true);
        ToolGroup->addButton(button);
        connect(button, &QToolButton::clicked, this, handler);
    }
    SelectBtn->setChecked(true);
    connect(SpeedButton1, &QToolButton::clicked, this, &TForm1::SpeedButton1Click);

    Label1 = new QLabel(Panel1);
    Label1->setObjectName(QStringLiteral("Label1"));
    // Wide enough for any position the canvas writes, so the text never clips.
    Label1->setGeometry(35, 264, 137 - 35 - 2, Label1->fontMetrics().height());
    Label2 = MakeLabel(Panel1, 32, 285, QStringLiteral("LineWidth"), "Label2");

    SpinEdit1 = new TSpinEdit(Panel1);
    SpinEdit1->setObjectName(QStringLiteral("SpinEdit1"));
    SpinEdit1->setGeometry(40, 300, 41, 24);
    SpinEdit1->setRange(1, 10);
    SpinEdit1->setValue(1);
    // Typing changes the text (numbers or not); the arrows and leaving the box
    // change the value, with the text set quietly.
    connect(SpinEdit1->lineEdit(), &QLineEdit::textChanged, this, &TForm1::SpinEdit1Change);
    connect(SpinEdit1, &QSpinBox::valueChanged, this, &TForm1::SpinEdit1Change);
    // Leaving the box puts back a valid value, quietly when it is the value the
    // box had; the pen follows what the box then shows.
    connect(SpinEdit1, &QSpinBox::editingFinished, this, &TForm1::SpinEdit1Change);

    Label3 = MakeLabel(Panel1, 40, 328, QStringLiteral("Color"), "Label3");

    Shape1 = new TShapeSwatch(Panel1);
    Shape1->setObjectName(QStringLiteral("Shape1"));
    Shape1->setGeometry(40, 352, 41, 9);
    Shape1->SetBrushColor(clYellow);
    Shape1->SetPenColor(clYellow);
    Shape1->OnMouseDown = [this](Qt::MouseButton b) { Shape1MouseDown(b); };

    Edit1 = new QLineEdit(QStringLiteral("1.00"), Panel1);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(24, 390, 65, 23);

    Button1 = new QPushButton(QStringLiteral("SetZoom"), Panel1);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(24, 419, 57, 20);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);

    CheckBox2 = new QCheckBox(QStringLiteral("DICOM Style?"), Panel1);
    CheckBox2->setObjectName(QStringLiteral("CheckBox2"));
    CheckBox2->setGeometry(16, 456, 97, 17);
    CheckBox2->setChecked(true);
    connect(CheckBox2, &QCheckBox::clicked, this, &TForm1::CheckBox2Click);

    CheckBox1 = new QCheckBox(QStringLiteral("Shadow?"), Panel1);
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    CheckBox1->setGeometry(16, 480, 97, 17);
    CheckBox1->setChecked(true);
    connect(CheckBox1, &QCheckBox::clicked, this, &TForm1::CheckBox1Click);

    ScrollBox1 = new QScrollArea(this);
    ScrollBox1->setObjectName(QStringLiteral("ScrollBox1"));
    ScrollBox1->setGeometry(152, 8, 553, 553);
    ScrollBox1->setWidgetResizable(false);
    ScrollBox1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ScrollBox1->setBackgroundRole(QPalette::Window);
    canvasHolder_ = new QWidget;
    canvasHolder_->setObjectName(QStringLiteral("ScrollBox1Client"));
    canvasHolder_->setBackgroundRole(QPalette::Window);
    MyCAD1 = new TMyCAD(canvasHolder_);
    MyCAD1->setObjectName(QStringLiteral("MyCAD1"));
    MyCAD1->installEventFilter(this);
    ScrollBox1->setWidget(canvasHolder_);

    BitBtn3 = new QPushButton(GlyphIcon(TGlyph::Help), QStringLiteral("Infomation"), this);
    BitBtn3->setObjectName(QStringLiteral("BitBtn3"));
    BitBtn3->setGeometry(112, 576, 153, 33);
    BitBtn3->setIconSize(QSize(kGlyphSize, kGlyphSize));
    connect(BitBtn3, &QPushButton::clicked, this, &TForm1::BitBtn3Click);

    BitBtn2 = new QPushButton(GlyphIcon(TGlyph::Close), QStringLiteral("&Close"), this);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(352, 576, 177, 33);
    BitBtn2->setIconSize(QSize(kGlyphSize, kGlyphSize));
    connect(BitBtn2, &QPushButton::clicked, this, &QWidget::close);
}

void TForm1::CreateImagingControls() {
    // Left of the information button, in the row the window's buttons share; it
    // follows them down when the window grows.
    OpenBtn = new QPushButton(QStringLiteral("Open…"), this);
    OpenBtn->setObjectName(QStringLiteral("OpenBtn"));
    OpenBtn->setGeometry(8, 576, 97, 33);
    OpenBtn->setShortcut(QKeySequence::Open);
    OpenBtn->setToolTip(QStringLiteral("Open a DICOM file or a picture (Ctrl+O)"));
    connect(OpenBtn, &QPushButton::clicked, this, &TForm1::OpenBtnClick);

    // The free strip at the foot of the tool panel, under the zoom and style frame.
    ValueLabel = new QLabel(Panel1);
    ValueLabel->setObjectName(QStringLiteral("ValueLabel"));
    ValueLabel->setGeometry(8, 532, 121, ValueLabel->fontMetrics().height());

    setAcceptDrops(true);

    // Keys of a picture from a file: frames and the window's reset. Window-wide, so
    // they work whichever control has the focus.
    auto* next = new QShortcut(QKeySequence(Qt::Key_PageDown), this);
    next->setObjectName(QStringLiteral("NextFrameKey"));
    connect(next, &QShortcut::activated, this, [this] { Guarded("frame", [&] { MyCAD1->StepFrame(1); }); });
    auto* previous = new QShortcut(QKeySequence(Qt::Key_PageUp), this);
    previous->setObjectName(QStringLiteral("PreviousFrameKey"));
    connect(previous, &QShortcut::activated, this, [this] { Guarded("frame", [&] { MyCAD1->StepFrame(-1); }); });
    auto* reset = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_R), this);
    reset->setObjectName(QStringLiteral("ResetWindowKey"));
    connect(reset, &QShortcut::activated, this, [this] { Guarded("window", [&] { MyCAD1->ResetWindow(); }); });
}

void TForm1::ConfigureCanvas() {
    // In the order the stored form applies them: the zoom after the picture, so
    // that the canvas builds its zoomed copy from it.
    MyCAD1->setGeometry(3, 0, 512, 512);
    MyCAD1->SetFont(TFont{QStringLiteral("Arial"), -12, clYellow, 0, kAnsiCharset});
    MyCAD1->SetLabelXY(Label1);
    MyCAD1->SetLabelValue(ValueLabel);
    MyCAD1->SetBackGround(BuiltInPicture());
    MyCAD1->SetShapeTool(SpNone);
    MyCAD1->SetColorofDrawing(clBlack);
    MyCAD1->SetColorOfHot(clBlack);
    TPen pen = MyCAD1->Pen();
    pen.Color = clYellow;
    MyCAD1->SetPen(pen);
    MyCAD1->SetZoom(1.0);
    MyCAD1->SetDICOMStyle(true);
    MyCAD1->SetShadow(true);
    FitCanvasHolder();
}

void TForm1::SetTabOrder() {
    // Inside the panel, then the panel's place among the window's controls.
    QWidget* const order[] = {SpinEdit1, Edit1, Button1, CheckBox1, CheckBox2,
                              ScrollBox1, BitBtn2, BitBtn3, OpenBtn};
    for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
}

void TForm1::CenterOnScreen() {
    QScreen* s = screen();
    if (!s) return;
    const QRect area = s->geometry();
    const QRect frame = frameGeometry();
    move(area.x() + (area.width() - frame.width()) / 2,
         area.y() + (area.height() - frame.height()) / 2);
}

void TForm1::FitCanvasHolder() {
    canvasHolder_->resize(MyCAD1->x() + MyCAD1->width(), MyCAD1->y() + MyCAD1->height());
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == MyCAD1 && (event->type() == QEvent::Resize || event->type() == QEvent::Move))
        FitCanvasHolder();
    return QWidget::eventFilter(watched, event);
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!shownBefore_) {
        shownBefore_ = true;
        CenterOnScreen();
    }
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The canvas's scroll box takes whatever room the window gains or loses.
    // Everything else keeps its place, except that the bottom buttons move down
    // with a window taller than designed, where the scroll box would cover them.
    const int w = width(), h = height();
    ScrollBox1->setGeometry(152, 8, std::max(100, w - 152 - kScrollRightMargin),
                            std::max(100, h - 8 - kScrollBottomMargin));
    const int buttonsTop = std::max(kDesignHeight, h) - kButtonsFromBottom;
    BitBtn3->move(BitBtn3->x(), buttonsTop);
    BitBtn2->move(BitBtn2->x(), buttonsTop);
    OpenBtn->move(OpenBtn->x(), buttonsTop);
}

void TForm1::SetTool(TDrawTool tool) {
    Guarded("tool", [&] { MyCAD1->SetShapeTool(tool); });
}

void TForm1::SelectBtnClick() { SetTool(SpNone); }
void TForm1::LineBtnClick() { SetTool(SpLine); }
void TForm1::rulelineBtnClick() { SetTool(SpRuleLine); }
void TForm1::SectorbtnClick() { SetTool(SpSector); }
void TForm1::rectangleBtnClick() { SetTool(SpRectangle); }
void TForm1::EllipseBtnClick() { SetTool(SpEllipse); }
void TForm1::PolyLineBtnClick() { SetTool(SpPolyLine); }

void TForm1::SpeedButton1Click() {
    Guarded("delete", [&] { (void)MyCAD1->DeleteSelected(); });
}

void TForm1::SpinEdit1Change() {
    Guarded("line width", [&] {
        // The text being typed, when it is a number; otherwise the minimum.
        bool ok = false;
        const int typed = SpinEdit1->lineEdit()->text().trimmed().toInt(&ok);
        const int width = ok ? std::clamp(typed, SpinEdit1->minimum(), SpinEdit1->maximum())
                             : SpinEdit1->minimum();
        TPen pen = MyCAD1->Pen();
        pen.Width = width;
        MyCAD1->SetPen(pen);
    });
}

void TForm1::Shape1MouseDown(Qt::MouseButton) {
    Guarded("colour", [&] {
        std::optional<QColor> chosen;
        if (ColorDialog1) {
            chosen = ColorDialog1(lastColor_);
        } else {
            const QColor c = QColorDialog::getColor(lastColor_, this);
            if (c.isValid()) chosen = c;
        }
        if (!chosen || !chosen->isValid()) return;
        lastColor_ = *chosen;
        const TColor color = QColorToColor(*chosen);
        TPen pen = MyCAD1->Pen();
        pen.Color = color;
        MyCAD1->SetPen(pen);
        Shape1->SetPenColor(color);
        Shape1->SetBrushColor(color);
    });
}

std::optional<double> ParseZoomText(const QString& text) {
    // The user's own separator first; a point is always read as one too, so the
    // box's starting text "1.00" works under every number format.
    const QString trimmed = text.trimmed();
    for (QLocale locale : {QLocale(), QLocale::c()}) {
        locale.setNumberOptions(QLocale::RejectGroupSeparator);
        bool ok = false;
        const double value = locale.toDouble(trimmed, &ok);
        if (ok) return value;
    }
    return std::nullopt;
}

void TForm1::Button1Click() {
    bool applied = false;
    Guarded("zoom", [&] {
        // A zoom the canvas cannot show (zero, negative, not finite, too large
        // for memory) is refused by the canvas and, like an unreadable text,
        // gives zoom 1. The text stays as typed.
        const std::optional<double> zoom = ParseZoomText(Edit1->text());
        applied = zoom && MyCAD1->SetZoom(*zoom);
    });
    if (!applied) Guarded("zoom", [&] { MyCAD1->SetZoom(1.0); });
}

void TForm1::CheckBox1Click() {
    Guarded("shadow", [&] { MyCAD1->SetShadow(CheckBox1->isChecked()); });
}

void TForm1::CheckBox2Click() {
    Guarded("labels", [&] { MyCAD1->SetDICOMStyle(CheckBox2->isChecked()); });
}

void TForm1::BitBtn3Click() {
    Guarded("information", [&] {
        if (aboutBox_) aboutBox_->exec();
    });
}

// --- opening pictures ---

void TForm1::TellError(const QString& message) {
    if (ShowError) {
        ShowError(message);
    } else {
        QMessageBox::warning(this, QStringLiteral("Open"), message);
    }
}

bool TForm1::OpenFile(const QString& path) {
    bool opened = false;
    Guarded("open", [&] {
        // Loaded first: a file that fails costs neither the picture nor the shapes,
        // and no question is asked for it.
        std::shared_ptr<imaging::TPicture> picture;
        try {
            picture = std::make_shared<imaging::TPicture>(imaging::LoadPicture(path));
        } catch (const imaging::EImageError& e) {
            TellError(e.Text());
            return;
        } catch (const std::bad_alloc&) {
            TellError(QStringLiteral("There is not enough memory to open \"%1\".").arg(QFileInfo(path).fileName()));
            return;
        }
        const int count = MyCAD1->ShapeCount();
        if (count > 0) {
            bool agreed = false;
            if (ConfirmDropShapes) {
                agreed = ConfirmDropShapes(count);
            } else {
                agreed = QMessageBox::question(this, QStringLiteral("Open"),
                                               QStringLiteral("Opening another picture removes the %1 shape(s) drawn "
                                                              "on this one. Continue?")
                                                   .arg(count)) == QMessageBox::Yes;
            }
            if (!agreed) {
                return;
            }
        }
        if (!MyCAD1->SetPicture(picture)) {
            TellError(QStringLiteral("There is not enough memory to show \"%1\".").arg(QFileInfo(path).fileName()));
            return;
        }
        MyCAD1->ClearShapes();
        openedFile_ = path;
        setWindowTitle(QStringLiteral("%1 - %2").arg(QFileInfo(path).fileName(), QString::fromLatin1(kCaption)));
        opened = true;
    });
    return opened;
}

void TForm1::OpenBtnClick() {
    Guarded("open", [&] {
        QString path;
        if (OpenDialog) {
            path = OpenDialog();
        } else {
            path = QFileDialog::getOpenFileName(
                this, QStringLiteral("Open"), QFileInfo(openedFile_).path(),
                QStringLiteral("Pictures (*.dcm *.dicom *.png *.jpg *.jpeg *.tif *.tiff *.bmp);;All files (*)"));
        }
        if (!path.isEmpty()) {
            (void)OpenFile(path);
        }
    });
}

namespace {
// The first local file of a drag, empty when it carries none.
QString DroppedFile(const QMimeData* mime) {
    if (mime == nullptr || !mime->hasUrls()) return QString();
    for (const QUrl& url : mime->urls()) {
        if (url.isLocalFile()) return url.toLocalFile();
    }
    return QString();
}
} // namespace

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    if (!DroppedFile(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void TForm1::dropEvent(QDropEvent* event) {
    const QString path = DroppedFile(event->mimeData());
    if (path.isEmpty()) return;
    event->acceptProposedAction();
    // Opened after the drop has finished: a message box inside the drop would
    // hold the dragging program's drag.
    QTimer::singleShot(0, this, [this, path] { (void)OpenFile(path); });
}

} // namespace kelvo
