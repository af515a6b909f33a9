#pragma once

#include <QPoint>
#include <QRect>
#include <QScreen>
#include <QWidget>

namespace qelto {

// Places and sizes of the fixed layouts are given in twips: 1440 to the inch, 15 to a pixel at
// 96 dots per inch. Qt's high-dpi scaling takes care of denser screens.
constexpr int px(int twips) {
    return (twips + 7) / 15;
}

inline QRect twips(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

// Moves a top-level window so that its client area is centred on its screen.
inline void centreOnScreen(QWidget* window) {
    const QScreen* screen = window->screen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
}

}  // namespace qelto
