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

namespace {

// A question with the buttons 是 and 否, 否 taken by Enter and Escape.
std::unique_ptr<QMessageBox> makeQuestionBox(QWidget* parent, const QString& title,
                                             const QString& text) {
    auto box = std::make_unique<QMessageBox>(QMessageBox::Question, title, text,
                                             QMessageBox::Yes | QMessageBox::No, parent);
    box->button(QMessageBox::Yes)->setText(QStringLiteral("是"));
    box->button(QMessageBox::No)->setText(QStringLiteral("否"));
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    return box;
}

bool answeredYes(QMessageBox& box) {
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

}  // namespace

std::unique_ptr<QMessageBox> makeQuitBox(QWidget* parent) {
    return makeQuestionBox(parent, QStringLiteral("qelto系统提示"),
                           QStringLiteral("你是否要退出此程序！"));
}

std::unique_ptr<QMessageBox> makeHostKeyBox(QWidget* parent, const wmi::HostKeyQuestion& question) {
    return makeQuestionBox(
        parent, kMessageTitle,
        QStringLiteral("远程主机 %1 的主机密钥还不在已知主机列表中。\n\n"
                       "密钥类型：%2\n指纹：%3\n\n"
                       "请向这台主机的管理员核对指纹。是否信任这个密钥并记住它？")
            .arg(question.address, question.keyType, question.fingerprint));
}

void MessageBoxPrompts::inform(QWidget* parent, const QString& text) {
    makeInformBox(parent, text)->exec();
}

bool MessageBoxPrompts::confirmQuit(QWidget* parent) {
    return answeredYes(*makeQuitBox(parent));
}

bool MessageBoxPrompts::trustHostKey(QWidget* parent, const wmi::HostKeyQuestion& question) {
    return answeredYes(*makeHostKeyBox(parent, question));
}

}  // namespace qelto
