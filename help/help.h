#pragma once

#include <QDialog>
#include <QPixmap>

class QGroupBox;
class QLabel;
class QPushButton;

namespace qelto {

// The help dialog: the five steps of using the program, with pictures of the main window's host
// and authentication frames. Modeless; "确定" closes it.
class help : public QDialog {
    Q_OBJECT
  public:
    help(const QPixmap& hostPicture, const QPixmap& loginPicture, QWidget* parent = nullptr);

    QPushButton* Command2;  // 程序帮助
    QPushButton* Command3;  // 确定
    QGroupBox* Frame2;      // the usage page
    QLabel* Label21;
    QLabel* Label25;
    QLabel* Label24;
    QLabel* Label9;
    QLabel* Image1;
    QLabel* Label10;
    QLabel* Image4;
    QLabel* Label18;
    QLabel* Label19;
    QLabel* Label20;

  public Q_SLOTS:
    void Command2_Click();
    void Command3_Click();

  private:
    void addSteps(const QPixmap& hostPicture, const QPixmap& loginPicture);
    void spaceSteps();
};

}  // namespace qelto
