// qelto-grab <X window id> <file.png>: saves what one window of the X display shows, for the
// screenshot script.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: qelto-grab <window id> <file.png>\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const auto window = static_cast<WId>(std::strtoull(argv[1], nullptr, 0));
    const QPixmap picture = QGuiApplication::primaryScreen()->grabWindow(window);
    if (picture.isNull() || !picture.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "qelto-grab: cannot grab window %s into %s\n", argv[1], argv[2]);
        return 1;
    }
    return 0;
}
