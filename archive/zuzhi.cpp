#include "zuzhi.h"

#include "archive.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

namespace qelto::archive {

namespace {

const QString kTitle = QStringLiteral("qelto 局域网计算机配置检测系统");
const QString kCaption = QStringLiteral("qelto 局域网计算机配置检测系统 V2.0");
const QString kPickDepartment = QStringLiteral("-选择部门-");
const QString kPickPerson = QStringLiteral("-选择使用人-");

// Places are given in twips, 15 to a pixel.
QRect twips(int left, int top, int width, int height) {
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

void fill(QComboBox* box, const QStringList& items) {
    box->clear();
    box->addItems(items);
    box->setCurrentIndex(-1);
}

}  // namespace

Messages standardMessages() {
    Messages m;
    m.inform = [](QWidget* parent, const QString& text) {
        QMessageBox box(QMessageBox::NoIcon, kTitle, text, QMessageBox::Ok, parent);
        box.exec();
    };
    m.ask = [](QWidget* parent, const QString& text) {
        QMessageBox box(QMessageBox::NoIcon, kTitle, text, QMessageBox::Yes | QMessageBox::No,
                        parent);
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

    Label1 = new QLabel(QStringLiteral("部门："), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(twips(720, 840, 540, 180));
    Combo1 = new QComboBox(this);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setGeometry(twips(1440, 720, 2415, 300));
    Label2 = new QLabel(QStringLiteral("使用人："), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(twips(720, 1680, 720, 180));
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
    // The labels take no focus: 保存, then the department, then the person.
    Label1->setFocusPolicy(Qt::NoFocus);
    Label2->setFocusPolicy(Qt::NoFocus);
    setTabOrder(Command1, Combo1);
    setTabOrder(Combo1, Combo2);
    Command1->setAutoDefault(false);

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
    Form_Load();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    show();
    raise();
    activateWindow();
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
            messages_.inform(this, QStringLiteral("无法新建档案：%1").arg(e.message()));
            return;
        }
    }
    sqlstr = QStringLiteral("select DISTINCT 部门 from usep");
    try {
        rs = opensql(connstr, sqlstr);
    } catch (const ArchiveError& e) {
        messages_.inform(this, QStringLiteral("无法读取部门列表：%1").arg(e.message()));
        return;
    }
    QStringList list;
    for (int i = 0, n = rs->RecordCount(); i < n; ++i, rs->MoveNext()) {
        const QVariant v = rs->Fields(QStringLiteral("部门")).Value();
        if (!v.isNull()) list << v.toString();
    }
    fill(Combo1, list);
    Combo1->setEditText(kPickDepartment);
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
        const QStringList leftOut = saveRecord(connstr, department, person, record_);
        message = QStringLiteral("保存成功！");
        if (!leftOut.isEmpty())
            message += QStringLiteral("\n档案的 info 表没有这些列，它们未被保存：") +
                       leftOut.join(QStringLiteral("、"));
    } catch (const ArchiveError& e) {
        message = QStringLiteral("保存失败，这次检测的结果没有存入档案：%1").arg(e.message());
    }
    messages_.inform(this, message);
    close();
}

void zuzhi::hideEvent(QHideEvent* event) {
    rs.reset();  // closing releases the row set and its connection
    QDialog::hideEvent(event);
}

}  // namespace qelto::archive
