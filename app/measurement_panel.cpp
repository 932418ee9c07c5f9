// The measurement list beside the canvas: its rows, the live line under them, copying, and the export buttons' layout.
#include "app/measurement_panel.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>
#include <QTableWidget>

namespace kelvo {

namespace {
constexpr int kButtonHeight = 25;
constexpr int kGap = 4;
} // namespace

TMeasurementPanel::TMeasurementPanel(TDeferContent, QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("MeasurementPanel"));
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
}

TMeasurementPanel::TMeasurementPanel(QWidget* parent) : TMeasurementPanel(TDeferContent{}, parent) { EnsureContent(); }

void TMeasurementPanel::EnsureContent() {
    if (HasContent()) return;
    Table = new QTableWidget(0, 3, this);
    Table->setObjectName(QStringLiteral("MeasurementTable"));
    Table->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Kind"), QStringLiteral("Value")});
    Table->verticalHeader()->hide();
    Table->horizontalHeader()->setStretchLastSection(true);
    Table->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table->setSelectionMode(QAbstractItemView::SingleSelection);
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->setColumnWidth(0, 80);
    Table->setColumnWidth(1, 70);
    Table->installEventFilter(this);
    connect(Table, &QTableWidget::itemSelectionChanged, this, [this] {
        if (!filling_ && OnRowSelected) OnRowSelected(SelectedRow());
    });
    auto button = [this](const char* text, const char* name, std::function<void()> TMeasurementPanel::*handler) {
        auto* b = new QPushButton(QString::fromUtf8(text), this);
        b->setObjectName(QString::fromLatin1(name));
        connect(b, &QPushButton::clicked, this, [this, handler] {
            if (this->*handler) (this->*handler)();
        });
        return b;
    };
    SpacingLabel = new QLabel(this);
    SpacingLabel->setObjectName(QStringLiteral("SpacingLabel"));
    LiveLabel = new QLabel(this);
    LiveLabel->setObjectName(QStringLiteral("LiveLabel"));
    ExportCsvBtn = button("Export measurements…", "ExportCsvBtn", &TMeasurementPanel::OnExportCsv);
    ExportPngBtn = button("Export picture…", "ExportPngBtn", &TMeasurementPanel::OnExportPng);
    SaveBtn = button("Save annotations", "SaveAnnotationsBtn", &TMeasurementPanel::OnSave);
    LoadBtn = button("Load annotations…", "LoadAnnotationsBtn", &TMeasurementPanel::OnLoad);
    ExportReportBtn = button("Export report…", "ExportReportBtn", &TMeasurementPanel::OnExportReport);
    Layout();
}

void TMeasurementPanel::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    if (HasContent()) Layout();
}

void TMeasurementPanel::setVisible(bool visible) {
    // Made before the frame is shown, the contents are shown with it.
    if (visible) EnsureContent();
    QFrame::setVisible(visible);
}

void TMeasurementPanel::Layout() {
    const int w = width() - 2 * kGap;
    const int half = (w - kGap) / 2;
    const int rowsTop = height() - 2 * kButtonHeight - 2 * kGap;
    // The report's row goes above the two older rows, which keep their places.
    const int reportTop = rowsTop - kButtonHeight - kGap;
    const int line = LiveLabel->fontMetrics().height() + kGap;
    Table->setGeometry(kGap, kGap, w, std::max(0, reportTop - 2 * kGap - 2 * line));
    SpacingLabel->setGeometry(kGap, reportTop - kGap - 2 * line, w, line - kGap);
    LiveLabel->setGeometry(kGap, reportTop - kGap - line, w, line - kGap);
    ExportReportBtn->setGeometry(kGap, reportTop, w, kButtonHeight);
    ExportCsvBtn->setGeometry(kGap, rowsTop, half, kButtonHeight);
    ExportPngBtn->setGeometry(2 * kGap + half, rowsTop, half, kButtonHeight);
    SaveBtn->setGeometry(kGap, rowsTop + kButtonHeight + kGap, half, kButtonHeight);
    LoadBtn->setGeometry(2 * kGap + half, rowsTop + kButtonHeight + kGap, half, kButtonHeight);
}

bool TMeasurementPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Table && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
        QApplication::clipboard()->setText(ListText());
        return true;
    }
    return QFrame::eventFilter(watched, event);
}

QString TMeasurementPanel::ListText() const {
    QString text = QStringLiteral("Name\tKind\tValue\n");
    for (int r = 0; HasContent() && r < Table->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < 3; ++c) {
            const QTableWidgetItem* item = Table->item(r, c);
            cells << (item ? item->text() : QString());
        }
        text += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    return text;
}

void TMeasurementPanel::ShowLive(const QString& text) {
    if (!HasContent() && text.isEmpty()) return;
    EnsureContent();
    if (LiveLabel->text() != text) LiveLabel->setText(text);
}

void TMeasurementPanel::ShowSpacing(const QString& source) {
    if (!HasContent() && source.isEmpty()) return;
    EnsureContent();
    const QString text = source.isEmpty() ? QString() : QStringLiteral("Spacing: ") + source;
    if (SpacingLabel->text() == text) return;
    SpacingLabel->setText(text);
    // Whole, should a font wider than the usual one cut the line.
    SpacingLabel->setToolTip(text);
}

int TMeasurementPanel::SelectedRow() const {
    if (!HasContent()) return -1;
    const QList<QTableWidgetItem*> items = Table->selectedItems();
    return items.isEmpty() ? -1 : items.first()->row();
}

void TMeasurementPanel::ShowMeasurements(const std::vector<TMeasurement>& list, int selected) {
    EnsureContent();
    filling_ = true;
    const int rows = int(list.size());
    if (Table->rowCount() != rows) {
        Table->setRowCount(rows);
    }
    for (int r = 0; r < rows; ++r) {
        const QString place = PlaceOf ? PlaceOf(list[size_t(r)]) : QString();
        const QString name = place.isEmpty() ? list[size_t(r)].Name : list[size_t(r)].Name + QStringLiteral(" (") + place + ')';
        const QString texts[] = {name, KindTitle(list[size_t(r)].Kind), list[size_t(r)].ValueText()};
        for (int c = 0; c < 3; ++c) {
            QTableWidgetItem* item = Table->item(r, c);
            if (item == nullptr) {
                Table->setItem(r, c, new QTableWidgetItem(texts[c]));
            } else if (item->text() != texts[c]) {
                item->setText(texts[c]);
            }
        }
    }
    if (selected != SelectedRow()) {
        Table->clearSelection();
        if (selected >= 0 && selected < rows) {
            Table->selectRow(selected);
            Table->scrollToItem(Table->item(selected, 0));
        }
    }
    filling_ = false;
}

} // namespace kelvo
