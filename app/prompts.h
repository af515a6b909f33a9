#pragma once

#include "wmi/connector.h"

#include <QString>

#include <memory>

class QMessageBox;
class QWidget;

namespace qelto {

// The title of every message box of the program.
inline const QString kMessageTitle = QStringLiteral("qelto 局域网计算机配置检测系统");

// The modal questions and messages of the main window. The window asks through this interface so
// that the tests can answer without a person at the screen.
class Prompts {
  public:
    virtual ~Prompts() = default;
    // A message with the OK button only; returns when it has been confirmed.
    virtual void inform(QWidget* parent, const QString& text) = 0;
    // A question of the title above, answered 是 or 否; true when the answer is 是.
    virtual bool ask(QWidget* parent, const QString& text) = 0;
    // The closing question; true when the answer is 是.
    virtual bool confirmQuit(QWidget* parent) = 0;
    // Whether to trust a host key that no known-hosts file knows; true when the answer is 是.
    // Nobody at the screen trusts nothing.
    virtual bool trustHostKey(QWidget* /*parent*/, const wmi::HostKeyQuestion& /*question*/) {
        return false;
    }
};

// The message boxes themselves, built but not shown. Each is at least as wide as its whole title
// and the buttons of a title bar, so that no window manager cuts the title short.
std::unique_ptr<QMessageBox> makeInformBox(QWidget* parent, const QString& text);
std::unique_ptr<QMessageBox> makeAskBox(QWidget* parent, const QString& text);
std::unique_ptr<QMessageBox> makeQuitBox(QWidget* parent);
std::unique_ptr<QMessageBox> makeHostKeyBox(QWidget* parent, const wmi::HostKeyQuestion& question);
// What the user is told after answering 否 to the question of that box.
QString hostKeyDeclinedText(const wmi::HostKeyQuestion& question);

// Shows the boxes above modally and waits for the answer.
class MessageBoxPrompts : public Prompts {
  public:
    void inform(QWidget* parent, const QString& text) override;
    bool ask(QWidget* parent, const QString& text) override;
    bool confirmQuit(QWidget* parent) override;
    bool trustHostKey(QWidget* parent, const wmi::HostKeyQuestion& question) override;
};

}  // namespace qelto
