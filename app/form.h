#pragma once

#include <QWidget>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace qelto {

// The controls of the main window in their initial state, with their texts, tooltips, places,
// limits and keyboard order, and no behaviour. JCXTXX adds the behaviour; the help dialog's
// pictures are taken from a form of its own.
class JCXTXXForm : public QWidget {
    Q_OBJECT
  public:
    explicit JCXTXXForm(QWidget* parent = nullptr);

    QLabel* Label4;
    QGroupBox* Frame2;  // 计算机名/IP地址
    QLabel* Label3;
    QLineEdit* Text1;
    QGroupBox* Frame1;  // 身份验证
    QLabel* Label1;
    QLineEdit* Text2;
    QLabel* Label2;
    QLineEdit* Text3;
    QCheckBox* Check1;
    QPushButton* Command1;
    QGroupBox* Frame3;  // 数据处理
    QPushButton* Command2;
    QPushButton* Command4;
    QPushButton* Command3;
    QGroupBox* Frame4;  // 检测计算机配置信息
    QTreeWidget* TreeView1;

  private:
    void addHostFrame();
    void addCredentialsFrame();
    void addOutputFrame();
    void addTree();
    void setFocusOrder();
};

// The window title of the main window and of the progress window.
inline const QString kWindowTitle = QStringLiteral("qelto 局域网计算机配置检测系统 V2.0");
// What the host box asks for: its tooltip while it is empty, and its placeholder.
inline const QString kHostHint = QStringLiteral("请输入要检测的计算机名称或IP地址");

}  // namespace qelto
