// The program's start-up with a file, in a process of its own: Qt's main thread stays the program's main thread however long the loading thread lives, the about window is there before the loop and whole after the first frame, and the measurement list gets its contents only then.
#include "app/about_box.h"
#include "app/main_window.h"
#include "app/measurement_panel.h"
#include "app/start_up.h"
#include "tests/support/sample_files.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace kelvo {
namespace {

QStringList* messages = nullptr;

void Collect(QtMsgType, const QMessageLogContext&, const QString& text) { messages->append(text); }

// The loading thread is started before the application object, and the start-up is
// held there (LoadingStarted) long enough for it to use Qt's files first, unless it
// waits for the application object as it should. The file it is given is a pipe, which
// it refuses without waiting in open() for a writer.
TEST(StartUp, TheLoadingThreadNeverBecomesQtsMainThread) {
    char dir[] = "/tmp/kelvo-start-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/slow.dcm";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Lets a loader that waits in open() go on (with an empty file), if one does.
    std::thread writer([&fifo] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    });
    QStringList seen;
    messages = &seen;
    qInstallMessageHandler(Collect);
    TStartHooks hooks;
    hooks.LoadingStarted = [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };
    QStringList errors;
    QString shown = QStringLiteral("not painted");
    bool aboutBeforeLoop = false;
    bool aboutFilledAfterFirstFrame = false;
    bool listFilledBeforeFirstFrame = true;
    QSize pictureUnderError;
    bool listFilledAfterFirstFrame = false;
    hooks.WindowReady = [&](TForm1& form) {
        form.ShowError = [&errors, &pictureUnderError, &form](const QString& m) {
            errors << m;
            pictureUnderError = form.MyCAD1->BackGround().size();
        };
        aboutBeforeLoop = qobject_cast<TAboutBox*>(form.AboutBox()) != nullptr;
        listFilledBeforeFirstFrame = form.MeasurementPanel->HasContent();
    };
    hooks.FirstFrame = [&](TForm1& form) {
        shown = form.OpenedFile();
        // The about window's and the list's contents are made right after the first frame.
        QTimer::singleShot(0, [&] {
            const auto* about = qobject_cast<TAboutBox*>(form.AboutBox());
            aboutFilledAfterFirstFrame = about != nullptr && about->HasContent();
            listFilledAfterFirstFrame = form.MeasurementPanel->HasContent();
            QCoreApplication::exit(0);
        });
    };
    char name[] = "kelvo";
    char* argv[] = {name, nullptr};
    int argc = 1;
    const int status = RunWindows(argc, argv, QString::fromStdString(fifo), QStringLiteral("test"),
                                  QStringLiteral("org.example.Kelvo"), hooks);
    writer.join();
    qInstallMessageHandler(nullptr);
    ::unlink(fifo.c_str());
    ::rmdir(dir);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(aboutBeforeLoop);
    EXPECT_TRUE(aboutFilledAfterFirstFrame);
    EXPECT_FALSE(listFilledBeforeFirstFrame);
    EXPECT_TRUE(listFilledAfterFirstFrame);
    // The pipe is explained over the built-in picture, which stays.
    EXPECT_EQ(shown, QString());
    EXPECT_EQ(pictureUnderError, QSize(512, 512));
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(QLatin1String("not a regular file"))) << errors[0].toStdString();
    for (const QString& m : seen) {
        EXPECT_FALSE(m.contains(QLatin1String("main() thread"))) << m.toStdString();
    }
}

// A file shown at start leaves no built-in picture waiting: a file that fails after
// it is explained over the picture that is shown, which stays.
TEST(StartUp, APictureShownAtStartStaysWhenALaterFileFails) {
    const QString ct = test::PydicomFile("CT_small.dcm");
    QStringList errors;
    QString opened;
    QSize shown;
    TStartHooks hooks;
    hooks.WindowReady = [&errors](TForm1& form) { form.ShowError = [&errors](const QString& m) { errors << m; }; };
    hooks.FirstFrame = [&](TForm1& form) {
        EXPECT_FALSE(form.OpenFile(QStringLiteral("/nonexistent/kelvo.dcm")));
        opened = form.OpenedFile();
        shown = form.MyCAD1->BackGround().size();
        QCoreApplication::exit(0);
    };
    char name[] = "kelvo";
    char* argv[] = {name, nullptr};
    int argc = 1;
    EXPECT_EQ(RunWindows(argc, argv, ct, QStringLiteral("test"), QStringLiteral("org.example.Kelvo"), hooks), 0);
    EXPECT_EQ(opened, ct);
    EXPECT_EQ(shown, QSize(128, 128));
    EXPECT_EQ(errors.size(), 1);
}

} // namespace
} // namespace kelvo
