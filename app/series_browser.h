// The series browser: the patients, studies and series of an indexed folder as a tree, each series with a thumbnail, and the indexing's progress and summary.
#pragma once

#include "imaging/study_index.h"

#include <QHash>
#include <QIcon>
#include <QWidget>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTreeWidget;
class QTreeWidgetItem;

namespace kelvo {

class TSeriesBrowser : public QWidget {
    Q_OBJECT
public:
    explicit TSeriesBrowser(QWidget* parent = nullptr);

    // Shows the index (again, as snapshots arrive): the rows of series already listed
    // keep their place and thumbnail, and the series shown stays marked.
    void ShowIndex(const imaging::TStudyIndex& index);
    // Forgets every row and thumbnail, for another study.
    void Clear();
    // Marks the series (and which of its stacks) shown.
    void MarkSeries(const QString& seriesUid, int32_t stack = 0);
    // While indexing: the progress; Total 0 is a busy bar. Hidden by Finished.
    void ShowProgress(const imaging::TIndexProgress& progress);
    // The indexing ended: its summary ("412 images in 3 series; 5 files skipped"),
    // and the details button when files were skipped.
    void Finished(const QString& summary, bool skipped);
    // A stack's thumbnail (by StackKey): its middle slice through its own window.
    void SetThumbnail(const QString& stackKey, const QIcon& icon);

    // The "series" rows' user data: the Series Instance UID, and under kStackRole the
    // stack's place among the series' stacks. A series whose files differ in size or
    // photometric interpretation has a row per stack, since one slider cannot step
    // through pictures of different kinds.
    QTreeWidget* Tree = nullptr;
    QProgressBar* Progress = nullptr;
    QPushButton* CancelBtn = nullptr;
    QLabel* Summary = nullptr;
    QPushButton* DetailsBtn = nullptr;
    // The slice cache's budget in MiB; OnBudgetChanged once a value is entered (not
    // while it is typed, since every lower value drops slices at once).
    QSpinBox* BudgetBox = nullptr;

    std::function<void(const QString& seriesUid, int32_t stack)> OnSeriesChosen;
    std::function<void()> OnCancel;
    std::function<void()> OnDetails;
    std::function<void(int32_t mib)> OnBudgetChanged;

    static constexpr int kThumbnailSide = 64;
    static constexpr int kStackRole = Qt::UserRole + 1;
    static constexpr int kStackKeyRole = Qt::UserRole + 2;

private:
    QTreeWidgetItem* Row(QTreeWidgetItem* parent, const QString& key, const QString& text);

    QHash<QString, QTreeWidgetItem*> rows_; // by patient, study and series key
    QHash<QString, QIcon> thumbnails_; // by StackKey
};

// "CT 3: Chest 1.0 (412 images)", the date as the study row gives it, for the rows.
QString SeriesRowText(const imaging::TSeries& series);
QString StudyRowText(const imaging::TStudy& study);
// Names a stack by what sets it apart within its series, which stays as the index grows
// (its place among the series' stacks, which go by size, may not).
QString StackKey(const QString& seriesUid, const imaging::TStack& stack);
// "Series 3 (2 of 2): 256×256 (5 images)", for a series with more than one stack.
QString StackRowText(const imaging::TSeries& series, int32_t stack);

} // namespace kelvo
