// The PACS button of the window, and opening what a PACS sends.
#include "app/pacs_open.h"

#include "app/main_window.h"
#include "app/pacs_search.h"
#include "app/pacs_session.h"
#include "pacs/errors.h"
#include "pacs/instance_cache.h"
#include "platform/guarded.h"

#include <QEvent>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

#include <memory>

namespace kelvo {

namespace {

// Keeps the button in the row of the window's buttons, which move down as the window grows.
class TFollowRow : public QObject {
public:
    TFollowRow(QPushButton* button, QPushButton* neighbour) : QObject(button), button_(button), neighbour_(neighbour) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize || event->type() == QEvent::Move)
            button_->move(button_->x(), neighbour_->y());
        return QObject::eventFilter(watched, event);
    }

private:
    QPushButton* button_;
    QPushButton* neighbour_;
};

// The search dialog, modal; a study it retrieves opens once it has closed.
void ShowSearchDialog(TForm1& window) {
    TPacsSearchDialog dialog(&window);
    const QPointer<TForm1> target(&window);
    dialog.OpenFiles = [&dialog, target](const QStringList& files) {
        dialog.accept();
        // After the dialog is gone, so that a question about the shapes shown comes on its own.
        QTimer::singleShot(0, target, [target, files] {
            if (target) OpenRetrieved(*target, files);
        });
    };
    dialog.exec();
}

} // namespace

bool OpenRetrieved(TForm1& window, const QStringList& files) {
    if (files.isEmpty()) return false;
    QString folder;
    try {
        // Beside the instances, where the cache keeps its own lists.
        folder = pacs::LinkFolder(QFileInfo(files.first()).absolutePath() + QStringLiteral("/opened"), files);
    } catch (const pacs::EPacsError& e) {
        // The pictures are there all the same: the first one at least can be shown.
        qWarning("%s", qPrintable(e.Text()));
        return window.OpenFile(files.first());
    }
    return window.OpenFile(folder);
}

void AddPacsButton(TForm1& window) {
    // In the gap between the information and close buttons.
    auto* button = new QPushButton(QStringLiteral("PACS\u2026"), &window);
    button->setObjectName(QStringLiteral("PacsBtn"));
    button->setGeometry(272, window.BitBtn3->y(), 73, window.BitBtn3->height());
    button->setToolTip(QStringLiteral("Search a PACS, open a study from it, send files to it"));
    window.BitBtn3->installEventFilter(new TFollowRow(button, window.BitBtn3));
    QObject::connect(button, &QPushButton::clicked, &window,
                     [&window] { Guarded("pacs dialog", [&window] { ShowSearchDialog(window); }); });
}

void OpenPacsLink(TForm1& window, const TPacsLink& link, std::function<void(const QString&)> showError) {
    const QPointer<TForm1> target(&window);
    const auto fail = [target, showError](const QString& text) {
        if (showError)
            showError(text);
        else if (target)
            QMessageBox::warning(target, QStringLiteral("PACS"), text);
    };
    pacs::TPacsServer server;
    server.Name = link.BaseUrl.host();
    server.BaseUrl = link.BaseUrl;
    auto* progress = new QProgressDialog(QStringLiteral("Retrieving the study from %1\u2026").arg(server.Name),
                                         QStringLiteral("Cancel"), 0, 0, &window);
    progress->setObjectName(QStringLiteral("PacsLinkProgress"));
    progress->setMinimumDuration(0);
    TPacsSession* session = nullptr;
    try {
        session = new TPacsSession(server, &ProgramInstanceCache(), progress);
    } catch (const pacs::EPacsError& e) {
        progress->deleteLater();
        fail(e.Text());
        return;
    }
    auto files = std::make_shared<QStringList>();
    QObject::connect(progress, &QProgressDialog::canceled, session,
                     [session] { Guarded("pacs link cancel", [session] { session->Cancel(); }); });
    session->Retrieve(
        link.StudyUid, {},
        {
            .Instance = [files](const pacs::TRetrievedInstance& instance) { *files << instance.Path; },
            .Progress =
                [progress](const pacs::TPacsProgress& p) {
                    progress->setLabelText(
                        QStringLiteral("Retrieved %1 instance(s), %2 KiB\u2026").arg(p.Instances).arg(p.Bytes / 1024));
                },
            .Done =
                [progress, files, target, fail](const pacs::TPacsStatus& status) {
                    progress->hide();
                    progress->deleteLater(); // with the session, once its handlers have returned
                    if (status.Kind == pacs::TPacsError::Canceled) return;
                    if (!status.Ok()) return fail(status.Text);
                    if (files->isEmpty()) return fail(QStringLiteral("The study has no instance."));
                    if (target) OpenRetrieved(*target, *files);
                },
        });
    progress->show();
}

} // namespace kelvo
