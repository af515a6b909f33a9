#include "state.h"

#include "form.h"
#include "twips.h"

#include <QLabel>

namespace qelto {

// A dialog-type window of its parent's: the window manager keeps it above the main window (also
// while a failure message is up) and gives it a title only, with neither minimise nor maximise.
state::state(QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName(QStringLiteral("state"));
    setWindowTitle(kWindowTitle);
    setFixedSize(px(3240), px(900));
    Label1 = new QLabel(QStringLiteral("正在检测，请等待......"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(twips(360, 360, 1980, 180));
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // At least one line of the font tall: Chinese fonts need more than the box was drawn for.
    Label1->resize(Label1->width(), qMax(Label1->height(), Label1->fontMetrics().height()));
}

}  // namespace qelto
