// The main window: the tool panel that drives the canvas, the scrolling canvas, and the two bottom buttons.
#pragma once

#include "app/shape_history.h"
#include "canvas/measurements.h"
#include "canvas/my_cad.h"
#include "platform/types.h"

#include <QColor>
#include <QDialog>
#include <QFrame>
#include <QSpinBox>
#include <QPointer>
#include <QMessageBox>
#include <QWidget>

#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QKeyEvent;
class QToolButton;

namespace kelvo {
class TLiveLabel;
class TMeasurementPanel;
class TViewControls;
class TStudyView;
class TWindowControls;
} // namespace kelvo

namespace kelvo {

// The colour swatch under "Color": a filled rectangle with an outline that
// reports presses of any mouse button.
class TShapeSwatch : public QWidget {
    Q_OBJECT
public:
    explicit TShapeSwatch(QWidget* parent = nullptr);
    TColor BrushColor() const { return brush_; }
    void SetBrushColor(TColor c);
    TColor PenColor() const { return pen_; }
    void SetPenColor(TColor c);
    std::function<void(Qt::MouseButton)> OnMouseDown;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    TColor brush_ = clWhite;
    TColor pen_ = clBlack;
};

// The line width box. Its change event follows every edit of the text, also
// texts that are not (yet) a number, so the line edit is reachable.
class TSpinEdit : public QSpinBox {
    Q_OBJECT
public:
    using QSpinBox::lineEdit;
    using QSpinBox::QSpinBox;
};

// The main window. Controls are public, named as in the stored form, so that
// tests and the program start can reach them; handlers are public slots named
// by control and event.
class TForm1 : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    // The window as the program's start makes it. The contents of the hidden
    // measurement list wait for EnsureContent (or for the list being shown or filled),
    // so that the first frame does not wait for them. With PictureFollows, the first
    // call of OpenFile comes before the window is painted (the start with a file): the
    // built-in picture is made only should that open fail. WaitForFonts, when given, is
    // called before the window first measures a text (the start reads the font
    // configuration on another thread meanwhile).
    struct TStartUp {
        bool PictureFollows = false;
        std::function<void()> WaitForFonts;
    };
    explicit TForm1(TStartUp start, QWidget* parent = nullptr);
    void EnsureContent();
    ~TForm1() override;

    static constexpr int kDesignWidth = 731;
    static constexpr int kDesignHeight = 646;
    static constexpr const char* kCaption = "Kelvo was used in DICOM Application";

    // The information button shows this window modally. The program start
    // creates the about window after this one and hands it over here; until then
    // (and in tests) the button does nothing. Not owned.
    void SetAboutBox(QDialog* box) { aboutBox_ = box; }
    QDialog* AboutBox() const { return aboutBox_.data(); }

    // The colour dialog: given the colour chosen last time, returns the new
    // colour, or nothing when cancelled. Empty = QColorDialog, modal.
    std::function<std::optional<QColor>(const QColor& initial)> ColorDialog1;

    // Moves the window to the middle of the screen it is on. Done when the
    // window is first shown, when its frame is known.
    void CenterOnScreen();

    // Opens a picture file (DICOM or a common picture format) as the canvas's
    // picture. The shapes on the current picture are dropped, after the user
    // agrees when there are any. On failure the user is told why and the current
    // picture and shapes stay. Returns whether the file is now shown.
    bool OpenFile(const QString& path);
    // The same for a picture already being loaded (started at program start, before
    // the window existed); `loading` gives the picture or rethrows why it failed.
    bool OpenFile(const QString& path, std::future<imaging::TPicture> loading);
    // Shows a picture loaded for `path` (a file, or a study's folder or DICOMDIR) in place
    // of the current one, as an open does once its picture is there: false, changing
    // nothing, when the user keeps the shapes shown or it cannot be shown. `image` is
    // the image of a series it is (empty for a single picture).
    bool AdoptPicture(const QString& path, std::shared_ptr<imaging::TPicture> picture, const TImageRef& image);
    // Folders and DICOMDIRs: opened through here, indexed in the background.
    TStudyView* Study = nullptr;
    // The file shown, empty for the built-in picture. Its name keeps the file system's
    // bytes (see DecodeFileName).
    QString OpenedFile() const { return openedFile_; }

    // Dialogs of opening; empty = Qt's standard modal dialogs. OpenDialog returns
    // the chosen path (empty when cancelled); ConfirmDropShapes is asked with the
    // number of shapes that would be dropped; ShowError tells why a file failed.
    std::function<QString()> OpenDialog;
    std::function<bool(int count)> ConfirmDropShapes;
    std::function<void(const QString& message)> ShowError;
    // Asked before shapes on a picture from a file that differ from those last saved or
    // loaded would go (closing the window, opening another picture), with the annotation
    // file they would be saved to: Save, Discard or Cancel. Empty = a modal question.
    // The built-in picture's shapes have no file to go to: ConfirmDropShapes asks for them.
    std::function<QMessageBox::StandardButton(const QString& path)> AskSaveShapes;
    // Whether the shapes differ from those last saved or loaded (undo back to them counts
    // as no change).
    bool ShapesUnsaved() { return !history_->Stack().isClean(); }

    // What every shape measures, in the canvas's list order, on the picture shown
    // (the built-in picture's grey levels, or a file's modality values).
    std::vector<TMeasurement> Measurements();
    // Writes the measurements as CSV, the canvas's pixels as PNG, the shapes into an
    // annotation file; false, after telling the user why, when it failed.
    bool ExportMeasurements(const QString& path);
    bool ExportPicture(const QString& path);
    bool SaveAnnotationsTo(const QString& path);
    // Where "Save annotations" writes: beside the file shown; empty for the built-in picture.
    QString AnnotationFile() const;
    // Asks for a file to write, with a suggested path and a filter; empty = cancelled.
    // Empty = Qt's standard modal dialog.
    std::function<QString(const QString& title, const QString& suggested, const QString& filter)> SaveDialog;
    // Brings the list up to date with the canvas (when it is shown).
    void RefreshMeasurements();
    // Replaces the shapes by those of an annotation file, as one step that can be
    // undone; a file that cannot be read or trusted is refused with a message and the
    // shapes stay. New regions are numbered after every number loaded.
    bool LoadAnnotationsFrom(const QString& path);
    // Asked at open when the picture has an annotation file beside it; empty = a
    // modal question. LoadDialog asks for an annotation file to load; empty = Qt's dialog.
    std::function<bool(const QString& path)> ConfirmLoadAnnotations;
    std::function<QString()> LoadDialog;
    // Asked before "Save annotations" writes over an annotation file beside the picture
    // that this window has neither loaded nor written (its shapes were declined at
    // open, or could not be read); empty = a modal question.
    std::function<bool(const QString& path)> ConfirmReplaceAnnotations;
    // "Export report…": the picture shown as a DICOM measurement report and/or presentation
    // state, named as ReportFilesFor says, with the window, the part of the picture in view
    // and the zoom; false, after telling why, when nothing was written.
    bool ExportReport(const QString& path);
    // Adds the shapes an SR or presentation state holds for the picture shown, as one step
    // that can be undone, and names the images it refers to that are not shown; a report
    // that cannot be used is refused with a message and the shapes stay. Opening a DICOM
    // file without pixels comes here, with the loader's message for a file that is no
    // report either (`notAReport`). Returns whether shapes were added.
    bool OpenReport(const QString& path, const QString& notAReport = {});
    // Asked before an export writes over files whose names the user did not type; empty =
    // a modal question.
    std::function<bool(const QStringList& paths)> ConfirmReplaceReports;
    // The statistics of the regions, kept while a region, the picture and the frame stay.
    const TRegionStatsCache& StatsCache() const;
    // Undo and redo of adding, deleting, moving, resizing and loading shapes.
    TShapeHistory& History() { return *history_; }

    QFrame* Panel1 = nullptr;
    QFrame* Bevel2 = nullptr;
    QToolButton* SelectBtn = nullptr;
    QToolButton* LineBtn = nullptr;
    QToolButton* rulelineBtn = nullptr;
    QToolButton* Sectorbtn = nullptr;
    QToolButton* rectangleBtn = nullptr;
    QToolButton* EllipseBtn = nullptr;
    QToolButton* PolyLineBtn = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QButtonGroup* ToolGroup = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    TSpinEdit* SpinEdit1 = nullptr;
    QLabel* Label3 = nullptr;
    TShapeSwatch* Shape1 = nullptr;
    QFrame* Bevel1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QPushButton* Button1 = nullptr;
    QCheckBox* CheckBox2 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QScrollArea* ScrollBox1 = nullptr;
    TMyCAD* MyCAD1 = nullptr;
    QPushButton* BitBtn3 = nullptr;
    QPushButton* BitBtn2 = nullptr;
    QPushButton* OpenBtn = nullptr;
    // Shows or hides the measurement list; the window widens by the list's width.
    QPushButton* ListBtn = nullptr;
    TMeasurementPanel* MeasurementPanel = nullptr;
    // The value under the cursor, below the tool panel's frames.
    QLabel* ValueLabel = nullptr;
    // Under the tool panel: which frame of a multi-frame picture from a file is shown
    // ("frame 3 / 10"); hidden for every other picture.
    QLabel* FrameLabel = nullptr;
    // Over the canvas: the statistics of the region being drawn, moved or resized,
    // where its label's lines will stand (when those lines are shown at all).
    TLiveLabel* LiveStatistics = nullptr;
    TViewControls* ViewControls = nullptr;
    // Under the buttons: the window of a picture from a file, its presets, calibration
    // and the legible labels switch.
    TWindowControls* WindowControls = nullptr;

public slots:
    void SelectBtnClick();
    void LineBtnClick();
    void rulelineBtnClick();
    void SectorbtnClick();
    void rectangleBtnClick();
    void EllipseBtnClick();
    void PolyLineBtnClick();
    void SpeedButton1Click();
    void SpinEdit1Change();
    void Shape1MouseDown(Qt::MouseButton button);
    void Button1Click();
    void CheckBox1Click();
    void CheckBox2Click();
    void BitBtn3Click();
    void OpenBtnClick();
    void ListBtnClick();
    void ExportCsvBtnClick();
    void ExportPngBtnClick();
    void ExportReportBtnClick();
    void SaveAnnotationsBtnClick();
    void LoadAnnotationsBtnClick();
    // Ctrl+Z and Ctrl+Shift+Z; nothing while a shape is being drawn or dragged.
    void UndoKey();
    void RedoKey();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // Closing with unsaved shapes on a picture from a file asks first (AskSaveShapes).
    void closeEvent(QCloseEvent* event) override;

private:
    // The stored form's controls, in its order.
    void CreateControls();
    // Panel1 with its two frames and the tool buttons (one radio group, and delete).
    void CreateToolButtons();
    // The position label, the line width box and the colour swatch with their captions.
    void CreatePenControls();
    // The zoom box and button, and the label and shadow check boxes.
    void CreateZoomAndStyleControls();
    // ScrollBox1 holding the canvas MyCAD1, which is not yet configured.
    void CreateCanvasArea();
    // The information and close buttons.
    void CreateBottomButtons();
    void ConfigureCanvas();
    void SetTabOrder();
    void SetTool(TDrawTool tool);
    void FitCanvasHolder();
    void CreateImagingControls();
    void TellError(const QString& message);
    void ShowPendingBuiltInPicture();
    void TellFailure(const QString& title, const QString& message);
    void CreateMeasuringControls();
    QString AskSavePath(const QString& title, const QString& suggested, const QString& filter);
    // The part of the picture in view, in picture pixels; empty when none is.
    QRect DisplayedArea() const;
    // Asks a yes/no question about a file: through `hook` when set, else modally.
    bool AskAboutFile(const std::function<bool(const QString&)>& hook, const QString& path, const QString& title,
                      const QString& question, QMessageBox::StandardButton preferred);
    // Whether the shapes shown may go for another picture or the window's close: nothing
    // unsaved, or the user saved them (successfully) or gave them up.
    bool MayDropShapes();
    // "Save annotations": false when nothing was written (cancelled, declined or failed).
    bool SaveShapes();
    // The shapes shown are those in the file last saved or loaded.
    void MarkShapesSaved();
    // Shows which frame of a multi-frame picture from a file is shown; hides the line
    // for any other picture.
    void ShowFrame();
    // Steps through the frames; a frame that could not be read is named, not shown.
    void StepFrame(int32_t delta);
    // Takes the canvas's shapes into the history and the list after a change; it ends
    // a run of arrow presses.
    void ShapesChanged();
    // The next arrow press starts a step of its own.
    void EndNudgeRun() { nudgeRun_ = 0; }
    // Keys on the focused canvas: Delete, arrows (Shift: ten pixels), Escape, Tab.
    bool CanvasKey(QKeyEvent* event);
    void MoveSelectedBy(int32_t dx, int32_t dy);
    // While a region is drawn, moved or resized: the statistics of the region it would
    // become with the pointer at (x, y), in the list's live line and under the region's
    // place on the canvas. Otherwise both are hidden.
    void ShowLiveStatistics(int32_t x, int32_t y);
    void HideLiveStatistics();
    // Selects the next (step 1) or previous (step -1) shape; false when there is none.
    bool CycleSelection(int step);

    // Holds the canvas inside the scroll box, so that the canvas can sit at its
    // stored offset and the scrolled range follows the canvas's size.
    QWidget* canvasHolder_ = nullptr;
    QPointer<QDialog> aboutBox_;
    QColor lastColor_ = Qt::black;
    bool shownBefore_ = false;
    // The built-in picture is still to be shown, when the file opened first fails.
    bool builtInPending_ = false;
    // Whether the annotation file beside the picture holds shapes this window loaded
    // or saved: only then does saving replace it unasked.
    bool annotationsHeld_ = false;
    std::function<void()> waitForFonts_;
    QString openedFile_;
    std::unique_ptr<TShapeHistory> history_;
    // Arrow presses on one shape join one step while nothing else happens: the open run
    // (0: none), the last run given out, the shape it moves and the history's index
    // after its last press.
    uint64_t nudgeRun_ = 0;
    uint64_t lastNudgeRun_ = 0;
    int32_t nudged_ = -1;
    int nudgeTop_ = -1;
};

// Reads a zoom factor the way the zoom box expects it: blanks around the
// number, a sign, the locale's decimal separator or a point, and an exponent are
// allowed; anything else (digit grouping included) is not a number.
std::optional<double> ParseZoomText(const QString& text);

} // namespace kelvo
