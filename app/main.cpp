// Program start: the application object, the main window, the message loop.
#include "app/about_box.h"
#include "app/main_window.h"

#include <QApplication>

int main(int argc, char** argv) {
    // Qt takes the options it knows (-platform, -display...); what remains may
    // name a picture file.
    QApplication app(argc, argv);
    // Created first, so it is the application's main window; closing it ends the loop.
    kelvo::TForm1 form1;
    // The about window is created next, hidden; the information button shows it modally.
    kelvo::TAboutBox aboutBox;
    form1.SetAboutBox(&aboutBox);
    form1.show();
    // A file named on the command line is opened over the built-in picture.
    if (const QStringList args = QApplication::arguments(); args.size() > 1) {
        form1.OpenFile(args.at(1));
    }
    return QApplication::exec();
}
