// What a fixed layout must get right whatever its numbers: every control lies inside its
// container, no two controls of a container overlap, and every caption is there and shows whole.
#pragma once

#include <QAbstractButton>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QSize>
#include <QStringList>
#include <QWidget>

namespace qelto::test {

namespace detail {

// The controls a form placed in `container`: its named, visible children (Qt's own parts of a
// control, such as a tree's scroll bars, are named "qt_…" or not at all).
inline QList<QWidget*> placedControls(const QWidget* container) {
    QList<QWidget*> controls;
    for (QWidget* w : container->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (!w->isWindow() && !w->isHidden() && !w->objectName().isEmpty() &&
            !w->objectName().startsWith(u"qt_"))
            controls << w;
    return controls;
}

inline void collectFaults(const QWidget* container, QStringList& faults) {
    const QList<QWidget*> controls = placedControls(container);
    for (qsizetype i = 0; i < controls.size(); ++i) {
        const QWidget* c = controls[i];
        const QString name = c->objectName();
        if (!container->rect().contains(c->geometry()))
            faults << name + QStringLiteral(" reaches outside ") + container->objectName();
        for (qsizetype j = i + 1; j < controls.size(); ++j)
            if (c->geometry().intersects(controls[j]->geometry()))
                faults << name + QStringLiteral(" overlaps ") + controls[j]->objectName();
        if (const auto* l = qobject_cast<const QLabel*>(c)) {
            if (!l->pixmap().isNull()) {
                const QSize room = l->contentsRect().size();
                if (l->pixmap().width() > room.width() || l->pixmap().height() > room.height())
                    faults << name + QStringLiteral(" cuts its picture");
            } else if (l->text().trimmed().isEmpty()) {
                faults << name + QStringLiteral(" has no caption");
            } else if (l->wordWrap() ? l->heightForWidth(l->width()) > l->height()
                                     : l->sizeHint().width() > l->width()) {
                faults << name + QStringLiteral(" cuts its caption");
            }
        } else if (const auto* b = qobject_cast<const QAbstractButton*>(c)) {
            if (b->text().trimmed().isEmpty())
                faults << name + QStringLiteral(" has no caption");
            else if (b->fontMetrics().horizontalAdvance(b->text()) > b->width())
                faults << name + QStringLiteral(" cuts its caption");
        } else if (qobject_cast<const QGroupBox*>(c)) {
            collectFaults(c, faults);
        }
    }
}

}  // namespace detail

// Everything wrong with the layout of `window`, one line each; empty when it is right. Group
// boxes are looked into; a group box without a title is allowed (a plain frame).
inline QStringList layoutFaults(const QWidget* window) {
    QStringList faults;
    detail::collectFaults(window, faults);
    return faults;
}

}  // namespace qelto::test
