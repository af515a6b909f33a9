#include "zuzhi.h"

#include "archive.h"
#include "common/charset.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTextLayout>

namespace qelto::archive {

namespace {

const QString kTitle = QStringLiteral("qelto 局域网计算机配置检测系统");
const QString kCaption = QStringLiteral("qelto 局域网计算机配置检测系统 V2.0");
const QString kPickDepartment = QStringLiteral("-选择部门-");
const QString kPickPerson = QStringLiteral("-选择使用人-");
// The lists are read from usep only; what the user types into a box is saved but never listed.
const QString kHowToFill = QStringLiteral(
    "档案中还没有可选的部门或使用人。\n"
    "请用“qelto-cli archive people add 部门 使用人”或\n"
    "“qelto-cli archive people import 文件.csv”加入。\n"
    "在这里输入的名字会被保存，但不会出现在列表中。");

// Places are given in twips, 15 to a pixel.
QRect twips(int left, int top, int width, int height) {
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

void fill(QComboBox* box, const QStringList& items) {
    box->clear();
    box->addItems(items);
    box->setCurrentIndex(-1);
    box->setToolTip(items.isEmpty() ? kHowToFill : QString());
}

// A one-line label at least as tall as a line of its font: Chinese fonts need more than the box
// was drawn for. It grows downwards.
QLabel* label(QWidget* parent, const char* name, QRect place, const QString& text) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(place);
    l->resize(l->sizeHint().expandedTo(place.size()));
    return l;
}

// A label beside a combo box, its text on the baseline of the box's text. The box's line edit
// centres a line as tall as the text's bounding box (Chinese stands taller than the font's own
// line) and puts the baseline the font's ascent below the top of that line; the label puts it the
// ascent of its first line (with the Chinese font that it falls back to) below its top.
void alignWith(QLabel* label, const QComboBox* box) {
    const QLineEdit* edit = box->lineEdit();
    if (!edit) return;
    const QFontMetrics metrics(edit->font());
    const int line = qMax(metrics.boundingRect(label->text()).height(), metrics.height());
    const int baseline = box->y() + edit->y() + (edit->height() - line + 1) / 2 + metrics.ascent();
    QTextLayout layout(label->text(), label->font());
    layout.beginLayout();
    QTextLine first = layout.createLine();
    first.setLineWidth(label->width());
    const qreal ascent = first.ascent();
    layout.endLayout();
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->move(label->x(), baseline - qRound(ascent));
}

// A message ends as a sentence does, also when it ends with a reason from elsewhere.
QString sentence(const QString& text) {
    static const QString kEnds = QStringLiteral("。！？.!?");
    return !text.isEmpty() && kEnds.contains(text.back()) ? text : text + u'。';
}

}  // namespace

Messages standardMessages() {
    Messages m;
    m.inform = [](QWidget* parent, const QString& text) {
        QMessageBox box(QMessageBox::NoIcon, kTitle, common::displayLines(text), QMessageBox::Ok,
                        parent);
        box.setTextFormat(Qt::PlainText);  // an archive server's error may quote scanned values
        box.exec();
    };
    m.ask = [](QWidget* parent, const QString& text) {
        QMessageBox box(QMessageBox::NoIcon, kTitle, common::displayLines(text),
                        QMessageBox::Yes | QMessageBox::No, parent);
        box.setTextFormat(Qt::PlainText);
        box.button(QMessageBox::Yes)->setText(QStringLiteral("是"));
        box.button(QMessageBox::No)->setText(QStringLiteral("否"));
        box.setDefaultButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes;
    };
    return m;
}

zuzhi::zuzhi(const scan::ScanRecord& record, QString connstr_, Messages messages, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      record_(record),
      connstr(std::move(connstr_)),
      messages_(std::move(messages)) {
    setObjectName(QStringLiteral("zuzhi"));
    setWindowTitle(kCaption);
    setModal(false);
    setFixedSize(5100 / 15, 3540 / 15);

    Label1 = label(this, "Label1", twips(720, 840, 540, 180), QStringLiteral("部门："));
    Combo1 = new QComboBox(this);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setGeometry(twips(1440, 720, 2415, 300));
    Label2 = label(this, "Label2", twips(720, 1680, 720, 180), QStringLiteral("使用人："));
    Combo2 = new QComboBox(this);
    Combo2->setObjectName(QStringLiteral("Combo2"));
    Combo2->setGeometry(twips(1440, 1560, 2415, 300));
    Command1 = new QPushButton(QStringLiteral("保存"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(twips(1200, 2280, 2655, 495));

    for (QComboBox* box : {Combo1, Combo2}) {
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);  // typed text is used, not added to the list
    }
    alignWith(Label1, Combo1);
    alignWith(Label2, Combo2);
    // The labels take no focus: 保存, then the department, then the person.
    Label1->setFocusPolicy(Qt::NoFocus);
    Label2->setFocusPolicy(Qt::NoFocus);
    setTabOrder(Command1, Combo1);
    setTabOrder(Combo1, Combo2);
    // Return and Enter save, from the button and from the boxes.
    Command1->setDefault(true);

    connect(Combo1, &QComboBox::activated, this, [this] { Combo1_Click(); });
    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
}

zuzhi::~zuzhi() = default;

void zuzhi::present() {
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    show();
    raise();
    activateWindow();
    // Loaded once it is on the screen, so that the question about a missing archive (which the
    // dialog asks before it lists anything) opens over it.
    Form_Load();
    Command1->setFocus(Qt::OtherFocusReason);
}

void zuzhi::Form_Load() {
    rs.reset();
    fill(Combo1, {});
    fill(Combo2, {});
    Combo1->setEditText(kPickDepartment);
    Combo2->setEditText(kPickPerson);

    if (archiveFileMissing(connstr)) {
        const QString file = parseConnectionString(connstr).file;
        if (!messages_.ask(this,
                           QStringLiteral("找不到档案文件 %1。\n是否新建一个空的档案？").arg(file)))
            return;
        try {
            initArchive(connstr);
        } catch (const ArchiveError& e) {
            messages_.inform(this, sentence(QStringLiteral("无法新建档案：%1").arg(e.message())));
            return;
        }
    }
    sqlstr = QStringLiteral("select DISTINCT 部门 from usep");
    try {
        rs = opensql(connstr, sqlstr);
    } catch (const ArchiveError& e) {
        messages_.inform(this, sentence(QStringLiteral("无法读取部门列表：%1").arg(e.message())));
        return;
    }
    QStringList list;
    for (int i = 0, n = rs->RecordCount(); i < n; ++i, rs->MoveNext()) {
        const QVariant v = rs->Fields(QStringLiteral("部门")).Value();
        if (!v.isNull()) list << v.toString();
    }
    fill(Combo1, list);
    Combo1->setEditText(kPickDepartment);
    // Without a department there are no people to list either.
    Combo2->setToolTip(Combo1->toolTip());
}

void zuzhi::Combo1_Click() {
    const QString department = Combo1->currentText();
    if (department.isEmpty()) {
        messages_.inform(this, QStringLiteral("请选择部门"));
        return;
    }
    sqlstr = QStringLiteral("select DISTINCT 使用人 from usep where 部门=?");
    QStringList list;
    try {
        std::unique_ptr<Recordset> next = opensql(connstr, sqlstr, {department});
        for (int i = 0, n = next->RecordCount(); i < n; ++i, next->MoveNext()) {
            const QVariant v = next->Fields(QStringLiteral("使用人")).Value();
            if (!v.isNull()) list << v.toString();
        }
        rs = std::move(next);
    } catch (const ArchiveError&) {
        // A failing people query leaves the list of people empty, without a message.
    }
    fill(Combo2, list);
    Combo2->setEditText(QString());
}

void zuzhi::Command1_Click() {
    const QString department = Combo1->currentText();
    const QString person = Combo2->currentText();
    rs.reset();
    QString message;
    try {
        const QStringList leftOut =
            saveScan(connstr, department, person, record_, answers_ ? answers_() : nullptr);
        message = QStringLiteral("保存成功！");
        if (!leftOut.isEmpty())
            message += QStringLiteral("\n档案的 info 表没有这些列，它们未被保存：") +
                       leftOut.join(QStringLiteral("、"));
    } catch (const ArchiveError& e) {
        message =
            sentence(QStringLiteral("保存失败，这次检测的结果没有存入档案：%1").arg(e.message()));
    }
    messages_.inform(this, message);
    close();
}

void zuzhi::hideEvent(QHideEvent* event) {
    rs.reset();  // closing releases the row set and its connection
    QDialog::hideEvent(event);
}

}  // namespace qelto::archive
