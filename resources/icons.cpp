// Draws the pictures of the inventory tree, one 23 × 23 PNG per image key, into a folder:
//   qelto-icons <folder> <key>…
//   qelto-icons --size N <folder> <key>…   the same pictures drawn N × N (the program's icon in
//                                          the desktop's icon theme is k1 at the usual sizes)
// All pictures share one outline colour, one line width and a small palette, so that the tree
// reads as one set. Nothing here draws text, so no font is needed at build time.

#include <QBrush>
#include <QColor>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRectF>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

namespace {

const QColor kInk(0x2b, 0x3a, 0x4a);
const QColor kScreen(0x4a, 0x90, 0xd9);
const QColor kMetal(0xc9, 0xd1, 0xd9);
const QColor kBoard(0x3f, 0x9e, 0x5a);
const QColor kChip(0x55, 0x5f, 0x6b);
const QColor kGold(0xe8, 0xb9, 0x3c);
const QColor kRed(0xd6, 0x45, 0x3d);
const QColor kPaper(0xfa, 0xfa, 0xf5);
const QColor kSkin(0xf2, 0xc4, 0x9b);

void pen(QPainter& p, const QColor& c = kInk, qreal width = 1.0) {
    p.setPen(QPen(c, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
}

// A rectangle on pixel centres, so that one-pixel outlines stay sharp.
void box(QPainter& p, int x, int y, int w, int h, const QColor& fill, qreal radius = 0) {
    pen(p);
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(x + 0.5, y + 0.5, w, h), radius, radius);
}

void monitor(QPainter& p, const QColor& screen) {
    box(p, 1, 2, 20, 14, kMetal, 1.5);
    pen(p, screen);
    p.setBrush(screen);
    p.drawRect(QRectF(3.5, 4.5, 15, 9));
    box(p, 9, 16, 4, 3, kMetal);
    box(p, 5, 19, 12, 2, kMetal, 1);
}

// A desktop computer: a monitor with the tower beside it.
void computer(QPainter& p) {
    box(p, 0, 3, 15, 11, kMetal, 1.5);
    pen(p, kScreen);
    p.setBrush(kScreen);
    p.drawRect(QRectF(2.5, 5.5, 10, 6));
    box(p, 6, 14, 3, 3, kMetal);
    box(p, 2, 17, 11, 2, kMetal, 1);
    box(p, 16, 2, 6, 18, kChip, 1);
    pen(p, kMetal);
    p.drawLine(QPointF(18, 5.5), QPointF(20, 5.5));
    p.drawLine(QPointF(18, 7.5), QPointF(20, 7.5));
    p.setPen(Qt::NoPen);
    p.setBrush(kBoard);
    p.drawRect(QRectF(18.5, 15.5, 1.5, 1.5));
}

void speaker(QPainter& p) {
    pen(p);
    p.setBrush(kChip);
    p.drawPolygon(
        QPolygonF({{3.5, 8.5}, {7.5, 8.5}, {12.5, 3.5}, {12.5, 19.5}, {7.5, 14.5}, {3.5, 14.5}}));
    p.setBrush(Qt::NoBrush);
    pen(p, kScreen, 1.5);
    p.drawArc(QRectF(9, 7, 7, 9), -50 * 16, 100 * 16);
    p.drawArc(QRectF(9, 4, 11, 15), -50 * 16, 100 * 16);
}

void chip(QPainter& p, const QColor& body, int inset) {
    pen(p, kInk);
    for (int i = 0; i < 4; ++i) {
        const qreal c = 6.5 + i * 3.3;
        p.drawLine(QPointF(c, 1), QPointF(c, 4));
        p.drawLine(QPointF(c, 18), QPointF(c, 21));
        p.drawLine(QPointF(1, c), QPointF(4, c));
        p.drawLine(QPointF(18, c), QPointF(21, c));
    }
    box(p, 4, 4, 14, 14, body, 1.5);
    box(p, 4 + inset, 4 + inset, 14 - 2 * inset, 14 - 2 * inset, kMetal, 1);
}

void bios(QPainter& p) {
    box(p, 3, 5, 16, 12, kChip, 1.5);
    pen(p, kGold);
    for (int x = 5; x <= 17; x += 3) {
        p.drawLine(QPointF(x + 0.5, 2), QPointF(x + 0.5, 4.5));
        p.drawLine(QPointF(x + 0.5, 17.5), QPointF(x + 0.5, 20));
    }
    p.setBrush(kGold);
    pen(p, kGold);
    p.drawEllipse(QRectF(5.5, 7.5, 3, 3));
    pen(p, kMetal, 1.5);
    p.drawLine(QPointF(10.5, 11.5), QPointF(16.5, 11.5));
    p.drawLine(QPointF(10.5, 14.5), QPointF(14.5, 14.5));
}

void mouse(QPainter& p) {
    pen(p);
    p.setBrush(kMetal);
    p.drawRoundedRect(QRectF(5.5, 5.5, 12, 16), 6, 6);
    p.drawLine(QPointF(5.5, 11.5), QPointF(17.5, 11.5));
    p.drawLine(QPointF(11.5, 5.5), QPointF(11.5, 11.5));
    p.setBrush(Qt::NoBrush);
    pen(p, kScreen, 1.5);
    QPainterPath cord(QPointF(11.5, 5.5));
    cord.cubicTo(QPointF(11.5, 1.5), QPointF(16.5, 3.5), QPointF(19.5, 1.0));
    p.drawPath(cord);
}

void person(QPainter& p, const QColor& shirt, qreal dx = 0, qreal scale = 1) {
    pen(p);
    p.setBrush(shirt);
    QPainterPath body;
    body.moveTo(dx + 3.5 * scale, 21.5);
    body.cubicTo(QPointF(dx + 3.5 * scale, 14.5), QPointF(dx + 7.5 * scale, 12.5),
                 QPointF(dx + 11.5 * scale, 12.5));
    body.cubicTo(QPointF(dx + 15.5 * scale, 12.5), QPointF(dx + 19.5 * scale, 14.5),
                 QPointF(dx + 19.5 * scale, 21.5));
    body.closeSubpath();
    p.drawPath(body);
    p.setBrush(kSkin);
    p.drawEllipse(QRectF(dx + 7.5 * scale, 2.5 + (1 - scale) * 10, 8 * scale, 8 * scale));
}

void network(QPainter& p) {
    pen(p, kInk, 1.5);
    p.drawLine(QPointF(11.5, 8), QPointF(11.5, 12));
    p.drawLine(QPointF(4.5, 12.5), QPointF(18.5, 12.5));
    p.drawLine(QPointF(4.5, 12.5), QPointF(4.5, 15));
    p.drawLine(QPointF(18.5, 12.5), QPointF(18.5, 15));
    box(p, 7, 1, 9, 7, kScreen, 1);
    box(p, 0, 15, 9, 7, kBoard, 1);
    box(p, 14, 15, 9, 7, kBoard, 1);
}

void keyboard(QPainter& p) {
    box(p, 0, 6, 22, 11, kMetal, 2);
    pen(p, kInk);
    p.setBrush(kPaper);
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 6; ++col)
            p.drawRect(QRectF(2.5 + col * 3 + row, 8.5 + row * 3, 2, 2));
    p.drawRect(QRectF(5.5, 14.5, 11, 1));
}

// The operating system: a window with a command prompt in it.
void windowPicture(QPainter& p) {
    box(p, 1, 2, 20, 18, kChip, 1.5);
    pen(p);
    p.setBrush(kScreen);
    p.drawRoundedRect(QRectF(1.5, 2.5, 20, 5), 1.5, 1.5);
    pen(p, kPaper, 1.5);
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({{5, 10.5}, {8.5, 13.5}, {5, 16.5}}));
    p.drawLine(QPointF(10.5, 16.5), QPointF(16, 16.5));
}

void videoCard(QPainter& p) {
    box(p, 1, 4, 21, 13, kBoard, 1);
    pen(p, kGold, 2);
    p.drawLine(QPointF(5, 19), QPointF(18, 19));
    pen(p);
    p.setBrush(kChip);
    p.drawEllipse(QRectF(4.5, 6.5, 9, 9));
    pen(p, kMetal);
    p.drawLine(QPointF(9, 7.5), QPointF(9, 14.5));
    p.drawLine(QPointF(5.5, 11), QPointF(12.5, 11));
    box(p, 15, 7, 5, 7, kMetal);
}

void memory(QPainter& p) {
    box(p, 0, 6, 22, 10, kBoard, 1);
    for (int i = 0; i < 4; ++i) box(p, 2 + i * 5, 8, 3, 5, kChip);
    pen(p, kGold, 1.5);
    for (int x = 2; x <= 20; x += 2) p.drawLine(QPointF(x + 0.5, 16.5), QPointF(x + 0.5, 19));
}

void motherboard(QPainter& p) {
    box(p, 1, 1, 20, 20, kBoard, 1);
    box(p, 4, 4, 7, 7, kChip);
    for (int i = 0; i < 3; ++i) box(p, 13 + i * 2, 4, 1, 14, kMetal);
    box(p, 4, 14, 7, 4, kGold);
}

void disk(QPainter& p) {
    box(p, 1, 3, 20, 16, kMetal, 2);
    pen(p);
    p.setBrush(kPaper);
    p.drawEllipse(QRectF(3.5, 4.5, 13, 13));
    p.setBrush(kChip);
    p.drawEllipse(QRectF(8.5, 9.5, 3, 3));
    pen(p, kChip, 1.5);
    p.drawLine(QPointF(18, 6), QPointF(12.5, 13.5));
    p.setPen(Qt::NoPen);
    p.setBrush(kBoard);
    p.drawRect(QRectF(17.5, 15.5, 2, 2));
}

void disc(QPainter& p) {
    pen(p);
    QRadialGradient shine(QPointF(8, 8), 12);
    shine.setColorAt(0, kPaper);
    shine.setColorAt(1, QColor(0xb8, 0xc6, 0xe8));
    p.setBrush(shine);
    p.drawEllipse(QRectF(1.5, 1.5, 20, 20));
    p.setBrush(kMetal);
    p.drawEllipse(QRectF(8.5, 8.5, 6, 6));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(10.5, 10.5, 2, 2));
}

void usb(QPainter& p) {
    pen(p, kInk, 1.5);
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(11.5, 3), QPointF(11.5, 18));
    p.drawLine(QPointF(11.5, 14), QPointF(5.5, 9));
    p.drawLine(QPointF(11.5, 12), QPointF(17.5, 7));
    p.setBrush(kInk);
    p.drawPolygon(QPolygonF({{11.5, 1}, {9, 5}, {14, 5}}));
    p.drawEllipse(QRectF(9.5, 17.5, 4, 4));
    p.setBrush(kScreen);
    p.drawEllipse(QRectF(3.5, 7, 4, 4));
    p.drawRect(QRectF(15.5, 4, 4, 4));
}

void workgroup(QPainter& p) {
    person(p, kMetal, 6, 0.75);
    person(p, kScreen, -3, 0.75);
}

void printer(QPainter& p) {
    box(p, 6, 1, 11, 7, kPaper);
    box(p, 1, 7, 21, 9, kMetal, 2);
    box(p, 5, 13, 13, 8, kPaper);
    pen(p, kChip);
    p.drawLine(QPointF(7.5, 16.5), QPointF(15.5, 16.5));
    p.drawLine(QPointF(7.5, 18.5), QPointF(13.5, 18.5));
    p.setPen(Qt::NoPen);
    p.setBrush(kBoard);
    p.drawRect(QRectF(18, 9.5, 2, 2));
}

void userEnabled(QPainter& p) {
    person(p, kBoard);
}

void userDisabled(QPainter& p) {
    person(p, kMetal);
    pen(p, kRed, 2.5);
    p.drawLine(QPointF(13, 13), QPointF(21, 21));
    p.drawLine(QPointF(21, 13), QPointF(13, 21));
}

void share(QPainter& p) {
    pen(p);
    p.setBrush(kGold);
    p.drawPolygon(
        QPolygonF({{1.5, 4.5}, {8.5, 4.5}, {10.5, 6.5}, {20.5, 6.5}, {20.5, 17.5}, {1.5, 17.5}}));
    p.setBrush(kSkin);
    QPainterPath hand(QPointF(1.5, 21.5));
    hand.lineTo(6.5, 16.5);
    hand.lineTo(14.5, 16.5);
    hand.lineTo(14.5, 18.5);
    hand.lineTo(9.5, 18.5);
    hand.lineTo(21.5, 18.5);
    hand.lineTo(19.5, 21.5);
    hand.closeSubpath();
    p.drawPath(hand);
}

void battery(QPainter& p) {
    box(p, 1, 6, 18, 11, kMetal, 2);
    box(p, 19, 9, 2, 5, kChip);
    p.setPen(Qt::NoPen);
    p.setBrush(kBoard);
    for (int i = 0; i < 3; ++i) p.drawRect(QRectF(3.5 + i * 5, 8.5, 4, 7));
}

void display(QPainter& p) {
    monitor(p, QColor(0x2f, 0x6b, 0xa8));
}

void processorInfo(QPainter& p) {
    pen(p);
    p.setBrush(kScreen);
    p.drawEllipse(QRectF(1.5, 1.5, 20, 20));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(10, 4.5, 3, 3));
    p.drawRoundedRect(QRectF(10, 9, 3, 9.5), 1, 1);
}

const std::map<std::string, std::function<void(QPainter&)>>& pictures() {
    static const std::map<std::string, std::function<void(QPainter&)>> all{
        {"k1", computer},       {"k2", speaker},
        {"k3", bios},           {"k4", [](QPainter& p) { chip(p, kChip, 3); }},
        {"k5", mouse},          {"k6", [](QPainter& p) { person(p, kScreen); }},
        {"k7", network},        {"k8", keyboard},
        {"k9", windowPicture},  {"k10", videoCard},
        {"k11", memory},        {"k12", motherboard},
        {"k13", disk},          {"k14", disc},
        {"k15", usb},           {"k17", workgroup},
        {"k18", printer},       {"k19", userEnabled},
        {"k20", userDisabled},  {"k21", share},
        {"k22", battery},       {"k23", display},
        {"k41", processorInfo},
    };
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    // The pictures are drawn on a 23 × 23 grid; --size scales that grid to N × N.
    int size = 23;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--size") == 0) {
        size = std::atoi(argv[2]);
        first = 3;
    }
    if (argc < first + 2 || size < 8 || size > 1024) {
        std::fprintf(stderr, "usage: qelto-icons [--size N] <folder> <key>...\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[first]);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "qelto-icons: cannot create %s\n", argv[first]);
        return 1;
    }
    for (int i = first + 1; i < argc; ++i) {
        const auto found = pictures().find(argv[i]);
        if (found == pictures().end()) {
            std::fprintf(stderr, "qelto-icons: no picture for key %s\n", argv[i]);
            return 1;
        }
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.scale(size / 23.0, size / 23.0);
            found->second(painter);
        }
        const QString path = folder + u'/' + QString::fromLatin1(argv[i]) + QStringLiteral(".png");
        if (!image.save(path, "PNG")) {
            std::fprintf(stderr, "qelto-icons: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
