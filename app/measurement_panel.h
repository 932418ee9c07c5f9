// The measurement list beside the canvas: one row per shape with its name, kind and value, and the buttons that export and keep them.
#pragma once

#include "canvas/measurements.h"

#include <QFrame>

#include <functional>
#include <vector>

class QLabel;
class QPushButton;
class QTableWidget;

namespace kelvo {

class TMeasurementPanel : public QFrame {
    Q_OBJECT
public:
    explicit TMeasurementPanel(QWidget* parent = nullptr);
    // The frame alone, its list and buttons made by EnsureContent (at the latest when
    // it is shown or filled): the list is hidden when the program starts, and a table
    // is the costliest control of the main window to make.
    struct TDeferContent {};
    TMeasurementPanel(TDeferContent, QWidget* parent = nullptr);
    void EnsureContent();
    bool HasContent() const { return Table != nullptr; }
    void setVisible(bool visible) override;

    static constexpr int kWidth = 300;

    // Shows the list, row i for measurement i, with row `selected` selected (-1: none).
    // Rows whose texts did not change are left alone, so the list keeps its scroll
    // position and a long list refreshes cheaply.
    void ShowMeasurements(const std::vector<TMeasurement>& list, int selected);
    int SelectedRow() const;
    // The whole list as text, a header line and then one tab-separated line per row;
    // Ctrl+C in the list puts it on the clipboard.
    QString ListText() const;

    // The line under the list for the region being drawn, moved or resized; empty hides it.
    void ShowLive(const QString& text);
    QLabel* LiveLabel = nullptr;
    // The line under the list that names where lengths and areas come from; empty
    // when they are in inches and pixels.
    void ShowSpacing(const QString& source);
    QLabel* SpacingLabel = nullptr;

    // Fired when the user selects a row (not when ShowMeasurements selects one).
    std::function<void(int row)> OnRowSelected;
    // Where a measurement was taken ("slice 12"), shown after its name; empty = nothing.
    std::function<QString(const TMeasurement&)> PlaceOf;
    // Fired by the buttons under the list.
    std::function<void()> OnExportCsv;
    std::function<void()> OnExportPng;
    std::function<void()> OnExportReport;
    std::function<void()> OnSave;
    std::function<void()> OnLoad;

    QTableWidget* Table = nullptr;
    QPushButton* ExportCsvBtn = nullptr;
    QPushButton* ExportPngBtn = nullptr;
    QPushButton* ExportReportBtn = nullptr;
    QPushButton* SaveBtn = nullptr;
    QPushButton* LoadBtn = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Layout();

    bool filling_ = false;
};

} // namespace kelvo
