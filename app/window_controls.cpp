// The window readout, its presets and the file's windows, the calibration of rulers and the legible labels switch.
#include "app/window_controls.h"

#include "app/main_window.h"
#include "canvas/line_shapes.h"
#include "canvas/measuring.h"
#include "platform/guarded.h"

#include <QCheckBox>
#include <QEvent>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QToolButton>
#include <QUndoCommand>

#include <cmath>
#include <cstdlib>

namespace kelvo {

namespace {

constexpr int kStripHeight = 26;
constexpr int kStripWidth = 520;
// Under the buttons' row, which is 33 pixels high.
constexpr int kBelowButtons = 33 + 4;

bool IsCtPicture(const imaging::TPicture* picture) {
    return picture != nullptr && !picture->IsColour() && picture->Unit == QLatin1String("HU");
}

QString Number(double v) {
    QLocale locale;
    // Grouped thousands would not read back as one number.
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(v, 'g', QLocale::FloatingPointShortest);
}

// One calibration change on the shapes' undo stack, so that undo and redo walk shapes
// and calibrations in the order they were made.
class TCalibrationChange : public QUndoCommand {
public:
    TCalibrationChange(TForm1* form, std::optional<TCalibration> before, std::optional<TCalibration> after)
        : form_(form), before_(before), after_(after) {
        setText(after ? QStringLiteral("Calibrate") : QStringLiteral("Remove calibration"));
    }
    void redo() override { Apply(after_); }
    void undo() override { Apply(before_); }

private:
    void Apply(const std::optional<TCalibration>& calibration) {
        form_->MyCAD1->Measuring().SetCalibration(calibration);
        form_->MyCAD1->Paint();
        form_->RefreshMeasurements();
    }
    TForm1* form_;
    std::optional<TCalibration> before_;
    std::optional<TCalibration> after_;
};

} // namespace

// Window levels and widths as radiology teaches them for CT, from Radiopaedia's article
// "Windowing (CT)" (radiopaedia.org/articles/windowing-ct), where it gives a range the
// middle of it.
const std::vector<TWindowPreset>& CtWindowPresets() {
    static const std::vector<TWindowPreset> presets = {
        {"Brain", 40, 80},        {"Subdural", 75, 215}, {"Stroke", 40, 40}, {"Lung", -600, 1500},
        {"Mediastinum", 50, 350}, {"Abdomen", 50, 400},  {"Liver", 30, 150}, {"Bone", 400, 1800},
    };
    return presets;
}

QString WindowText(imaging::TWindow window, const QString& unit) {
    const QString text = QStringLiteral("C %1 W %2").arg(Number(window.Center), Number(window.Width));
    return unit.isEmpty() ? text : text + QLatin1Char(' ') + unit;
}

std::optional<imaging::TWindow> ParseWindowText(const QString& typed) {
    QString text = typed.trimmed();
    const QString point = QLocale().decimalPoint();
    if (!point.isEmpty() && point != QStringLiteral(".")) text.replace(point, QStringLiteral("."));
    static const QRegularExpression form(
        QStringLiteral(R"(^(?:[Cc]\s*)?([-+]?\d+(?:\.\d*)?|[-+]?\.\d+)\s*(?:[,/]\s*|\s+)(?:[Ww]\s*)?)"
                       R"(([-+]?\d+(?:\.\d*)?|[-+]?\.\d+)(?:\s+[A-Za-z]+)?$)"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch()) return std::nullopt;
    const imaging::TWindow window{m.captured(1).toDouble(), m.captured(2).toDouble()};
    if (!std::isfinite(window.Center) || !std::isfinite(window.Width) || !(window.Width > 0.0)) return std::nullopt;
    return window;
}

TWindowControls::TWindowControls(TForm1* form) : QWidget(form), form_(form) {
    setObjectName(QStringLiteral("WindowControls"));
    caption_ = new QLabel(QStringLiteral("Window"), this);
    caption_->setObjectName(QStringLiteral("WindowCaption"));
    WindowEdit = new QLineEdit(this);
    WindowEdit->setObjectName(QStringLiteral("WindowEdit"));
    WindowEdit->setToolTip(QStringLiteral("Centre and width; type \"C 40 W 400\" and Enter"));
    connect(WindowEdit, &QLineEdit::returnPressed, this, [this] { Guarded("window", [&] { EditFinished(); }); });

    WindowsMenu = new QMenu(this);
    WindowsMenu->setObjectName(QStringLiteral("WindowsMenu"));
    WindowsBtn = new QToolButton(this);
    WindowsBtn->setObjectName(QStringLiteral("WindowsBtn"));
    WindowsBtn->setText(QStringLiteral("Presets"));
    WindowsBtn->setMenu(WindowsMenu);
    WindowsBtn->setPopupMode(QToolButton::InstantPopup);
    connect(WindowsMenu, &QMenu::aboutToShow, this, [this] { Guarded("window", [&] { FillWindowsMenu(); }); });

    auto* calibrateMenu = new QMenu(this);
    CalibrateBtn = new QToolButton(this);
    CalibrateBtn->setObjectName(QStringLiteral("CalibrateBtn"));
    CalibrateBtn->setText(QStringLiteral("Calibrate…"));
    CalibrateBtn->setToolTip(QStringLiteral("Give the selected ruler's real length"));
    CalibrateBtn->setMenu(calibrateMenu);
    CalibrateBtn->setPopupMode(QToolButton::MenuButtonPopup);
    connect(CalibrateBtn, &QToolButton::clicked, this, [this] { Guarded("calibrate", [&] { CalibrateWithRuler(); }); });
    calibrateMenu->addAction(QStringLiteral("Calibrate with the ruler…"), this,
                             [this] { Guarded("calibrate", [&] { CalibrateWithRuler(); }); });
    calibrateMenu->addAction(QStringLiteral("Remove calibration"), this,
                             [this] { Guarded("calibrate", [&] { RemoveCalibration(); }); });

    LegibleLabelsBox = new QCheckBox(QStringLiteral("Labels apart"), this);
    LegibleLabelsBox->setObjectName(QStringLiteral("LegibleLabelsBox"));
    LegibleLabelsBox->setToolTip(
        QStringLiteral("Labels with a halo, kept in view and apart, also on the built-in picture"));
    connect(LegibleLabelsBox, &QCheckBox::toggled, this, [this](bool on) {
        Guarded("labels", [&] {
            form_->MyCAD1->Measuring().SetLabelLayout(on ? TLabelLayout::Always : TLabelLayout::OnFilePictures);
            form_->MyCAD1->Paint();
        });
    });

    // Fixed places, as the form's own controls have.
    caption_->setGeometry(0, 4, 44, 18);
    WindowEdit->setGeometry(46, 1, 150, 24);
    WindowsBtn->setGeometry(200, 1, 70, 24);
    CalibrateBtn->setGeometry(274, 1, 90, 24);
    LegibleLabelsBox->setGeometry(372, 4, 140, 18);

    // Keys 1 to 8 choose the presets, 9 the file's own window; window-wide like the
    // frame keys. A text box with the focus keeps its digits: it takes them first.
    for (int key = 0; key < 9; ++key) {
        auto* shortcut = new QShortcut(QKeySequence(Qt::Key_1 + key), form);
        shortcut->setObjectName(QStringLiteral("WindowPresetKey%1").arg(key + 1));
        connect(shortcut, &QShortcut::activated, this, [this, key] {
            Guarded("window", [&] {
                if (size_t(key) < CtWindowPresets().size()) {
                    (void)ApplyPreset(size_t(key));
                } else if (const imaging::TPicture* p = form_->MyCAD1->Picture()) {
                    (void)ApplyWindow(p->DefaultWindow(form_->MyCAD1->Frame()));
                }
            });
        });
    }

    form->MyCAD1->Measuring().SetLabelLayout(TLabelLayout::OnFilePictures);
    // Labels are laid out in the part in view: scrolling shows another part.
    for (QScrollBar* bar : {form->ScrollBox1->horizontalScrollBar(), form->ScrollBox1->verticalScrollBar()}) {
        connect(
            bar, &QScrollBar::valueChanged, this,
            [this] {
                Guarded("labels", [&] {
                    if (form_->MyCAD1->Measuring().LabelsApart()) form_->MyCAD1->Paint();
                });
            },
            Qt::QueuedConnection);
    }
    form->installEventFilter(this);
    form->MyCAD1->installEventFilter(this);
    FollowButtons();
    Refresh();
}

void TWindowControls::FollowButtons() {
    setGeometry(8, form_->BitBtn3->y() + kBelowButtons, kStripWidth, kStripHeight);
}

bool TWindowControls::eventFilter(QObject* watched, QEvent* event) {
    if (watched == form_ && event->type() == QEvent::Resize) FollowButtons();
    // A new picture, a frame or a window dragged with the mouse all repaint the canvas.
    if (watched == form_->MyCAD1 && event->type() == QEvent::Paint) Guarded("window", [&] { Refresh(); });
    if (watched == form_->MyCAD1) {
        bool used = false;
        Guarded("label", [&] { used = DragLabel(event); });
        if (used) return true;
    }
    return QWidget::eventFilter(watched, event);
}

bool TWindowControls::DragLabel(QEvent* event) {
    TMyCAD* cad = form_->MyCAD1;
    const auto type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove && type != QEvent::MouseButtonRelease) {
        return false;
    }
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const QPoint at = mouse->position().toPoint();
    if (type == QEvent::MouseButtonPress) {
        if (mouse->button() != Qt::LeftButton || cad->ShapeTool() != SpNone || cad->DragState() != DragNone ||
            !cad->Measuring().LabelsApart()) {
            return false;
        }
        // A label starts at its ruler's end: the point stays the canvas's to drag.
        for (int32_t i = 0; i < cad->ShapeCount(); ++i) {
            const TMyShape* shape = cad->Shape(i);
            for (int32_t k = 0; k < shape->PointCount(); ++k) {
                const TPoint p = shape->GetPoint(k);
                if (std::abs(int64_t(p.X) - at.x()) <= shape->HotSize + 1 &&
                    std::abs(int64_t(p.Y) - at.y()) <= shape->HotSize + 1) {
                    return false;
                }
            }
        }
        for (int32_t i = cad->ShapeCount() - 1; i >= 0; --i) {
            const TMyShape* shape = cad->Shape(i);
            if (shape->LabelPlace && shape->LabelPlace->Box.contains(at)) {
                labelDrag_ = {i, at, shape->LabelShift};
                return true;
            }
        }
        return false;
    }
    if (labelDrag_.Shape < 0) return false;
    if (labelDrag_.Shape < cad->ShapeCount()) {
        cad->Shape(labelDrag_.Shape)->LabelShift = labelDrag_.Shift + (at - labelDrag_.Start);
        cad->Paint();
    }
    if (type == QEvent::MouseButtonRelease) labelDrag_.Shape = -1;
    return true;
}

void TWindowControls::Refresh() {
    const imaging::TPicture* picture = form_->MyCAD1->Picture();
    const bool file = picture != nullptr;
    // A picture in colours of its own shows them whatever the window.
    const bool windowed = file && !picture->ShowsInColour();
    WindowEdit->setVisible(windowed);
    WindowsBtn->setVisible(windowed);
    caption_->setVisible(windowed);
    CalibrateBtn->setVisible(file);
    if (!windowed) {
        shownPicture_ = nullptr;
        return;
    }
    const imaging::TWindow window = form_->MyCAD1->Window();
    // What the user is typing stays until Enter.
    if (WindowEdit->hasFocus() && shownPicture_ == picture) return;
    if (shownPicture_ != picture || !(window == shown_) || WindowEdit->text().isEmpty()) {
        WindowEdit->setText(WindowText(window, picture->Unit));
        shown_ = window;
        shownPicture_ = picture;
    }
}

bool TWindowControls::ApplyWindow(imaging::TWindow window) {
    const imaging::TPicture* picture = form_->MyCAD1->Picture();
    if (picture == nullptr || picture->ShowsInColour()) return false;
    form_->MyCAD1->SetWindow(window);
    WindowEdit->clearFocus();
    shownPicture_ = nullptr;
    Refresh();
    return true;
}

bool TWindowControls::ApplyPreset(size_t index) {
    if (!IsCtPicture(form_->MyCAD1->Picture()) || index >= CtWindowPresets().size()) return false;
    const TWindowPreset& p = CtWindowPresets()[index];
    return ApplyWindow(imaging::TWindow{p.Center, p.Width});
}

void TWindowControls::EditFinished() {
    const std::optional<imaging::TWindow> typed = ParseWindowText(WindowEdit->text());
    if (!typed) {
        // Not a window: the one shown comes back.
        shownPicture_ = nullptr;
        WindowEdit->clearFocus();
        Refresh();
        return;
    }
    (void)ApplyWindow(*typed);
}

void TWindowControls::FillWindowsMenu() {
    WindowsMenu->clear();
    const imaging::TPicture* picture = form_->MyCAD1->Picture();
    if (picture == nullptr) return;
    const bool ct = IsCtPicture(picture);
    const std::vector<TWindowPreset>& presets = CtWindowPresets();
    for (size_t i = 0; i < presets.size(); ++i) {
        QAction* a = WindowsMenu->addAction(
            QStringLiteral("%1\t%2").arg(
                QStringLiteral("%1 (%2)").arg(QString::fromLatin1(presets[i].Name),
                                              WindowText({presets[i].Center, presets[i].Width}, QStringLiteral("HU"))),
                QString::number(i + 1)),
            this, [this, i] { Guarded("window", [&] { (void)ApplyPreset(i); }); });
        a->setEnabled(ct);
    }
    WindowsMenu->addSeparator();
    int n = 0;
    for (const imaging::TPicture::TNamedWindow& w : picture->FileWindows) {
        const QString name = w.Explanation.isEmpty() ? QStringLiteral("File window %1").arg(++n) : w.Explanation;
        WindowsMenu->addAction(QStringLiteral("%1 (%2)").arg(name, WindowText(w.Window, picture->Unit)), this,
                               [this, window = w.Window] { Guarded("window", [&] { (void)ApplyWindow(window); }); });
    }
    WindowsMenu->addAction(QStringLiteral("The picture's own window\t9"), this,
                           [this] { Guarded("window", [&] { form_->MyCAD1->ResetWindow(); }); });
}

bool TWindowControls::CalibrateWithRuler() {
    TMyCAD* cad = form_->MyCAD1;
    if (cad->Picture() == nullptr) return false;
    const TMyShape* ruler = nullptr;
    const int32_t selected = cad->SelectedIndex();
    if (selected >= 0 && cad->Shape(selected)->Kind() == TShapeKind::Ruler) {
        ruler = cad->Shape(selected);
    } else {
        for (int32_t i = cad->ShapeCount() - 1; i >= 0 && ruler == nullptr; --i) {
            if (cad->Shape(i)->Kind() == TShapeKind::Ruler) ruler = cad->Shape(i);
        }
    }
    if (ruler == nullptr || ruler->PointCount() < 2) {
        const QString hint = QStringLiteral("Draw a ruler over a length you know, then calibrate with it.");
        if (form_->ShowError) {
            form_->ShowError(hint);
        } else {
            QMessageBox::information(form_, QStringLiteral("Calibrate"), hint);
        }
        return false;
    }
    const TPixelSpacing now = cad->Measuring().PixelSpacing();
    const double shown = now.InMm() ? RulerLength(ruler->Points[0], ruler->Points[1], now.X, now.Y, 1) : 10.0;
    std::optional<double> mm;
    if (AskLength) {
        mm = AskLength(shown);
    } else {
        bool ok = false;
        const double typed =
            QInputDialog::getDouble(form_, QStringLiteral("Calibrate"),
                                    QStringLiteral("The ruler's real length in mm:"), shown, 0.001, 1e6, 3, &ok);
        if (ok) mm = typed;
    }
    if (!mm) return false;
    const std::optional<TCalibration> calibration = cad->Measuring().CalibrationFor(*ruler, *mm);
    if (!calibration) return false;
    ChangeCalibration(calibration);
    return true;
}

bool TWindowControls::RemoveCalibration() {
    if (!form_->MyCAD1->Measuring().Calibration()) return false;
    ChangeCalibration(std::nullopt);
    return true;
}

void TWindowControls::ChangeCalibration(std::optional<TCalibration> calibration) {
    const std::optional<TCalibration> before = form_->MyCAD1->Measuring().Calibration();
    if (before == calibration || form_->MyCAD1->Picture() == nullptr) return;
    form_->History().Stack().push(new TCalibrationChange(form_, before, calibration));
}

} // namespace kelvo
