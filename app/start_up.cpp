// Program start: the application object, the windows, the picture named on the command line, the message loop.
#include "app/start_up.h"

#include "app/about_box.h"
#include "app/main_window.h"
#include "app/picture_file.h"
#include "app/study_view.h"
#include "imaging/loader.h"
#include "platform/font_warm_up.h"
#include "platform/scope_exit.h"
#include "platform/start_gate.h"

#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QTimer>

#include <future>
#include <vector>

namespace kelvo {

namespace {

// Runs the actions once, in order, after the first paint of the canvas has been done.
class TFirstFrameSpy : public QObject {
public:
    explicit TFirstFrameSpy(std::vector<std::function<void()>> actions) : actions_(std::move(actions)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !fired_) {
            fired_ = true;
            // Queued, so that the frame is finished and flushed first.
            for (auto& action : actions_) QTimer::singleShot(0, this, std::move(action));
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::vector<std::function<void()>> actions_;
    bool fired_ = false;
};

} // namespace

int RunWindows(int& argc, char** argv, const QString& file, const QString& version, const QString& appId,
               const TStartHooks& hooks) {
    // Before any thread exists, since it sets the environment; and whether or not a file
    // is named here, so that a file opened later reads with the same dictionary.
    imaging::PreferReaderDictionary();
    // The loading thread is started now, so that its own start (which can take
    // milliseconds) overlaps the making of the application object; but it begins
    // only once that object exists, for two reasons. Qt takes the first thread that
    // uses it for the main thread, and the loader uses Qt's files. And the loader's
    // first step is to load the DICOM module, which holds the dynamic linker's lock
    // while DCMTK is linked: begun earlier, it would hold up the window system's
    // plugin. From then on, loading DCMTK, reading its dictionary and decoding overlap
    // with building and showing the windows.
    TStartGate applicationMade;
    std::future<imaging::TPicture> loading;
    // Whichever way this function is left, the loader is let through: the future's
    // destructor waits for it.
    const ScopeExit letLoaderThrough([&applicationMade] { applicationMade.Open(); });
    // A folder or DICOMDIR is indexed by the window, in the background, once it is shown.
    const bool study = !file.isEmpty() && TStudyView::IsStudyPath(file);
    if (!file.isEmpty() && !study) {
        loading = LoadPictureFileAsync(file, [&applicationMade] { applicationMade.Wait(); });
        if (hooks.LoadingStarted) {
            hooks.LoadingStarted();
        }
    }
    // Fontconfig reads its configuration while the application object is made.
    TFontWarmUp fonts;
    // Qt takes the options it knows (-platform, -display...) out of argv here.
    QApplication app(argc, argv);
    applicationMade.Open();
    // A loader still at work when this function is left (by an exception) is waited
    // for while the application object it uses still exists.
    const ScopeExit finishLoadingFirst([&loading] {
        if (loading.valid()) loading.wait();
    });
    QApplication::setApplicationName(QStringLiteral("kelvo"));
    QApplication::setApplicationVersion(version);
    // Lets Wayland desktops and task bars match the window with the installed
    // launcher, and so with its name and icon.
    QGuiApplication::setDesktopFileName(appId);
    QApplication::setWindowIcon(QIcon::fromTheme(appId));
    // Created first, so it is the application's main window; closing it ends the loop.
    // The hidden measurement list gets its contents after the first frame, and the
    // built-in picture is made only if the named file cannot be shown.
    TForm1 form1{TForm1::TStartUp{.PictureFollows = loading.valid(), .WaitForFonts = [&fonts] { fonts.Wait(); }}};
    // The about window is created next, hidden; the information button shows it modally.
    // Its contents wait for the first frame (or for being shown, should that come first).
    TAboutBox aboutBox{TAboutBox::TDeferContent{}};
    form1.SetAboutBox(&aboutBox);
    if (hooks.WindowReady) {
        hooks.WindowReady(form1);
    }
    std::vector<std::function<void()>> afterFirstFrame;
    if (hooks.FirstFrame) {
        afterFirstFrame.push_back([&form1, &hooks] { hooks.FirstFrame(form1); });
    }
    afterFirstFrame.push_back([&form1] { form1.EnsureContent(); });
    afterFirstFrame.push_back([&aboutBox] { aboutBox.EnsureContent(); });
    TFirstFrameSpy spy(std::move(afterFirstFrame));
    form1.MyCAD1->installEventFilter(&spy);
    form1.show();
    // A file named on the command line is shown instead of the built-in picture; one
    // that cannot be opened is explained over the built-in picture.
    if (loading.valid()) {
        form1.OpenFile(file, std::move(loading));
    } else if (study) {
        form1.OpenFile(file);
    }
    return QApplication::exec();
}

} // namespace kelvo
