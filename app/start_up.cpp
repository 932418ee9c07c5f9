// Program start: the application object, the windows, the picture named on the command line, the message loop.
#include "app/start_up.h"

#include "app/about_box.h"
#include "app/main_window.h"
#include "imaging/loader.h"

#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QTimer>

#include <future>

namespace kelvo {

namespace {

// Calls the hook once, after the first paint of the canvas has been done.
class TFirstFrameSpy : public QObject {
public:
    TFirstFrameSpy(TForm1& form, std::function<void(TForm1&)> hook) : form_(form), hook_(std::move(hook)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !fired_) {
            fired_ = true;
            // Queued, so that the frame is finished and flushed first.
            QTimer::singleShot(0, this, [this] { hook_(form_); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    TForm1& form_;
    std::function<void(TForm1&)> hook_;
    bool fired_ = false;
};

} // namespace

int RunWindows(int& argc, char** argv, const QString& file, const QString& version, const QString& appId,
               const TStartHooks& hooks) {
    // Before any thread exists: it sets the environment.
    if (!file.isEmpty()) {
        imaging::PreferStandardDictionary();
    }
    // Qt takes the options it knows (-platform, -display...) out of argv here.
    QApplication app(argc, argv);
    // Loading starts once the application object exists, for two reasons. Qt takes
    // the first thread that uses it for the main thread, and the loader uses Qt's
    // files. And the loader's first step is to load the DICOM module, which holds the
    // dynamic linker's lock while DCMTK is linked: started earlier, it would hold up
    // the window system's plugin here. From now on, loading DCMTK, reading its
    // dictionary and decoding overlap with building and showing the windows.
    std::future<imaging::TPicture> loading;
    if (!file.isEmpty()) {
        loading = imaging::LoadPictureAsync(file);
        if (hooks.LoadingStarted) {
            hooks.LoadingStarted();
        }
    }
    QApplication::setApplicationName(QStringLiteral("kelvo"));
    QApplication::setApplicationVersion(version);
    // Lets Wayland desktops and task bars match the window with the installed
    // launcher, and so with its name and icon.
    QGuiApplication::setDesktopFileName(appId);
    QApplication::setWindowIcon(QIcon::fromTheme(appId));
    // Created first, so it is the application's main window; closing it ends the loop.
    TForm1 form1;
    // The about window is created next, hidden; the information button shows it modally.
    TAboutBox aboutBox;
    form1.SetAboutBox(&aboutBox);
    if (hooks.WindowReady) {
        hooks.WindowReady(form1);
    }
    TFirstFrameSpy spy(form1, hooks.FirstFrame);
    if (hooks.FirstFrame) {
        form1.MyCAD1->installEventFilter(&spy);
    }
    form1.show();
    // A file named on the command line is opened over the built-in picture; one
    // that cannot be opened is explained, and the built-in picture stays.
    if (loading.valid()) {
        form1.OpenFile(file, std::move(loading));
    }
    return QApplication::exec();
}

} // namespace kelvo
