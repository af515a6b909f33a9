#include "form.h"

#include "resources/icons.h"
#include "twips.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

namespace qelto {

namespace {

template <class W, class... Args>
W* make(QWidget* parent, const char* name, QRect place, Args&&... args) {
    W* w = new W(std::forward<Args>(args)..., parent);
    w->setObjectName(QLatin1String(name));
    w->setGeometry(place);
    return w;
}

// A one-line label. Chinese fonts need more height per line, and their Latin letters more width,
// than the box was drawn for, so the label grows downwards and to the right until its text fits;
// labels are transparent and the space there is free.
QLabel* label(QWidget* parent, const char* name, QRect place, const QString& text) {
    auto* l = make<QLabel>(parent, name, place, text);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->resize(l->sizeHint().expandedTo(place.size()));
    return l;
}

}  // namespace

JCXTXXForm::JCXTXXForm(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("JCXTXX"));
    setWindowTitle(kWindowTitle);
    setFixedSize(px(11130), px(9885));

    Label4 = label(this, "Label4", twips(720, 240, 8820, 180),
                   QStringLiteral("qelto局域网计算机检测系统V2.0 "
                                  "是主要用来解决检测、存档本地和远端计算机配置信息。"
                                  "从而提高工作效率。"));
    addHostFrame();
    addCredentialsFrame();
    addOutputFrame();
    Command3 =
        make<QPushButton>(this, "Command3", twips(1680, 8640, 1455, 375), QStringLiteral("帮助"));
    addTree();
    setFocusOrder();
}

void JCXTXXForm::addHostFrame() {
    Frame2 = make<QGroupBox>(this, "Frame2", twips(240, 720, 3135, 855),
                             QStringLiteral("计算机名/IP地址"));
    Label3 = label(Frame2, "Label3", twips(240, 360, 540, 180), QStringLiteral("主机："));
    Text1 =
        make<QLineEdit>(Frame2, "Text1", twips(840, 320, 2055, 270), QStringLiteral("127.0.0.1"));
    Text1->setMaxLength(255);  // a full name, or ssh://user@host:port
    Text1->setToolTip(kHostHint);
    Text1->setPlaceholderText(kHostHint);
}

void JCXTXXForm::addCredentialsFrame() {
    Frame1 =
        make<QGroupBox>(this, "Frame1", twips(240, 1800, 3135, 2175), QStringLiteral("身份验证"));
    Label1 = label(Frame1, "Label1", twips(240, 360, 735, 255), QStringLiteral("用户名："));
    Text2 = make<QLineEdit>(Frame1, "Text2", twips(1080, 320, 1700, 270),
                            QStringLiteral("Administrator"));
    Text2->setMaxLength(30);
    Text2->setToolTip(QStringLiteral("请输入连接到远端计算机的用户名"));
    Label2 = label(Frame1, "Label2", twips(240, 720, 615, 255), QStringLiteral("密码："));
    Text3 = make<QLineEdit>(Frame1, "Text3", twips(1080, 720, 1700, 270));
    Text3->setMaxLength(30);
    Text3->setEchoMode(QLineEdit::Password);
    Text3->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));  // "*"
    Text3->setToolTip(QStringLiteral("请输入连接到远端计算机的密码"));
    Check1 = make<QCheckBox>(Frame1, "Check1", twips(1080, 1080, 1815, 255),
                             QStringLiteral("使用当前登陆凭证"));
    Check1->setChecked(true);
    Check1->setToolTip(QStringLiteral("使用你当前登录到此计算机的用户名和密码连接远端计算机"));
    Command1 = make<QPushButton>(Frame1, "Command1", twips(360, 1560, 2295, 375),
                                 QStringLiteral("开始检测"));
    Command1->setToolTip(QStringLiteral("检测你指定的计算机配置信息"));
}

void JCXTXXForm::addOutputFrame() {
    Frame3 =
        make<QGroupBox>(this, "Frame3", twips(240, 4200, 3135, 1935), QStringLiteral("数据处理"));
    Command2 = make<QPushButton>(Frame3, "Command2", twips(480, 360, 2055, 375),
                                 QStringLiteral("导出到WORD档案"));
    Command2->setEnabled(false);
    Command4 = make<QPushButton>(Frame3, "Command4", twips(480, 1080, 2055, 375),
                                 QStringLiteral("保存到ACCESS数据库"));
    Command4->setEnabled(false);
}

void JCXTXXForm::addTree() {
    Frame4 = make<QGroupBox>(this, "Frame4", twips(3600, 720, 7335, 8895),
                             QStringLiteral("检测计算机配置信息"));
    TreeView1 = make<QTreeWidget>(Frame4, "TreeView1", twips(120, 240, 7095, 8535));
    // The caption of a frame in a Chinese font is taller than the box was drawn for: the tree
    // starts below the frame's top border, with its bottom where it was.
    if (const int top = Frame4->contentsRect().top(); TreeView1->y() < top)
        TreeView1->setGeometry(TreeView1->x(), top, TreeView1->width(),
                               TreeView1->geometry().bottom() + 1 - top);
    TreeView1->setColumnCount(1);
    TreeView1->setHeaderHidden(true);
    TreeView1->setIconSize(QSize(kTreeIconSize, kTreeIconSize));
    TreeView1->setUniformRowHeights(true);
    TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
    // Long lines scroll sideways instead of being cut off.
    TreeView1->header()->setStretchLastSection(false);
    TreeView1->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
}

void JCXTXXForm::setFocusOrder() {
    // Text boxes and buttons take the focus by keyboard and mouse, labels and frames never. Return
    // and Enter press the button that has the focus, as Space does.
    for (QPushButton* b : {Command1, Command2, Command4, Command3}) {
        b->setFocusPolicy(Qt::StrongFocus);
        b->setAutoDefault(true);
    }
    Check1->setFocusPolicy(Qt::StrongFocus);
    setTabOrder(Check1, Text1);
    setTabOrder(Text1, Text2);
    setTabOrder(Text2, Text3);
    setTabOrder(Text3, Command1);
    setTabOrder(Command1, TreeView1);
    setTabOrder(TreeView1, Command4);
    setTabOrder(Command4, Command2);
    setTabOrder(Command2, Command3);
    Check1->setFocus();
}

}  // namespace qelto
