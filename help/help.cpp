#include "help.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <initializer_list>

namespace qelto {

namespace {

// 15 twips to a pixel at 96 dots per inch.
constexpr int px(int t) {
    return (t + 7) / 15;
}

QRect twips(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

// A label, wrapped at its width (the steps) or on one line (the captions at the top). Chinese
// fonts need more height per line, and their Latin letters more width, than the boxes were drawn
// for: a label grows downwards until all its lines show, and a one-line label to the right until
// its text fits. The gaps beside the labels are wide enough; what is below a step that grew is
// moved down (see the constructor).
QLabel* label(QWidget* parent, const char* name, QRect place, const QString& text,
              bool wrap = true) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(place);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->setWordWrap(wrap);
    if (wrap)
        l->resize(place.width(), qMax(place.height(), l->heightForWidth(place.width())));
    else
        l->resize(l->sizeHint().expandedTo(place.size()));
    return l;
}

QLabel* picture(QWidget* parent, const char* name, QRect place, const QPixmap& pixmap) {
    auto* l = new QLabel(parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(place);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->setPixmap(pixmap);
    return l;
}

QPushButton* button(QWidget* parent, const char* name, QRect place, const QString& text) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(place);
    return b;
}

// A path or a name that a line never ends inside: word joiners between its characters, which
// take no room and are not drawn. (A line may otherwise end after any "/" or "-".)
QString whole(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (i > 0 && !text[i].isLowSurrogate()) out += QChar(0x2060);
        out += text[i];
    }
    return out;
}

}  // namespace

help::help(const QPixmap& hostPicture, const QPixmap& loginPicture, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("help"));
    setWindowTitle(QStringLiteral("qelto局域网计算机配置检测系统 V2.0"));
    setModal(false);
    setFixedSize(QRect(twips(0, 0, 9480, 7395)).size());

    Command2 = button(this, "Command2", twips(240, 840, 1200, 480), QStringLiteral("程序帮助"));
    Command3 = button(this, "Command3", twips(240, 1440, 1200, 480), QStringLiteral("确定"));

    Frame2 = new QGroupBox(this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    Frame2->setGeometry(twips(1560, 120, 7695, 6855));
    addSteps(hostPicture, loginPicture);
    spaceSteps();

    // Enter closes the dialog; Return on 程序帮助 presses it.
    Command3->setDefault(true);

    connect(Command2, &QPushButton::clicked, this, &help::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &help::Command3_Click);

    // Form_Load: the usage page is showing.
    Frame2->setVisible(true);
    if (const QScreen* screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

// The usage page: its heading line and the five steps with their two pictures.
void help::addSteps(const QPixmap& hostPicture, const QPixmap& loginPicture) {
    Label21 =
        label(Frame2, "Label21", twips(120, 240, 900, 180), QStringLiteral("使用步骤："), false);
    Label25 = label(Frame2, "Label25", twips(3360, 240, 1080, 180), QStringLiteral("建议内存：1G"),
                    false);
    Label24 = label(Frame2, "Label24", twips(4800, 240, 2700, 180),
                    QStringLiteral("应用平台：Linux"), false);
    Label9 = label(Frame2, "Label9", twips(360, 600, 6840, 360),
                   QStringLiteral("一、在\"计算机名/IP地址\"里输入你要检测的计算机名或IP地址，"
                                  "默认为：127.0.0.1，如下图所示："));
    Image1 = picture(Frame2, "Image1", twips(720, 1080, 3300, 1005), hostPicture);
    Label10 = label(Frame2, "Label10", twips(360, 2280, 6960, 360),
                    QStringLiteral("二、输入你要连接的计算机的用户名和密码，"
                                   "如果是本地计算机或在域环境中域管理员请勾选“使用当前登陆凭证”"
                                   "复选框，如下图所示："));
    Image4 = picture(Frame2, "Image4", twips(720, 2760, 3300, 2400), loginPicture);
    Label18 = label(Frame2, "Label18", twips(360, 5400, 4335, 375),
                    QStringLiteral("三、点击“开始检测”按钮就开始检测计算机的信息。"));
    Label19 = label(Frame2, "Label19", twips(360, 5760, 6975, 375),
                    QStringLiteral("四、导出到WORD档案，就是把检测到的配置信息保存到WORD档案中。"
                                   "默认保存位置是用户主目录下。以计算机名命名的WORD档案。"
                                   "如:") +
                        whole(QStringLiteral("~/ABC.doc")));
    Label20 =
        label(Frame2, "Label20", twips(360, 6240, 6975, 375),
              QStringLiteral("五、保存到数据库，就是把检测到的主要配置信息保存到ACCESS档案中。"
                             "数据库的位置是启动程序时的当前目录。"
                             "从桌面菜单启动时，当前目录是用户主目录，默认档案即 %1。"
                             "档案文件不存在时，程序会先询问是否新建一个空的档案。"
                             "部门和使用人的列表来自档案，可用“%2 archive people add "
                             "部门 使用人”或“%2 archive people import %3”填写。")
                  .arg(whole(QStringLiteral("~/systeminfo.mdb")),
                       whole(QStringLiteral("qelto-cli")), whole(QStringLiteral("文件.csv"))));
}

void help::spaceSteps() {
    // Steps that grew for the font push what is below them down, 4 pixels clear of it, never over
    // it. Steps that follow one another (三, 四, 五) stand the same distance apart, from the last
    // line of one to the first of the next, however many lines each took: the room that a step's
    // box has below one line of the font. The page and the dialog grow to hold the last step.
    const int stepGap = qMax(px(60), px(375) - Label18->fontMetrics().height());
    const auto isStep = [](QWidget* w) {
        auto* l = qobject_cast<QLabel*>(w);
        return l && l->wordWrap();
    };
    QWidget* previous = nullptr;
    for (QWidget* w : std::initializer_list<QWidget*>{Label9, Image1, Label10, Image4, Label18,
                                                      Label19, Label20}) {
        if (previous && isStep(previous) && isStep(w)) {
            const int text = previous->heightForWidth(previous->width());
            w->move(w->x(), std::max({w->y(), previous->y() + text + stepGap,
                                      previous->geometry().bottom() + 1}));
        } else if (previous && w->y() <= previous->geometry().bottom() + px(60)) {
            w->move(w->x(), previous->geometry().bottom() + 1 + px(60));
        }
        previous = w;
    }
    const int pageBottom = Label20->geometry().bottom() + 1 + px(120);
    if (pageBottom > Frame2->height()) Frame2->resize(Frame2->width(), pageBottom);
    const int formBottom = Frame2->geometry().bottom() + 1 + px(120);
    if (formBottom > height()) setFixedSize(width(), formBottom);
}

void help::Command2_Click() {
    Frame2->setVisible(true);
}

void help::Command3_Click() {
    close();
}

}  // namespace qelto
