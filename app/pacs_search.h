// The PACS search dialog: a study search by patient, date, modality and accession number, its results page by page, and the retrieving of a chosen study into the instance cache to open it.
#pragma once

#include "app/pacs_session.h"
#include "app/pacs_settings.h"

#include <QAbstractTableModel>
#include <QDialog>

#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableView;
class QTableWidget;

namespace kelvo {

// The studies of one page of results, newest first until the user sorts otherwise.
class TStudyTableModel : public QAbstractTableModel {
public:
    enum Column { Date, Patient, PatientId, Description, Modalities, Accession, Series, Images, ColumnCount };
    using QAbstractTableModel::QAbstractTableModel;

    void SetRows(std::vector<pacs::TStudyRow> rows);
    const pacs::TStudyRow& Row(int row) const { return rows_[static_cast<size_t>(row)]; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // By date (then time) on the date column; the others by their text.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    std::vector<pacs::TStudyRow> rows_;
};

class TPacsSearchDialog : public QDialog {
public:
    // The servers of the settings, unless `servers` is given (tests). The instances
    // are retrieved into `cache` (the program's by default).
    explicit TPacsSearchDialog(QWidget* parent = nullptr, std::vector<pacs::TPacsServer> servers = {},
                               pacs::TInstanceCache* cache = nullptr);
    ~TPacsSearchDialog() override;

    // Shows the retrieved files (in the order they came): the window opens them.
    std::function<void(const QStringList& files)> OpenFiles;
    // Asks for the files to send; empty = Qt's dialog.
    std::function<QStringList()> ChooseFiles;
    TPasswordPrompts Prompts;
    int PageSize = 50; // studies a page of DICOMweb results

    QComboBox* ServerBox = nullptr;
    QLineEdit* NameEdit = nullptr;
    QLineEdit* IdEdit = nullptr;
    QCheckBox* FromBox = nullptr;
    QDateEdit* FromEdit = nullptr;
    QCheckBox* ToBox = nullptr;
    QDateEdit* ToEdit = nullptr;
    QComboBox* ModalityBox = nullptr;
    QLineEdit* AccessionEdit = nullptr;
    QPushButton* SearchBtn = nullptr;
    QPushButton* PreviousBtn = nullptr;
    QPushButton* NextBtn = nullptr;
    QTableView* Table = nullptr;
    TStudyTableModel* Model = nullptr;
    // The chosen study's series: Open takes the series chosen here, else the whole study.
    QTableWidget* SeriesTable = nullptr;
    QProgressBar* Progress = nullptr;
    QLabel* Status = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPushButton* OpenBtn = nullptr;
    QPushButton* SendBtn = nullptr;

    // The query of the fields, at `offset`.
    pacs::TStudyQuery Query(int offset) const;
    void SearchPage(int offset);
    void OpenChosen();
    // Sends `files` to the chosen server (a report or presentation state written here).
    void Send(const QStringList& files);

private:
    void FillServers();
    bool Connect(); // a session for the chosen server, with its password when it needs one
    void Busy(const QString& what);
    void Ended(const pacs::TPacsStatus& status, const QString& success);
    void LoadSeries();
    void ShowProgress(const pacs::TPacsProgress& progress, const QString& what);

    std::vector<pacs::TPacsServer> servers_;
    pacs::TInstanceCache* cache_;
    std::unique_ptr<TPacsSession> session_;
    int offset_ = 0;
    bool lastPageFull_ = false;
};

} // namespace kelvo
