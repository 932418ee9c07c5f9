// The PACS search dialog and its results table.
#include "app/pacs_search.h"

#include "pacs/instance_cache.h"
#include "platform/guarded.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace kelvo {

using namespace pacs;

void TStudyTableModel::SetRows(std::vector<TStudyRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

int TStudyTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TStudyTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant TStudyTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const TStudyRow& r = Row(index.row());
    const auto count = [](int32_t n) { return n < 0 ? QVariant(QStringLiteral("?")) : QVariant(n); };
    if (role == Qt::TextAlignmentRole && (index.column() == Series || index.column() == Images))
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::ToolTipRole) return r.StudyUid;
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
    case Date:
        return r.Date.isValid() ? r.Date.toString(Qt::ISODate) : QString();
    case Patient:
        return QString(r.PatientName).replace(QLatin1Char('^'), QLatin1Char(' ')).trimmed();
    case PatientId:
        return r.PatientId;
    case Description:
        return r.Description;
    case Modalities:
        return r.Modalities.join(QLatin1Char(' '));
    case Accession:
        return r.Accession;
    case Series:
        return count(r.Series);
    case Images:
        return count(r.Instances);
    default:
        return {};
    }
}

QVariant TStudyTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const titles[] = {"Study date", "Patient",   "Patient ID", "Description",
                                         "Modalities", "Accession", "Series",     "Images"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= ColumnCount) return {};
    return QString::fromLatin1(titles[section]);
}

void TStudyTableModel::sort(int column, Qt::SortOrder order) {
    if (column < 0 || column >= ColumnCount) return;
    beginResetModel();
    if (column == Date) {
        SortByDate(rows_); // newest first, undated last
        if (order == Qt::AscendingOrder) std::reverse(rows_.begin(), rows_.end());
    } else {
        std::vector<std::pair<QString, size_t>> keys;
        for (size_t i = 0; i < rows_.size(); ++i)
            keys.emplace_back(data(index(static_cast<int>(i), column)).toString(), i);
        std::stable_sort(keys.begin(), keys.end(), [order](const auto& a, const auto& b) {
            const int c = QString::localeAwareCompare(a.first, b.first);
            return order == Qt::AscendingOrder ? c < 0 : c > 0;
        });
        std::vector<TStudyRow> sorted;
        sorted.reserve(rows_.size());
        for (const auto& key : keys) sorted.push_back(std::move(rows_[key.second]));
        rows_ = std::move(sorted);
    }
    endResetModel();
}

TPacsSearchDialog::TPacsSearchDialog(QWidget* parent, std::vector<TPacsServer> servers, TInstanceCache* cache)
    : QDialog(parent), servers_(servers.empty() ? LoadPacsServers() : std::move(servers)), cache_(cache) {
    setObjectName(QStringLiteral("PacsSearch"));
    setWindowTitle(QStringLiteral("Search a PACS"));
    ServerBox = new QComboBox(this);
    auto* serversBtn = new QPushButton(QStringLiteral("Se&rvers…"), this);
    serversBtn->setObjectName(QStringLiteral("PacsServersBtn"));
    NameEdit = new QLineEdit(this);
    NameEdit->setPlaceholderText(QStringLiteral("Doe^J* (? and * match)"));
    IdEdit = new QLineEdit(this);
    FromBox = new QCheckBox(QStringLiteral("&From"), this);
    FromEdit = new QDateEdit(QDate::currentDate().addYears(-1), this);
    ToBox = new QCheckBox(QStringLiteral("&to"), this);
    ToEdit = new QDateEdit(QDate::currentDate(), this);
    for (QDateEdit* edit : {FromEdit, ToEdit}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        edit->setEnabled(false);
    }
    ModalityBox = new QComboBox(this);
    ModalityBox->setEditable(true);
    ModalityBox->addItems({QString(), "CT", "MR", "CR", "DX", "MG", "US", "NM", "PT", "XA", "RF", "SC", "SR"});
    AccessionEdit = new QLineEdit(this);
    SearchBtn = new QPushButton(QStringLiteral("&Search"), this);
    SearchBtn->setDefault(true);
    Model = new TStudyTableModel(this);
    Table = new QTableView(this);
    Table->setModel(Model);
    Table->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table->setSelectionMode(QAbstractItemView::SingleSelection);
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->verticalHeader()->hide();
    // Measuring a thousand rows' texts would hold the table up; the rows are one line.
    Table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    Table->horizontalHeader()->setStretchLastSection(true);
    Table->horizontalHeader()->setSortIndicator(TStudyTableModel::Date, Qt::DescendingOrder);
    Table->setSortingEnabled(true);
    SeriesTable = new QTableWidget(0, 4, this);
    SeriesTable->setObjectName(QStringLiteral("PacsSeries"));
    SeriesTable->setHorizontalHeaderLabels({"Series", "Modality", "Description", "Images"});
    SeriesTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    SeriesTable->setSelectionMode(QAbstractItemView::SingleSelection);
    SeriesTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    SeriesTable->verticalHeader()->hide();
    SeriesTable->horizontalHeader()->setStretchLastSection(true);
    PreviousBtn = new QPushButton(QStringLiteral("&Previous page"), this);
    NextBtn = new QPushButton(QStringLiteral("&Next page"), this);
    Progress = new QProgressBar(this);
    Status = new QLabel(this);
    Status->setObjectName(QStringLiteral("PacsStatus"));
    CancelBtn = new QPushButton(QStringLiteral("&Cancel"), this);
    SendBtn = new QPushButton(QStringLiteral("Sen&d files…"), this);
    OpenBtn = new QPushButton(QStringLiteral("&Open"), this);
    auto* closeBtn = new QPushButton(QStringLiteral("C&lose"), this);

    auto* fields = new QGridLayout;
    const auto label = [this](const char* text, QWidget* buddy) {
        auto* l = new QLabel(QString::fromUtf8(text), this);
        l->setBuddy(buddy);
        return l;
    };
    fields->addWidget(label("Ser&ver:", ServerBox), 0, 0);
    fields->addWidget(ServerBox, 0, 1, 1, 3);
    fields->addWidget(serversBtn, 0, 4);
    fields->addWidget(label("Patient &name:", NameEdit), 1, 0);
    fields->addWidget(NameEdit, 1, 1);
    fields->addWidget(label("Patient &ID:", IdEdit), 1, 2);
    fields->addWidget(IdEdit, 1, 3);
    fields->addWidget(FromBox, 2, 0);
    fields->addWidget(FromEdit, 2, 1);
    fields->addWidget(ToBox, 2, 2);
    fields->addWidget(ToEdit, 2, 3);
    fields->addWidget(label("&Modality:", ModalityBox), 3, 0);
    fields->addWidget(ModalityBox, 3, 1);
    fields->addWidget(label("&Accession:", AccessionEdit), 3, 2);
    fields->addWidget(AccessionEdit, 3, 3);
    fields->addWidget(SearchBtn, 3, 4);
    auto* paging = new QHBoxLayout;
    paging->addWidget(PreviousBtn);
    paging->addWidget(NextBtn);
    paging->addStretch();
    auto* progress = new QHBoxLayout;
    progress->addWidget(Progress);
    progress->addWidget(Status, 1);
    progress->addWidget(CancelBtn);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(SendBtn);
    buttons->addStretch();
    buttons->addWidget(OpenBtn);
    buttons->addWidget(closeBtn);
    auto* all = new QVBoxLayout(this);
    all->addLayout(fields);
    all->addWidget(Table, 3);
    all->addWidget(SeriesTable, 1);
    all->addLayout(paging);
    all->addLayout(progress);
    all->addLayout(buttons);
    resize(780, 520);

    FillServers();
    connect(FromBox, &QCheckBox::toggled, FromEdit, &QWidget::setEnabled);
    connect(ToBox, &QCheckBox::toggled, ToEdit, &QWidget::setEnabled);
    connect(ServerBox, &QComboBox::currentIndexChanged, this, [this] { session_.reset(); });
    connect(serversBtn, &QPushButton::clicked, this, [this] {
        TPacsSettingsPage page(this);
        if (page.exec() != QDialog::Accepted) return;
        servers_ = page.Servers();
        FillServers();
    });
    connect(SearchBtn, &QPushButton::clicked, this, [this] { Guarded("pacs search", [this] { SearchPage(0); }); });
    connect(PreviousBtn, &QPushButton::clicked, this,
            [this] { Guarded("pacs page", [this] { SearchPage(std::max(0, offset_ - PageSize)); }); });
    connect(NextBtn, &QPushButton::clicked, this,
            [this] { Guarded("pacs page", [this] { SearchPage(offset_ + PageSize); }); });
    connect(CancelBtn, &QPushButton::clicked, this, [this] {
        if (session_) Guarded("pacs cancel", [this] { session_->Cancel(); });
    });
    connect(Table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { Guarded("pacs series", [this] { LoadSeries(); }); });
    connect(SeriesTable, &QTableWidget::cellDoubleClicked, this,
            [this] { Guarded("pacs open", [this] { OpenChosen(); }); });
    connect(OpenBtn, &QPushButton::clicked, this, [this] { Guarded("pacs open", [this] { OpenChosen(); }); });
    connect(Table, &QTableView::doubleClicked, this, [this] { Guarded("pacs open", [this] { OpenChosen(); }); });
    connect(SendBtn, &QPushButton::clicked, this, [this] {
        Guarded("pacs send", [this] {
            const QStringList files =
                ChooseFiles ? ChooseFiles()
                            : QFileDialog::getOpenFileNames(this, QStringLiteral("Send to the PACS"), {},
                                                            QStringLiteral("DICOM files (*.dcm);;All files (*)"));
            if (!files.isEmpty()) Send(files);
        });
    });
    connect(closeBtn, &QPushButton::clicked, this, &QDialog::reject);
    Ended({TPacsError::None, {}},
          servers_.empty() ? QStringLiteral("Add a server with \u201cServers\u2026\u201d.") : QString());
}

TPacsSearchDialog::~TPacsSearchDialog() = default;

void TPacsSearchDialog::FillServers() {
    session_.reset();
    ServerBox->clear();
    for (const TPacsServer& server : servers_) ServerBox->addItem(server.Name);
}

TStudyQuery TPacsSearchDialog::Query(int offset) const {
    TStudyQuery query;
    query.PatientName = NameEdit->text().trimmed();
    query.PatientId = IdEdit->text().trimmed();
    query.Modality = ModalityBox->currentText().trimmed().toUpper();
    query.Accession = AccessionEdit->text().trimmed();
    if (FromBox->isChecked()) query.From = FromEdit->date();
    if (ToBox->isChecked()) query.To = ToEdit->date();
    query.Limit = PageSize;
    query.Offset = offset;
    return query;
}

bool TPacsSearchDialog::Connect() {
    const int chosen = ServerBox->currentIndex();
    if (chosen < 0 || chosen >= static_cast<int>(servers_.size())) {
        Status->setText(QStringLiteral("Choose a server first."));
        return false;
    }
    if (session_) return true;
    TPacsServer server = servers_[static_cast<size_t>(chosen)];
    const QString problem = PacsServerProblem(server);
    if (!problem.isEmpty()) {
        Status->setText(problem);
        return false;
    }
    if (!PreparePassword(server, this, Prompts)) {
        Status->setText(QStringLiteral("Nothing was sent."));
        return false;
    }
    try {
        session_ = std::make_unique<TPacsSession>(std::move(server), cache_ ? cache_ : &ProgramInstanceCache());
    } catch (const EPacsError& e) {
        Status->setText(e.Text());
        return false;
    }
    return true;
}

void TPacsSearchDialog::Busy(const QString& what) {
    for (QWidget* w : std::initializer_list<QWidget*>{SearchBtn, PreviousBtn, NextBtn, OpenBtn, SendBtn, ServerBox})
        w->setEnabled(false);
    CancelBtn->setEnabled(true);
    Progress->setRange(0, 0); // busy until the first count
    Progress->show();
    Status->setText(what);
}

void TPacsSearchDialog::Ended(const TPacsStatus& status, const QString& success) {
    const bool web = session_ ? UsesDicomWeb(session_->Server()) : true;
    SearchBtn->setEnabled(true);
    ServerBox->setEnabled(true);
    SendBtn->setEnabled(!servers_.empty());
    OpenBtn->setEnabled(Model->rowCount() > 0);
    PreviousBtn->setEnabled(web && offset_ > 0);
    NextBtn->setEnabled(web && lastPageFull_);
    CancelBtn->setEnabled(false);
    Progress->hide();
    Status->setText(status.Ok() ? success : status.Text);
    // A refused password is asked for again next time.
    if (status.Kind == TPacsError::Unauthorized || status.Kind == TPacsError::InsecurePassword) session_.reset();
}

void TPacsSearchDialog::ShowProgress(const TPacsProgress& progress, const QString& what) {
    Status->setText(
        QStringLiteral("%1 %2 instance(s), %3 KiB").arg(what).arg(progress.Instances).arg(progress.Bytes / 1024));
}

void TPacsSearchDialog::SearchPage(int offset) {
    if (!Connect()) return;
    Busy(QStringLiteral("Searching\u2026"));
    session_->Search(Query(offset),
                     {
                         .Studies =
                             [this, offset](const std::vector<TStudyRow>& rows) {
                                 offset_ = offset;
                                 lastPageFull_ = static_cast<int>(rows.size()) >= PageSize;
                                 Model->SetRows(rows);
                                 const QHeaderView* header = Table->horizontalHeader();
                                 if (header->sortIndicatorSection() != TStudyTableModel::Date ||
                                     header->sortIndicatorOrder() != Qt::DescendingOrder)
                                     Model->sort(header->sortIndicatorSection(), header->sortIndicatorOrder());
                                 if (!rows.empty()) Table->selectRow(0);
                             },
                         .Done =
                             [this, offset](const TPacsStatus& status) {
                                 const int n = Model->rowCount();
                                 Ended(status,
                                       n == 0 ? QStringLiteral("No study found.")
                                              : QStringLiteral("Studies %1 to %2.").arg(offset + 1).arg(offset + n));
                                 if (status.Ok()) LoadSeries();
                             },
                     });
}

void TPacsSearchDialog::LoadSeries() {
    SeriesTable->setRowCount(0);
    const QModelIndexList chosen = Table->selectionModel()->selectedRows();
    // During a search the rows come and go; its end asks again.
    if (chosen.isEmpty() || session_ == nullptr || session_->Busy()) return;
    const QString kept = Status->text();
    Busy(QStringLiteral("Looking up the series\u2026"));
    session_->SearchSeries(Model->Row(chosen.first().row()).StudyUid,
                           {
                               .Series =
                                   [this](const std::vector<TSeriesRow>& rows) {
                                       SeriesTable->setRowCount(static_cast<int>(rows.size()));
                                       for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
                                           const TSeriesRow& row = rows[static_cast<size_t>(r)];
                                           const auto number = [](int32_t n) {
                                               return n < 0 ? QStringLiteral("?") : QString::number(n);
                                           };
                                           const QString texts[] = {number(row.Number), row.Modality, row.Description,
                                                                    number(row.Instances)};
                                           for (int c = 0; c < 4; ++c)
                                               SeriesTable->setItem(r, c, new QTableWidgetItem(texts[c]));
                                           SeriesTable->item(r, 0)->setData(Qt::UserRole, row.SeriesUid);
                                       }
                                   },
                               .Done = [this, kept](const TPacsStatus& status) { Ended(status, kept); },
                           });
}

void TPacsSearchDialog::OpenChosen() {
    const QModelIndexList chosen = Table->selectionModel()->selectedRows();
    if (chosen.isEmpty() || !Connect() || session_->Busy()) return;
    const TStudyRow row = Model->Row(chosen.first().row());
    const QList<QTableWidgetItem*> series = SeriesTable->selectedItems();
    const QString seriesUid =
        series.isEmpty() ? QString() : SeriesTable->item(series.first()->row(), 0)->data(Qt::UserRole).toString();
    auto files = std::make_shared<QStringList>();
    Busy(QStringLiteral("Retrieving\u2026"));
    session_->Retrieve(row.StudyUid, seriesUid,
                       {
                           .Instance = [files](const TRetrievedInstance& instance) { *files << instance.Path; },
                           .Progress = [this](const TPacsProgress& p) { ShowProgress(p, QStringLiteral("Retrieved")); },
                           .Done =
                               [this, files](const TPacsStatus& status) {
                                   Ended(status, QStringLiteral("Retrieved %1 instance(s).").arg(files->size()));
                                   if (status.Ok() && !files->isEmpty() && OpenFiles) OpenFiles(*files);
                               },
                       });
}

void TPacsSearchDialog::Send(const QStringList& files) {
    if (!Connect()) return;
    Busy(QStringLiteral("Sending\u2026"));
    session_->Store(files, {
                               .Progress = [this](const TPacsProgress& p) { ShowProgress(p, QStringLiteral("Sent")); },
                               .Done =
                                   [this, count = files.size()](const TPacsStatus& status) {
                                       Ended(status, QStringLiteral("Sent %1 file(s).").arg(count));
                                   },
                           });
}

} // namespace kelvo
