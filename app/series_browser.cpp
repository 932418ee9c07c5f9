// The series browser: a tree of patients, studies and series with thumbnails, and the indexing's progress.
#include "app/series_browser.h"

#include "platform/guarded.h"

#include <QDate>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kelvo {

QString SeriesRowText(const imaging::TSeries& series) {
    QString text = series.Modality.isEmpty() ? QStringLiteral("?") : series.Modality;
    if (series.Number) text += QStringLiteral(" %1").arg(*series.Number);
    if (!series.Description.isEmpty()) text += QStringLiteral(": ") + series.Description;
    return text + QStringLiteral(" (%1 image%2)").arg(series.Images).arg(series.Images == 1 ? "" : "s");
}

QString StudyRowText(const imaging::TStudy& study) {
    // DICOM dates are YYYYMMDD (PS3.5 6.2); anything else is shown as it stands.
    const QDate date = QDate::fromString(study.Date, QStringLiteral("yyyyMMdd"));
    QString text = date.isValid() ? date.toString(Qt::ISODate) : study.Date;
    if (!study.Description.isEmpty()) text += (text.isEmpty() ? QString() : QStringLiteral(" ")) + study.Description;
    return text.isEmpty() ? QStringLiteral("(study without date)") : text;
}

QString StackRowText(const imaging::TSeries& series, int32_t stack) {
    const imaging::TStack& s = series.Stacks.at(size_t(stack));
    const int32_t images = int32_t(s.Slices.size());
    return QStringLiteral("Series %1 (%2 of %3): %4×%5 (%6 image%7)")
        .arg(series.Number ? QString::number(*series.Number) : QStringLiteral("?"))
        .arg(stack + 1)
        .arg(series.Stacks.size())
        .arg(s.Columns)
        .arg(s.Rows)
        .arg(images)
        .arg(images == 1 ? "" : "s");
}

QString StackKey(const QString& seriesUid, const imaging::TStack& stack) {
    QString key =
        QStringLiteral("%1#%2x%3 %4").arg(seriesUid).arg(stack.Columns).arg(stack.Rows).arg(stack.Photometric);
    if (stack.Orientation) {
        for (const double cosine : *stack.Orientation) key += QStringLiteral(" %1").arg(cosine, 0, 'f', 3);
    }
    return key;
}

namespace {

QString RowKey(const QString& seriesUid, int32_t stack, int32_t stacks) {
    return stacks > 1 ? QStringLiteral("r:%1#%2").arg(seriesUid).arg(stack) : QStringLiteral("r:") + seriesUid;
}

} // namespace

TSeriesBrowser::TSeriesBrowser(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("SeriesBrowser"));
    Tree = new QTreeWidget(this);
    Tree->setObjectName(QStringLiteral("SeriesTree"));
    Tree->setHeaderHidden(true);
    Tree->setIconSize(QSize(kThumbnailSide, kThumbnailSide));
    Progress = new QProgressBar(this);
    Progress->setObjectName(QStringLiteral("IndexProgress"));
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBtn->setObjectName(QStringLiteral("IndexCancelBtn"));
    Summary = new QLabel(this);
    Summary->setObjectName(QStringLiteral("IndexSummary"));
    Summary->setWordWrap(true);
    DetailsBtn = new QPushButton(QStringLiteral("Details…"), this);
    DetailsBtn->setObjectName(QStringLiteral("SkippedDetailsBtn"));
    DetailsBtn->hide();
    BudgetBox = new QSpinBox(this);
    BudgetBox->setObjectName(QStringLiteral("SliceBudgetBox"));
    BudgetBox->setRange(1, 1 << 20);
    BudgetBox->setSuffix(QStringLiteral(" MiB"));
    BudgetBox->setKeyboardTracking(false);
    BudgetBox->setToolTip(
        QStringLiteral("Memory for decoded slices kept for stepping; a lower value frees memory at once"));
    auto* budgetLabel = new QLabel(QStringLiteral("Slice cache:"), this);
    budgetLabel->setBuddy(BudgetBox);

    auto* progressRow = new QHBoxLayout;
    progressRow->addWidget(Progress, 1);
    progressRow->addWidget(CancelBtn);
    auto* summaryRow = new QHBoxLayout;
    summaryRow->addWidget(Summary, 1);
    summaryRow->addWidget(DetailsBtn);
    auto* budgetRow = new QHBoxLayout;
    budgetRow->addWidget(budgetLabel);
    budgetRow->addWidget(BudgetBox);
    budgetRow->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Tree, 1);
    layout->addLayout(progressRow);
    layout->addLayout(summaryRow);
    layout->addLayout(budgetRow);

    connect(CancelBtn, &QPushButton::clicked, this, [this] {
        if (auto handler = OnCancel) handler();
    });
    connect(DetailsBtn, &QPushButton::clicked, this, [this] {
        if (auto handler = OnDetails) handler();
    });
    connect(BudgetBox, &QSpinBox::valueChanged, this, [this](int mib) {
        Guarded("slice cache budget", [&] {
            if (auto handler = OnBudgetChanged) handler(mib);
        });
    });
    // A click or the keyboard's current row: either way the series chosen is shown.
    connect(Tree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item, QTreeWidgetItem*) {
        Guarded("series", [&] {
            const QString uid = item == nullptr ? QString() : item->data(0, Qt::UserRole).toString();
            if (!uid.isEmpty() && OnSeriesChosen) OnSeriesChosen(uid, item->data(0, kStackRole).toInt());
        });
    });
}

QTreeWidgetItem* TSeriesBrowser::Row(QTreeWidgetItem* parent, const QString& key, const QString& text) {
    QTreeWidgetItem*& row = rows_[key];
    if (row == nullptr) {
        row = parent == nullptr ? new QTreeWidgetItem(Tree) : new QTreeWidgetItem(parent);
        row->setExpanded(true);
    }
    if (row->text(0) != text) row->setText(0, text);
    return row;
}

void TSeriesBrowser::ShowIndex(const imaging::TStudyIndex& index) {
    const QSignalBlocker quiet(Tree);
    for (const imaging::TPatient& patient : index.Patients) {
        const QString patientKey = QStringLiteral("p:") + patient.Id + QLatin1Char('\x1f') + patient.Name;
        QString name = patient.Name;
        name.replace(QLatin1Char('^'), QLatin1Char(' '));
        QTreeWidgetItem* p = Row(nullptr, patientKey,
                                 QStringLiteral("%1 (%2)").arg(name.trimmed().isEmpty() ? QStringLiteral("?") : name.trimmed(),
                                                               patient.Id));
        for (const imaging::TStudy& study : patient.Studies) {
            QTreeWidgetItem* s = Row(p, QStringLiteral("s:") + study.Uid, StudyRowText(study));
            for (const imaging::TSeries& series : study.Series) {
                const int32_t stacks = int32_t(series.Stacks.size());
                // A series that gained a stack of another kind since the last snapshot
                // trades its single row for one per stack.
                if (stacks > 1) delete rows_.take(QStringLiteral("r:") + series.Uid);
                for (int32_t k = 0; k < std::max(1, stacks); ++k) {
                    QTreeWidgetItem* row = Row(s, RowKey(series.Uid, k, stacks),
                                               stacks > 1 ? StackRowText(series, k) : SeriesRowText(series));
                    row->setData(0, Qt::UserRole, series.Uid);
                    row->setData(0, kStackRole, k);
                    if (stacks == 0) continue;
                    const QString key = StackKey(series.Uid, series.Stacks[size_t(k)]);
                    row->setData(0, kStackKeyRole, key);
                    row->setIcon(0, thumbnails_.value(key));
                }
            }
            p->setExpanded(true);
            s->setExpanded(true);
        }
    }
}

void TSeriesBrowser::Clear() {
    const QSignalBlocker quiet(Tree);
    Tree->clear();
    rows_.clear();
    thumbnails_.clear();
}

void TSeriesBrowser::MarkSeries(const QString& seriesUid, int32_t stack) {
    const QSignalBlocker quiet(Tree);
    QTreeWidgetItem* row = rows_.value(RowKey(seriesUid, stack, 2));
    if (row == nullptr) row = rows_.value(RowKey(seriesUid, stack, 1));
    if (row != nullptr) Tree->setCurrentItem(row);
}

void TSeriesBrowser::ShowProgress(const imaging::TIndexProgress& progress) {
    Progress->setRange(0, std::max(0, progress.Total));
    Progress->setValue(progress.Done);
    Progress->show();
    CancelBtn->show();
    Summary->setText(QStringLiteral("Indexing…"));
    DetailsBtn->hide();
}

void TSeriesBrowser::Finished(const QString& summary, bool skipped) {
    Progress->hide();
    CancelBtn->hide();
    Summary->setText(summary);
    DetailsBtn->setVisible(skipped);
}

void TSeriesBrowser::SetThumbnail(const QString& stackKey, const QIcon& icon) {
    thumbnails_.insert(stackKey, icon);
    for (QTreeWidgetItem* row : std::as_const(rows_)) {
        if (row->data(0, kStackKeyRole).toString() == stackKey) row->setIcon(0, icon);
    }
}

} // namespace kelvo
