// The PACS the user has set up: kept in the settings without their passwords, edited on a small page; passwords are asked for when a request needs one and kept in memory only.
#pragma once

#include "pacs/server.h"

#include <QDialog>

#include <functional>
#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QSpinBox;
class QStackedWidget;

namespace kelvo {

// The servers kept in QSettings (group "pacs"), in the user's order. No password is
// ever among them: ServerToJson leaves it out.
std::vector<pacs::TPacsServer> LoadPacsServers();
void SavePacsServers(const std::vector<pacs::TPacsServer>& servers);

// A server is reached over DICOMweb when it has a URL, else at its DICOM node.
bool UsesDicomWeb(const pacs::TPacsServer& server);
// Why the server cannot be used as described; empty when it can.
QString PacsServerProblem(const pacs::TPacsServer& server);

// How the user is asked; empty members use modal Qt dialogs.
struct TPasswordPrompts {
    std::function<std::optional<QString>(const QString& prompt)> AskPassword;
    std::function<bool(const QString& question)> ConfirmClear;
};

// Makes `server` ready to send its credentials, as the feedback mail's password is:
// asked for when the server has a user and no password yet, held in memory only.
// Over plain http the password would travel readable by anyone on the path, so the
// user confirms that first (the settings may hold a standing confirmation). False
// when the user canceled or declined: nothing is to be sent.
bool PreparePassword(pacs::TPacsServer& server, QWidget* parent, const TPasswordPrompts& prompts = {});
// Overwrites a password in memory before it is dropped.
void WipePassword(pacs::TPacsServer& server);

// The page listing the servers: add, remove, edit; OK saves them (without passwords).
class TPacsSettingsPage : public QDialog {
public:
    explicit TPacsSettingsPage(QWidget* parent = nullptr);

    QListWidget* List = nullptr;
    QLineEdit* NameEdit = nullptr;
    QComboBox* KindBox = nullptr; // DICOMweb or DICOM node
    QLineEdit* UrlEdit = nullptr;
    QLineEdit* UserEdit = nullptr;
    QCheckBox* ClearBox = nullptr; // send the password over plain http
    QLineEdit* AeEdit = nullptr;
    QLineEdit* HostEdit = nullptr;
    QSpinBox* PortBox = nullptr;
    QLineEdit* OurAeEdit = nullptr;
    QSpinBox* OurPortBox = nullptr; // 0: C-GET; else C-MOVE to our listener there
    // Tells why a server cannot be kept; empty = a message box.
    std::function<void(const QString&)> ShowError;

    const std::vector<pacs::TPacsServer>& Servers() const { return servers_; }
    void accept() override;

private:
    void Select(int row);
    void Take(); // the fields into the selected server
    void Add();
    void Remove();

    std::vector<pacs::TPacsServer> servers_;
    QStackedWidget* kindPages_ = nullptr;
    int current_ = -1;
    bool loading_ = false;
};

} // namespace kelvo
