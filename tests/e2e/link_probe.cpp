// Opens one link through the link launcher on a real display, so that an end-to-end
// test can see what reaches the desktop opener. Usage: link_probe <type 0-8> <url>.
// Prints "opened" or "refused"; exits 0 either way, 2 on bad usage.
#include "app/url_launcher.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 3) return 2;
    const int type = std::atoi(argv[1]);
    if (type < 0 || type > 8) return 2;
    kelvo::TURL link;
    link.SetURLType(static_cast<kelvo::TURLType>(type));
    link.SetURL(QString::fromLocal8Bit(argv[2]));
    std::puts(link.Execute() ? "opened" : "refused");
    return 0;
}
