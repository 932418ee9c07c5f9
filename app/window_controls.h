// The strip under the window's buttons for pictures from files: the window as text that can be typed, CT presets and the file's own windows, the calibration of rulers, and the switch for legible labels.
#pragma once

#include "canvas/annotations.h"
#include "imaging/picture.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QToolButton;

namespace kelvo {

class TForm1;

// A window for CT pictures as radiology teaches it, in Hounsfield units.
struct TWindowPreset {
    const char* Name;
    double Center;
    double Width;
};
// Brain, subdural, stroke, lung, mediastinum, abdomen, liver, bone: keys 1 to 8.
const std::vector<TWindowPreset>& CtWindowPresets();

// "C 40 W 400 HU": the centre and width with the picture's unit (none when empty).
QString WindowText(imaging::TWindow window, const QString& unit);
// Reads what the user typed: "C 40 W 400", "40 400", "40/400" or "40, 400", a unit
// after it allowed, "." or the user's decimal separator; nothing for any other text or
// for a width not above zero.
std::optional<imaging::TWindow> ParseWindowText(const QString& text);

class TWindowControls : public QWidget {
    Q_OBJECT
public:
    // Placed under the form's buttons; it follows them when the form grows and watches
    // the canvas for changes of picture and window.
    explicit TWindowControls(TForm1* form);

    // The window shown; typing a window and Enter applies it.
    QLineEdit* WindowEdit = nullptr;
    // The presets (for pictures in HU) and the file's own windows.
    QToolButton* WindowsBtn = nullptr;
    QMenu* WindowsMenu = nullptr;
    // "Calibrate…" with the selected ruler (or the last one drawn), and the removal.
    QToolButton* CalibrateBtn = nullptr;
    // Labels kept legible and apart on the built-in picture too.
    QCheckBox* LegibleLabelsBox = nullptr;

    // Asks for the ruler's real length in millimetres; nothing when cancelled. Empty =
    // a modal number dialog.
    std::function<std::optional<double>(double shownMm)> AskLength;

    // Brings the strip up to the picture and window shown.
    void Refresh();
    // Applies the window and shows it; false without a picture from a file.
    bool ApplyWindow(imaging::TWindow window);
    // Preset number index (from 0) of CtWindowPresets; false when the picture is not in HU.
    bool ApplyPreset(size_t index);
    // Calibrates with the selected ruler, or the last ruler when none is selected, as a
    // step that can be undone; false when there is none or the user cancelled.
    bool CalibrateWithRuler();
    // Back to the file's own spacing, as a step that can be undone.
    bool RemoveCalibration();
    // Sets the calibration of the picture shown as a step that can be undone.
    void ChangeCalibration(std::optional<TCalibration> calibration);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FillWindowsMenu();
    void FollowButtons();
    void EditFinished();
    // A label dragged with the select tool moves apart from its place; true when the
    // event belonged to such a drag.
    bool DragLabel(QEvent* event);

    TForm1* form_;
    QLabel* caption_ = nullptr;
    imaging::TWindow shown_{};
    const imaging::TPicture* shownPicture_ = nullptr;
    struct TLabelDrag {
        int32_t Shape = -1;
        QPoint Start;
        QPoint Shift;
    } labelDrag_;
};

} // namespace kelvo
