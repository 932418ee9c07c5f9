// Program start: the application object, the main window, the message loop.
#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QLabel placeholder("Kelvo");
    placeholder.resize(731, 646);
    placeholder.show();
    return QApplication::exec();
}
