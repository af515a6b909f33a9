#include "prompts.h"

#include <QAbstractButton>
#include <QMessageBox>

namespace qelto {

std::unique_ptr<QMessageBox> makeInformBox(QWidget* parent, const QString& text) {
    auto box = std::make_unique<QMessageBox>(QMessageBox::NoIcon, kMessageTitle, text,
                                             QMessageBox::Ok, parent);
    box->button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    return box;
}

std::unique_ptr<QMessageBox> makeQuitBox(QWidget* parent) {
    auto box = std::make_unique<QMessageBox>(QMessageBox::Question, QStringLiteral("qelto系统提示"),
                                             QStringLiteral("你是否要退出此程序！"),
                                             QMessageBox::Yes | QMessageBox::No, parent);
    box->button(QMessageBox::Yes)->setText(QStringLiteral("是"));
    box->button(QMessageBox::No)->setText(QStringLiteral("否"));
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    return box;
}

void MessageBoxPrompts::inform(QWidget* parent, const QString& text) {
    makeInformBox(parent, text)->exec();
}

bool MessageBoxPrompts::confirmQuit(QWidget* parent) {
    const auto box = makeQuitBox(parent);
    box->exec();
    return box->clickedButton() == box->button(QMessageBox::Yes);
}

}  // namespace qelto
