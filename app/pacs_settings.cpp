// The PACS list in the settings, its page, and the asking for passwords.
#include "app/pacs_settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QJsonDocument>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSpinBox>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace kelvo {

using pacs::TClearPassword;
using pacs::TPacsServer;

std::vector<TPacsServer> LoadPacsServers() {
    QSettings settings;
    std::vector<TPacsServer> servers;
    const int count = settings.beginReadArray(QStringLiteral("pacs/servers"));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        const QJsonDocument json = QJsonDocument::fromJson(settings.value(QStringLiteral("server")).toByteArray());
        if (json.isObject()) servers.push_back(pacs::ServerFromJson(json.object()));
    }
    settings.endArray();
    return servers;
}

void SavePacsServers(const std::vector<TPacsServer>& servers) {
    QSettings settings;
    settings.remove(QStringLiteral("pacs/servers"));
    settings.beginWriteArray(QStringLiteral("pacs/servers"), static_cast<int>(servers.size()));
    for (int i = 0; i < static_cast<int>(servers.size()); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(
            QStringLiteral("server"),
            QJsonDocument(pacs::ServerToJson(servers[static_cast<size_t>(i)])).toJson(QJsonDocument::Compact));
    }
    settings.endArray();
}

bool UsesDicomWeb(const TPacsServer& server) { return !server.BaseUrl.isEmpty(); }

QString PacsServerProblem(const TPacsServer& server) {
    // DICOM's AE titles: 1 to 16 characters of the default repertoire, no backslash.
    static const QRegularExpression ae(QStringLiteral("^[\\x20-\\x5b\\x5d-\\x7e]{1,16}$"));
    if (server.Name.trimmed().isEmpty()) return QStringLiteral("The server needs a name.");
    if (UsesDicomWeb(server)) {
        const QString scheme = server.BaseUrl.scheme();
        if (!server.BaseUrl.isValid() || (scheme != "http" && scheme != "https") || server.BaseUrl.host().isEmpty())
            return QStringLiteral("The DICOMweb address must be an http or https URL with a host.");
        return {};
    }
    const pacs::TDicomNode& node = server.Node;
    if (!ae.match(node.AeTitle.trimmed()).hasMatch() || !ae.match(node.OurAeTitle.trimmed()).hasMatch())
        return QStringLiteral("AE titles have 1 to 16 characters.");
    if (node.Host.trimmed().isEmpty() || node.Port == 0)
        return QStringLiteral("The DICOM node needs a host and a port.");
    return {};
}

bool PreparePassword(TPacsServer& server, QWidget* parent, const TPasswordPrompts& prompts) {
    if (!UsesDicomWeb(server) || server.User.isEmpty() || !server.Password.isEmpty()) return true;
    if (server.BaseUrl.scheme() == "http" && server.ClearPassword != TClearPassword::SendConfirmed) {
        const QString question =
            QStringLiteral("%1 uses plain http: the password would travel unencrypted, readable by "
                           "anyone on the way. Send it anyway?")
                .arg(server.BaseUrl.host());
        const bool yes = prompts.ConfirmClear ? prompts.ConfirmClear(question)
                                              : QMessageBox::warning(parent, QStringLiteral("PACS"), question,
                                                                     QMessageBox::Yes | QMessageBox::No,
                                                                     QMessageBox::No) == QMessageBox::Yes;
        if (!yes) return false;
        // For this session of the dialog only; the settings keep what the user ticked.
        server.ClearPassword = TClearPassword::SendConfirmed;
    }
    const QString prompt = QStringLiteral("Password for %1 at %2:").arg(server.User, server.BaseUrl.host());
    std::optional<QString> typed;
    if (prompts.AskPassword) {
        typed = prompts.AskPassword(prompt);
    } else {
        QInputDialog dialog(parent);
        dialog.setObjectName(QStringLiteral("PasswordDialog"));
        dialog.setWindowTitle(QStringLiteral("PACS"));
        dialog.setLabelText(prompt);
        dialog.setTextEchoMode(QLineEdit::Password);
        if (dialog.exec() == QDialog::Accepted) typed = dialog.textValue();
    }
    if (!typed) return false;
    server.Password = *typed;
    typed->fill(QChar(0));
    return true;
}

void WipePassword(TPacsServer& server) {
    server.Password.fill(QChar(0));
    server.Password.clear();
}

TPacsSettingsPage::TPacsSettingsPage(QWidget* parent) : QDialog(parent), servers_(LoadPacsServers()) {
    setObjectName(QStringLiteral("PacsSettings"));
    setWindowTitle(QStringLiteral("PACS servers"));
    List = new QListWidget(this);
    List->setObjectName(QStringLiteral("PacsList"));
    auto* add = new QPushButton(QStringLiteral("&Add"), this);
    add->setObjectName(QStringLiteral("PacsAdd"));
    auto* remove = new QPushButton(QStringLiteral("&Remove"), this);
    remove->setObjectName(QStringLiteral("PacsRemove"));

    NameEdit = new QLineEdit(this);
    KindBox = new QComboBox(this);
    KindBox->addItems({QStringLiteral("DICOMweb"), QStringLiteral("DICOM node")});
    UrlEdit = new QLineEdit(this);
    UrlEdit->setPlaceholderText(QStringLiteral("https://pacs.example/dicom-web/"));
    UserEdit = new QLineEdit(this);
    UserEdit->setPlaceholderText(QStringLiteral("none; the password is asked for when needed"));
    ClearBox = new QCheckBox(QStringLiteral("Send the password over plain http (unencrypted)"), this);
    AeEdit = new QLineEdit(this);
    HostEdit = new QLineEdit(this);
    PortBox = new QSpinBox(this);
    PortBox->setRange(1, 65535);
    OurAeEdit = new QLineEdit(this);
    OurPortBox = new QSpinBox(this);
    OurPortBox->setRange(0, 65535);
    OurPortBox->setSpecialValueText(QStringLiteral("none: retrieve by C-GET"));

    auto* web = new QWidget(this);
    auto* webForm = new QFormLayout(web);
    webForm->addRow(QStringLiteral("&URL:"), UrlEdit);
    webForm->addRow(QStringLiteral("U&ser:"), UserEdit);
    webForm->addRow(ClearBox);
    auto* node = new QWidget(this);
    auto* nodeForm = new QFormLayout(node);
    nodeForm->addRow(QStringLiteral("AE &title:"), AeEdit);
    nodeForm->addRow(QStringLiteral("&Host:"), HostEdit);
    nodeForm->addRow(QStringLiteral("&Port:"), PortBox);
    nodeForm->addRow(QStringLiteral("&Our AE title:"), OurAeEdit);
    nodeForm->addRow(QStringLiteral("Our p&ort (C-MOVE):"), OurPortBox);
    kindPages_ = new QStackedWidget(this);
    kindPages_->addWidget(web);
    kindPages_->addWidget(node);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("&Name:"), NameEdit);
    form->addRow(QStringLiteral("&Kind:"), KindBox);
    auto* right = new QVBoxLayout;
    right->addLayout(form);
    right->addWidget(kindPages_);
    right->addStretch();
    auto* left = new QVBoxLayout;
    left->addWidget(List);
    auto* listButtons = new QHBoxLayout;
    listButtons->addWidget(add);
    listButtons->addWidget(remove);
    left->addLayout(listButtons);
    auto* top = new QHBoxLayout;
    top->addLayout(left);
    top->addLayout(right, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    auto* all = new QVBoxLayout(this);
    all->addLayout(top);
    all->addWidget(buttons);

    for (const TPacsServer& server : servers_) List->addItem(server.Name);
    connect(List, &QListWidget::currentRowChanged, this, [this](int row) { Select(row); });
    connect(KindBox, &QComboBox::currentIndexChanged, kindPages_, &QStackedWidget::setCurrentIndex);
    connect(add, &QPushButton::clicked, this, [this] { Add(); });
    connect(remove, &QPushButton::clicked, this, [this] { Remove(); });
    connect(ClearBox, &QCheckBox::clicked, this, [this](bool on) {
        // A standing permission deserves a second look.
        if (on && QMessageBox::warning(this, windowTitle(),
                                       QStringLiteral("Anyone on the network path can read a password sent over plain "
                                                      "http. Allow it for this server?"),
                                       QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
            ClearBox->setChecked(false);
    });
    connect(buttons, &QDialogButtonBox::accepted, this, &TPacsSettingsPage::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TPacsSettingsPage::reject);
    if (!servers_.empty())
        List->setCurrentRow(0);
    else
        Select(-1);
}

void TPacsSettingsPage::Select(int row) {
    Take();
    current_ = row;
    const bool any = row >= 0 && row < static_cast<int>(servers_.size());
    for (QWidget* w : std::initializer_list<QWidget*>{NameEdit, KindBox, kindPages_}) w->setEnabled(any);
    const TPacsServer server = any ? servers_[static_cast<size_t>(row)] : TPacsServer{};
    loading_ = true;
    NameEdit->setText(server.Name);
    KindBox->setCurrentIndex(any && !UsesDicomWeb(server) && !server.Node.Host.isEmpty() ? 1 : 0);
    UrlEdit->setText(server.BaseUrl.toString());
    UserEdit->setText(server.User);
    ClearBox->setChecked(server.ClearPassword == TClearPassword::SendConfirmed);
    AeEdit->setText(server.Node.AeTitle);
    HostEdit->setText(server.Node.Host);
    PortBox->setValue(server.Node.Port);
    OurAeEdit->setText(server.Node.OurAeTitle);
    OurPortBox->setValue(server.Node.OurPort);
    loading_ = false;
}

void TPacsSettingsPage::Take() {
    if (loading_ || current_ < 0 || current_ >= static_cast<int>(servers_.size())) return;
    TPacsServer& server = servers_[static_cast<size_t>(current_)];
    server.Name = NameEdit->text().trimmed();
    const bool web = KindBox->currentIndex() == 0;
    server.BaseUrl = web ? QUrl(UrlEdit->text().trimmed()) : QUrl();
    server.User = web ? UserEdit->text() : QString();
    server.ClearPassword = web && ClearBox->isChecked() ? TClearPassword::SendConfirmed : TClearPassword::Refuse;
    server.Node = {AeEdit->text().trimmed(), HostEdit->text().trimmed(), static_cast<uint16_t>(PortBox->value()),
                   OurAeEdit->text().trimmed(), static_cast<uint16_t>(OurPortBox->value())};
    List->item(current_)->setText(server.Name);
}

void TPacsSettingsPage::Add() {
    Take();
    TPacsServer server;
    server.Name = QStringLiteral("PACS %1").arg(servers_.size() + 1);
    servers_.push_back(server);
    List->addItem(server.Name);
    List->setCurrentRow(List->count() - 1);
}

void TPacsSettingsPage::Remove() {
    if (current_ < 0 || current_ >= static_cast<int>(servers_.size())) return;
    const int row = current_;
    current_ = -1; // the fields belong to the server going
    servers_.erase(servers_.begin() + row);
    delete List->takeItem(row);
    Select(List->currentRow());
}

void TPacsSettingsPage::accept() {
    Take();
    for (size_t i = 0; i < servers_.size(); ++i) {
        const QString problem = PacsServerProblem(servers_[i]);
        if (problem.isEmpty()) continue;
        List->setCurrentRow(static_cast<int>(i));
        if (ShowError)
            ShowError(problem);
        else
            QMessageBox::warning(this, windowTitle(), problem);
        return;
    }
    SavePacsServers(servers_);
    QDialog::accept();
}

} // namespace kelvo
