// The main window: the tool panel that drives the canvas, the scrolling canvas, and the two bottom buttons.
#include "app/main_window.h"

#include "app/full_range_window.h"
#include "app/glyphs.h"
#include "app/live_label.h"
#include "app/measurement_panel.h"
#include "app/pacs_open.h"
#include "canvas/annotations.h"
#include "canvas/measuring.h"
#include "platform/screen.h"
#include "app/picture.h"
#include "app/picture_file.h"
#include "app/view_controls.h"
#include "app/zoom_readout.h"
#include "app/study_view.h"
#include "app/window_controls.h"
#include "imaging/loader.h"
#include "platform/guarded.h"
#include "platform/surface.h"

#include <QBuffer>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColorDialog>
#include <QDebug>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEvent>
#include <QKeyEvent>
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

TForm1::TForm1(QWidget* parent) : TForm1(TStartUp{}, parent) { EnsureContent(); }

void TForm1::EnsureContent() { MeasurementPanel->EnsureContent(); }

TForm1::TForm1(TStartUp start, QWidget* parent)
    : QWidget(parent), builtInPending_(start.PictureFollows), waitForFonts_(std::move(start.WaitForFonts)) {
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
    CreateMeasuringControls();
    ViewControls = new TViewControls(*this, *ScrollBox1, *MyCAD1);
    ViewControls->ZoomLabel->setFont(Panel1->font());
    Study = new TStudyView(*this);
    WindowControls = new TWindowControls(this);
    AddPacsButton(*this);
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
    // The window strip's filter reads this window's members.
    MyCAD1->removeEventFilter(WindowControls);
    removeEventFilter(WindowControls);
}

void TForm1::CreateControls() {
    // In the stored form's order, which is also the order the controls stack in.
    CreateToolButtons();
    // The first text measured is the position label's, among the pen controls.
    if (waitForFonts_) waitForFonts_();
    CreatePenControls();
    CreateZoomAndStyleControls();
    CreateCanvasArea();
    CreateBottomButtons();
}

void TForm1::CreateToolButtons() {
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
}

void TForm1::CreatePenControls() {
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
}

void TForm1::CreateZoomAndStyleControls() {
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
}

void TForm1::CreateCanvasArea() {
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
}

void TForm1::CreateBottomButtons() {
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

    FrameLabel = new QLabel(this);
    FrameLabel->setObjectName(QStringLiteral("FrameLabel"));
    FrameLabel->setFont(Panel1->font());
    FrameLabel->setGeometry(Panel1->x(), Panel1->geometry().bottom() + 3, Panel1->width(),
                            FrameLabel->fontMetrics().height());
    FrameLabel->hide();

    setAcceptDrops(true);

    // Keys of a picture from a file: frames and the window's reset. Window-wide, so
    // they work whichever control has the focus.
    auto* next = new QShortcut(QKeySequence(Qt::Key_PageDown), this);
    next->setObjectName(QStringLiteral("NextFrameKey"));
    connect(next, &QShortcut::activated, this, [this] {
        StepFrame(1);
    });
    auto* previous = new QShortcut(QKeySequence(Qt::Key_PageUp), this);
    previous->setObjectName(QStringLiteral("PreviousFrameKey"));
    connect(previous, &QShortcut::activated, this, [this] {
        StepFrame(-1);
    });
    auto* reset = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_R), this);
    reset->setObjectName(QStringLiteral("ResetWindowKey"));
    connect(reset, &QShortcut::activated, this, [this] { Guarded("window", [&] { MyCAD1->ResetWindow(); }); });
}

void TForm1::ShowFrame() {
    Guarded("frame", [&] {
        if (FrameLabel == nullptr) return;
        if (Study != nullptr && Study->Active()) {
            FrameLabel->setText(Study->SliceText());
            FrameLabel->show();
            return;
        }
        const imaging::TPicture* picture = MyCAD1->Picture();
        const bool shown = picture != nullptr && picture->Frames() > 1;
        if (shown) FrameLabel->setText(QStringLiteral("frame %1 / %2").arg(MyCAD1->Frame() + 1).arg(picture->Frames()));
        FrameLabel->setVisible(shown);
    });
}

void TForm1::StepFrame(int32_t delta) {
    if (Study->Active()) {
        Guarded("slice", [&] { Study->Step(delta); });
        return;
    }
    Guarded("frame", [&] {
        const imaging::TPicture* picture = MyCAD1->Picture();
        const int32_t to = MyCAD1->Frame() + delta;
        if (!MyCAD1->StepFrame(delta) && picture != nullptr && picture->FrameFailed(to)) {
            TellFailure(QStringLiteral("Frames"), QStringLiteral("Frame %1 of \"%2\" cannot be shown: %3")
                                                      .arg(to + 1)
                                                      .arg(ShownFileName(QFileInfo(openedFile_).fileName()), picture->LateError()));
        }
    });
    ShowFrame();
}

void TForm1::ConfigureCanvas() {
    // In the order the stored form applies them: the zoom after the picture, so
    // that the canvas builds its zoomed copy from it.
    MyCAD1->setGeometry(3, 0, 512, 512);
    MyCAD1->SetFont(TFont{QStringLiteral("Arial"), -12, clYellow, 0, kAnsiCharset});
    MyCAD1->SetLabelXY(Label1);
    MyCAD1->SetLabelValue(ValueLabel);
    if (!builtInPending_) MyCAD1->SetBackGround(BuiltInPicture());
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
    // Inside the panel, then the panel's place among the window's controls. The canvas
    // (reached by a click) sits right after its scroll box, so that the keyboard leaves
    // it for the control after the box, and Shift+Tab for the box.
    QWidget* const order[] = {SpinEdit1, Edit1,   Button1, CheckBox1, CheckBox2, ScrollBox1,
                              MyCAD1,    BitBtn2, BitBtn3, OpenBtn,   ListBtn};
    for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
}

void TForm1::CenterOnScreen() {
    QScreen* s = screen();
    if (!s) return;
    const QRect area = s->geometry();
    const QRect frame = frameGeometry();
    move(area.x() + (area.width() - frame.width()) / 2, area.y() + (area.height() - frame.height()) / 2);
}

void TForm1::FitCanvasHolder() { canvasHolder_->resize(MyCAD1->x() + MyCAD1->width(), MyCAD1->y() + MyCAD1->height()); }

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == MyCAD1 && (event->type() == QEvent::Resize || event->type() == QEvent::Move)) FitCanvasHolder();
    // Before the widget's own handling, which would take Tab for moving the focus.
    if (watched == MyCAD1 && event->type() == QEvent::KeyPress) {
        bool used = false;
        Guarded("key", [&] { used = CanvasKey(static_cast<QKeyEvent*>(event)); });
        if (used) return true;
    }
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
    // The measurement list, when shown, takes a strip on the right of its own.
    const int w = width(), h = height();
    const int list = MeasurementPanel->isVisibleTo(this) ? TMeasurementPanel::kWidth + 8 : 0;
    const int scrollHeight = std::max(100, h - 8 - kScrollBottomMargin);
    ScrollBox1->setGeometry(152, 8, std::max(100, w - 152 - kScrollRightMargin - list), scrollHeight);
    MeasurementPanel->setGeometry(ScrollBox1->geometry().right() + 1 + 8, 8, TMeasurementPanel::kWidth, scrollHeight);
    const int buttonsTop = std::max(kDesignHeight, h) - kButtonsFromBottom;
    BitBtn3->move(BitBtn3->x(), buttonsTop);
    BitBtn2->move(BitBtn2->x(), buttonsTop);
    OpenBtn->move(OpenBtn->x(), buttonsTop);
    if (Study != nullptr) Study->OpenFolderBtn->move(Study->OpenFolderBtn->x(), buttonsTop);
    ListBtn->move(ListBtn->x(), buttonsTop);
}

void TForm1::SetTool(TDrawTool tool) {
    Guarded("tool", [&] {
        MyCAD1->SetShapeTool(tool);
        // A change of tool may end the shape under construction.
        if (MyCAD1->DragState() == DragNone) HideLiveStatistics();
    });
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
    ShapesChanged();
}

void TForm1::SpinEdit1Change() {
    Guarded("line width", [&] {
        // The text being typed, when it is a number; otherwise the minimum.
        bool ok = false;
        const int typed = SpinEdit1->lineEdit()->text().trimmed().toInt(&ok);
        const int width = ok ? std::clamp(typed, SpinEdit1->minimum(), SpinEdit1->maximum()) : SpinEdit1->minimum();
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

void TForm1::TellFailure(const QString& title, const QString& message) {
    if (ShowError) {
        ShowError(message);
    } else {
        QMessageBox::warning(this, title, message);
    }
}

void TForm1::ShowPendingBuiltInPicture() {
    if (!builtInPending_) return;
    builtInPending_ = false;
    MyCAD1->SetBackGround(BuiltInPicture());
}

void TForm1::TellError(const QString& message) {
    // The message stands over the picture that stays.
    ShowPendingBuiltInPicture();
    if (ShowError) {
        ShowError(message);
    } else {
        QMessageBox::warning(this, QStringLiteral("Open"), message);
    }
}

bool TForm1::OpenFile(const QString& path) {
    if (TStudyView::IsStudyPath(path)) {
        Guarded("open folder", [&] { Study->Open(path); });
        return true;
    }
    return OpenFile(path, std::async(std::launch::deferred, [path] { return LoadPictureFile(path); }));
}

bool TForm1::OpenFile(const QString& path, std::future<imaging::TPicture> loading) {
    bool opened = false;
    Guarded("open", [&] {
        // Loaded first: a file that fails costs neither the picture nor the shapes,
        // and no question is asked for it.
        std::shared_ptr<imaging::TPicture> picture;
        try {
            picture = std::make_shared<imaging::TPicture>(loading.get());
        } catch (const imaging::EImageError& e) {
            // A DICOM file without pixels may be a report on the picture shown.
            if (e.Kind() == imaging::TLoadError::NoPixelData) {
                (void)OpenReport(path, e.Text());
                return;
            }
            TellError(e.Text());
            return;
        } catch (const std::bad_alloc&) {
            TellError(QStringLiteral("There is not enough memory to open \"%1\".").arg(QFileInfo(path).fileName()));
            return;
        }
        opened = AdoptPicture(path, std::move(picture), TImageRef{});
        if (opened) Study->Leave();
    });
    // A failure that was not told (the guard's) still leaves the window its picture.
    ShowPendingBuiltInPicture();
    return opened;
}

bool TForm1::AdoptPicture(const QString& path, std::shared_ptr<imaging::TPicture> picture, const TImageRef& image) {
    bool opened = false;
    Guarded("open", [&] {
        if (!MayDropShapes()) {
            return;
        }
        const QString oldUid = MyCAD1->ShownImageUid();
        const int32_t oldFrame = MyCAD1->ShownImageFrame();
        MyCAD1->SetShownImage(image.SopInstanceUid, image.Frame);
        if (!MyCAD1->SetPicture(picture)) {
            MyCAD1->SetShownImage(oldUid, oldFrame);
            TellError(QStringLiteral("There is not enough memory to show \"%1\".").arg(QFileInfo(path).fileName()));
            return;
        }
        FollowFullRange(MyCAD1, picture);
        builtInPending_ = false;
        ViewControls->PictureOpened();
        MyCAD1->ClearShapes();
        HideLiveStatistics();
        // The value under the cursor was the old picture's, in its unit.
        ValueLabel->clear();
        history_->Reset();
        openedFile_ = path;
        annotationsHeld_ = false;
        setWindowTitle(
            QStringLiteral("%1 - %2").arg(ShownFileName(QFileInfo(path).fileName()), QString::fromLatin1(kCaption)));
        opened = true;
        const QString annotations = AnnotationPathFor(path);
        if (IsRegularFile(annotations)) {
            if (AskAboutFile(ConfirmLoadAnnotations, annotations, QStringLiteral("Annotations"),
                             QStringLiteral("Load the shapes saved with this picture in \"%1\"?"), QMessageBox::Yes)) {
                (void)LoadAnnotationsFrom(annotations);
            }
        }
    });
    // A failure that was not told (the guard's) still leaves the window its picture.
    ShowPendingBuiltInPicture();
    return opened;
}

bool TForm1::MayDropShapes() {
    const int count = MyCAD1->ShapeCount();
    if (openedFile_.isEmpty()) {
        // The built-in picture's shapes have nowhere to be saved.
        if (count == 0) return true;
        if (ConfirmDropShapes) return ConfirmDropShapes(count);
        return QMessageBox::question(this, QStringLiteral("Open"),
                                     QStringLiteral("Opening another picture removes the %1 shape(s) drawn "
                                                    "on this one. Continue?")
                                         .arg(count)) == QMessageBox::Yes;
    }
    if (!ShapesUnsaved()) return true;
    const QString path = AnnotationFile();
    const QMessageBox::StandardButton answer =
        AskSaveShapes
            ? AskSaveShapes(path)
            : QMessageBox::warning(
                  this, QStringLiteral("Unsaved shapes"),
                  QStringLiteral("The shapes on \"%1\" have changes that are not saved. "
                                 "Save them in \"%2\"?")
                      .arg(ShownFileName(QFileInfo(openedFile_).fileName()), ShownFileName(QFileInfo(path).fileName())),
                  QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
    switch (answer) {
    case QMessageBox::Save:
        return SaveShapes();
    case QMessageBox::Discard:
        return true;
    default:
        return false;
    }
}

void TForm1::closeEvent(QCloseEvent* event) {
    // The built-in picture's shapes have no file to go to, and go unasked.
    bool close = true;
    Guarded("close", [&] { close = openedFile_.isEmpty() || MayDropShapes(); });
    event->setAccepted(close);
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
// The first local file of a drag, empty when it carries none. Its name is taken from
// the address's bytes: toLocalFile() would read them as UTF-8, losing any other byte.
QString DroppedFile(const QMimeData* mime) {
    if (mime == nullptr || !mime->hasUrls()) return QString();
    for (const QUrl& url : mime->urls()) {
        if (!url.isLocalFile()) continue;
        if (!url.host().isEmpty()) return url.toLocalFile();
        return DecodeFileName(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
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

// --- measuring ---

void TForm1::CreateMeasuringControls() {
    // Right of the close button, in the row the window's buttons share.
    ListBtn = new QPushButton(QStringLiteral("Measurements"), this);
    ListBtn->setObjectName(QStringLiteral("ListBtn"));
    ListBtn->setGeometry(537, 576, 186, 33);
    ListBtn->setCheckable(true);
    ListBtn->setToolTip(QStringLiteral("Show the list of measurements (Ctrl+M)"));
    ListBtn->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    connect(ListBtn, &QPushButton::clicked, this, &TForm1::ListBtnClick);

    MeasurementPanel = new TMeasurementPanel(TMeasurementPanel::TDeferContent{}, this);
    MeasurementPanel->hide();
    MeasurementPanel->OnRowSelected = [this](int row) {
        Guarded("list", [&] {
            EndNudgeRun();
            // A shape of another slice is shown on its own slice.
            if (!Study->ShowShapeImage(row)) MyCAD1->SelectShape(row);
        });
    };
    MeasurementPanel->PlaceOf = [this](const TMeasurement& m) { return Study->PlaceOf(m); };
    MeasurementPanel->OnExportCsv = [this] { ExportCsvBtnClick(); };
    MeasurementPanel->OnExportPng = [this] { ExportPngBtnClick(); };
    MeasurementPanel->OnExportReport = [this] { ExportReportBtnClick(); };
    MeasurementPanel->OnSave = [this] { SaveAnnotationsBtnClick(); };
    MeasurementPanel->OnLoad = [this] { LoadAnnotationsBtnClick(); };
    auto* save = new QShortcut(QKeySequence::Save, this);
    save->setObjectName(QStringLiteral("SaveAnnotationsKey"));
    connect(save, &QShortcut::activated, this, &TForm1::SaveAnnotationsBtnClick);

    // Every committed change ends in a paint (and a click that only selects, in a
    // release), so the list follows the canvas from these two.
    MyCAD1->OnPaint = [this](TMyCAD*) {
        ShowFrame();
        RefreshMeasurements();
    };
    LiveStatistics = new TLiveLabel(MyCAD1);
    // A release commits or ends the drag (the region's own label takes over), or adds a
    // polyline's vertex, whose chain goes on from there.
    MyCAD1->OnMouseUp = [this](TMyCAD*, TMouseButton, Qt::KeyboardModifiers, int32_t x, int32_t y) {
        ShapesChanged();
        Guarded("live statistics", [&] { ShowLiveStatistics(x, y); });
    };
    MyCAD1->OnMouseMove = [this](TMyCAD*, Qt::KeyboardModifiers, int32_t x, int32_t y) {
        Guarded("live statistics", [&] { ShowLiveStatistics(x, y); });
    };

    // Regions carry their statistics on pictures from files, and on the built-in
    // picture too while the list shows them.
    MyCAD1->Measuring().SetRegionLabels(TRegionLabels::OnFilePictures);

    history_ = std::make_unique<TShapeHistory>(MyCAD1);
    auto* undo = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z), this);
    undo->setObjectName(QStringLiteral("UndoKey"));
    connect(undo, &QShortcut::activated, this, &TForm1::UndoKey);
    auto* redo = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), this);
    redo->setObjectName(QStringLiteral("RedoKey"));
    connect(redo, &QShortcut::activated, this, &TForm1::RedoKey);
    // A click on the canvas gives it the keyboard, for the editing keys.
    MyCAD1->setFocusPolicy(Qt::ClickFocus);
}

// The shape a drag or a click chain works on must stay the canvas's own until it ends.
void TForm1::UndoKey() {
    if (MyCAD1->DragState() != DragNone) return;
    EndNudgeRun();
    Guarded("undo", [&] { history_->Stack().undo(); });
    RefreshMeasurements();
}

void TForm1::RedoKey() {
    if (MyCAD1->DragState() != DragNone) return;
    EndNudgeRun();
    Guarded("redo", [&] { history_->Stack().redo(); });
    RefreshMeasurements();
}

void TForm1::ShapesChanged() {
    EndNudgeRun();
    Guarded("history", [&] { (void)history_->Record(); });
    RefreshMeasurements();
}

bool TForm1::CanvasKey(QKeyEvent* event) {
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const int32_t step = shift ? 10 : 1;
    // While a shape is drawn or dragged only Escape acts; the other keys wait for its end,
    // and Tab moves the keyboard on.
    if (MyCAD1->DragState() != DragNone && event->key() != Qt::Key_Escape) {
        return false;
    }
    switch (event->key()) {
    case Qt::Key_Delete:
        SpeedButton1Click();
        return true;
    case Qt::Key_Left:
        MoveSelectedBy(-step, 0);
        return true;
    case Qt::Key_Right:
        MoveSelectedBy(step, 0);
        return true;
    case Qt::Key_Up:
        MoveSelectedBy(0, -step);
        return true;
    case Qt::Key_Down:
        MoveSelectedBy(0, step);
        return true;
    case Qt::Key_Escape:
        // A shape under construction is dropped as a change of tool drops it;
        // otherwise the selection goes.
        EndNudgeRun();
        if (!MyCAD1->CancelConstruction()) MyCAD1->SelectShape(-1);
        HideLiveStatistics();
        RefreshMeasurements();
        return true;
    // Tab steps through the shapes like the items of a list; past the last (Shift+Tab:
    // before the first) it lets the focus move on, and the selection stays.
    case Qt::Key_Tab:
        return CycleSelection(1);
    case Qt::Key_Backtab:
        return CycleSelection(-1);
    default:
        return false;
    }
}

void TForm1::MoveSelectedBy(int32_t dx, int32_t dy) {
    TMyShape* shape = MyCAD1->Shape(MyCAD1->SelectedIndex());
    if (shape == nullptr || MyCAD1->DragState() != DragNone) return;
    // A press joins the open run only while its shape is still the one selected and
    // no step was made or taken back since the run's last press.
    const int32_t index = MyCAD1->SelectedIndex();
    if (nudgeRun_ == 0 || nudged_ != index || nudgeTop_ != history_->Stack().index()) {
        nudgeRun_ = ++lastNudgeRun_;
        nudged_ = index;
    }
    for (TPoint& p : shape->Points) {
        p.X = ClampToInt32(std::clamp<int64_t>(int64_t(p.X) + dx, -kMaxImageCoordinate, kMaxImageCoordinate));
        p.Y = ClampToInt32(std::clamp<int64_t>(int64_t(p.Y) + dy, -kMaxImageCoordinate, kMaxImageCoordinate));
    }
    MyCAD1->Paint();
    Guarded("history", [&] { (void)history_->Record(nudgeRun_); });
    nudgeTop_ = history_->Stack().index();
    RefreshMeasurements();
}

bool TForm1::CycleSelection(int step) {
    const int32_t n = MyCAD1->ShapeCount();
    if (n == 0 || MyCAD1->DragState() != DragNone) return false;
    const int32_t at = MyCAD1->SelectedIndex();
    int32_t next = at < 0 ? (step > 0 ? 0 : n - 1) : at + step;
    // Shapes of other slices of a series are out of sight, and out of reach.
    while (next >= 0 && next < n && !MyCAD1->OnView(*MyCAD1->Shape(next))) next += step;
    if (next < 0 || next >= n) return false;
    EndNudgeRun();
    MyCAD1->SelectShape(next);
    RefreshMeasurements();
    return true;
}

void TForm1::ShowLiveStatistics(int32_t x, int32_t y) {
    TMeasuring& measuring = MyCAD1->Measuring();
    const bool inList = MeasurementPanel->isVisibleTo(this);
    const bool onCanvas = measuring.RegionsLabelled();
    const std::optional<TMeasuring::TDragged> live =
        inList || onCanvas ? measuring.DraggedRegion(x, y) : std::nullopt;
    if (!live) {
        HideLiveStatistics();
        return;
    }
    const TMyShape& shape = *MyCAD1->CurrentShape();
    if (inList) {
        const bool drawing = MyCAD1->Mode() == ModeDraw;
        MeasurementPanel->ShowLive((drawing ? QStringLiteral("New region") : shape.Caption()) + QStringLiteral(": ") +
                                   live->Measurement.ValueText());
    }
    if (onCanvas) {
        LiveStatistics->ShowLines(live->Lines, TMyShape::ToScreen(live->Region->TopLeft()),
                                  TMyShape::ToScreen(live->Region->BottomRight()), shape.Font, shape.Pen.Color,
                                  MyCAD1->Shadow());
    } else {
        LiveStatistics->Clear();
    }
}

void TForm1::HideLiveStatistics() {
    MeasurementPanel->ShowLive(QString());
    LiveStatistics->Clear();
}

bool TForm1::LoadAnnotationsFrom(const QString& path) {
    bool done = false;
    Guarded("load", [&] {
        std::vector<TAnnotation> records;
        std::optional<TCalibration> calibration;
        try {
            records = LoadAnnotations(path, &calibration);
        } catch (const EAnnotationError& e) {
            TellFailure(QStringLiteral("Load annotations"), e.Text());
            return;
        }
        std::vector<std::unique_ptr<TMyShape>> shapes;
        int32_t highest = 0;
        for (const TAnnotation& a : records) {
            shapes.push_back(MakeShape(a));
            highest = std::max(highest, a.RoiNumber);
        }
        // Numbers are never given twice: new regions continue after the loaded ones.
        RoiCount = std::max(RoiCount, highest + 1);
        WindowControls->ChangeCalibration(calibration);
        MyCAD1->ReplaceShapes(0, MyCAD1->ShapeCount(), std::move(shapes));
        done = true;
        if (path == AnnotationFile()) annotationsHeld_ = true;
    });
    if (done) MarkShapesSaved();
    return done;
}

void TForm1::LoadAnnotationsBtnClick() {
    Guarded("load", [&] {
        const QString path =
            LoadDialog
                ? LoadDialog()
                : QFileDialog::getOpenFileName(this, QStringLiteral("Load annotations"), QFileInfo(openedFile_).path(),
                                               QStringLiteral("Annotations (*.kelvo.json);;All files (*)"));
        if (!path.isEmpty()) (void)LoadAnnotationsFrom(path);
    });
}

void TForm1::ListBtnClick() {
    Guarded("list", [&] {
        const bool show = ListBtn->isChecked();
        if (show == MeasurementPanel->isVisibleTo(this)) return;
        const int strip = TMeasurementPanel::kWidth + 8;
        MeasurementPanel->setVisible(show);
        MyCAD1->Measuring().SetRegionLabels(show ? TRegionLabels::Always : TRegionLabels::OnFilePictures);
        setMinimumWidth(minimumWidth() + (show ? strip : -strip));
        resize(width() + (show ? strip : -strip), height());
        MyCAD1->Paint();
    });
}

const TRegionStatsCache& TForm1::StatsCache() const { return MyCAD1->Measuring().StatsCache(); }

std::vector<TMeasurement> TForm1::Measurements() {
    std::vector<TMeasurement> list = MyCAD1->Measuring().Measurements(QFileInfo(openedFile_).fileName());
    Study->PlaceMeasurements(list);
    return list;
}

void TForm1::RefreshMeasurements() {
    Guarded("list", [&] {
        if (!MeasurementPanel->isVisibleTo(this)) return;
        MeasurementPanel->ShowMeasurements(Measurements(), MyCAD1->SelectedIndex());
        MeasurementPanel->ShowSpacing(MyCAD1->Measuring().SpacingText());
    });
}

QString TForm1::AskSavePath(const QString& title, const QString& suggested, const QString& filter) {
    if (SaveDialog) return SaveDialog(title, suggested, filter);
    return QFileDialog::getSaveFileName(this, title, suggested, filter);
}

bool TForm1::AskAboutFile(const std::function<bool(const QString&)>& hook, const QString& path, const QString& title,
                          const QString& question, QMessageBox::StandardButton preferred) {
    if (hook) return hook(path);
    return QMessageBox::question(this, title, question.arg(ShownFileName(QFileInfo(path).fileName())),
                                 QMessageBox::Yes | QMessageBox::No, preferred) == QMessageBox::Yes;
}

bool TForm1::ExportMeasurements(const QString& path) {
    bool done = false;
    Guarded("export", [&] {
        try {
            WriteFileAtomically(path, MeasurementsCsv(Measurements()));
            done = true;
        } catch (const EAnnotationError& e) {
            TellFailure(QStringLiteral("Export measurements"), e.Text());
        }
    });
    return done;
}

bool TForm1::ExportPicture(const QString& path) {
    bool done = false;
    Guarded("export", [&] {
        // The canvas holds only its visible part: the whole is rendered for the export.
        const QImage canvas = MyCAD1->CanvasPixels(MyCAD1->rect());
        if (canvas.isNull()) {
            TellFailure(QStringLiteral("Export picture"),
                        QStringLiteral("There is not enough memory to render the picture at this zoom."));
            return;
        }
        QByteArray png;
        {
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            if (!canvas.save(&buffer, "PNG")) {
                TellFailure(QStringLiteral("Export picture"),
                            QStringLiteral("The picture could not be encoded as PNG."));
                return;
            }
        }
        try {
            WriteFileAtomically(path, png);
            done = true;
        } catch (const EAnnotationError& e) {
            TellFailure(QStringLiteral("Export picture"), e.Text());
        }
    });
    return done;
}

QString TForm1::AnnotationFile() const { return openedFile_.isEmpty() ? QString() : AnnotationPathFor(openedFile_); }

bool TForm1::SaveAnnotationsTo(const QString& path) {
    bool done = false;
    Guarded("save", [&] {
        std::vector<TAnnotation> records;
        for (int32_t i = 0; i < MyCAD1->ShapeCount(); ++i) {
            if (const std::optional<TAnnotation> a = ToAnnotation(*MyCAD1->Shape(i))) records.push_back(*a);
        }
        try {
            SaveAnnotations(path, records, MyCAD1->Measuring().Calibration());
            done = true;
            if (path == AnnotationFile()) annotationsHeld_ = true;
        } catch (const EAnnotationError& e) {
            TellFailure(QStringLiteral("Save annotations"), e.Text());
        }
    });
    if (done) MarkShapesSaved();
    return done;
}

void TForm1::MarkShapesSaved() {
    // Recorded first, so that the step on top is what the file holds; and no later arrow
    // press joins that step, which would change it under the mark.
    ShapesChanged();
    Guarded("history", [&] { history_->Stack().setClean(); });
}

void TForm1::ExportCsvBtnClick() {
    Guarded("export", [&] {
        const QString base = openedFile_.isEmpty() ? QStringLiteral("measurements") : openedFile_;
        const QString path = AskSavePath(QStringLiteral("Export measurements"), base + QStringLiteral(".csv"),
                                         QStringLiteral("CSV (*.csv)"));
        if (!path.isEmpty()) (void)ExportMeasurements(path);
    });
}

void TForm1::ExportPngBtnClick() {
    Guarded("export", [&] {
        const QString base = openedFile_.isEmpty() ? QStringLiteral("picture") : openedFile_;
        const QString path =
            AskSavePath(QStringLiteral("Export picture"), base + QStringLiteral(".png"), QStringLiteral("PNG (*.png)"));
        if (!path.isEmpty()) (void)ExportPicture(path);
    });
}

void TForm1::SaveAnnotationsBtnClick() { (void)SaveShapes(); }

bool TForm1::SaveShapes() {
    QString path;
    const bool asked = Guarded("save", [&] {
        path = AnnotationFile();
        if (path.isEmpty()) {
            path = AskSavePath(QStringLiteral("Save annotations"), QStringLiteral("annotations.kelvo.json"),
                               QStringLiteral("Annotations (*.kelvo.json)"));
        } else if (!annotationsHeld_ && IsRegularFile(path)) {
            // Shapes saved earlier that were not loaded are not replaced unasked.
            if (!AskAboutFile(ConfirmReplaceAnnotations, path, QStringLiteral("Save annotations"),
                              QStringLiteral("\"%1\" holds shapes saved earlier, which were not loaded. Replace "
                                             "them with the shapes shown?"),
                              QMessageBox::No)) {
                path.clear();
            }
        }
    });
    return asked && !path.isEmpty() && SaveAnnotationsTo(path);
}

} // namespace kelvo
