// The save dialog under the offscreen platform. Message boxes are replaced by a recorder, so no
// test ever waits on a modal box.

#include "archive_target.h"

#include "archive/archive.h"
#include "archive/history.h"
#include "archive/zuzhi.h"
#include "wmi/snapshot.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlDatabase>
#include <QtTest>

using qelto::archive::Messages;
using qelto::archive::zuzhi;

namespace {

// Records every message, and for each question whether the dialog asking it was on the screen;
// answers questions with `answer`.
struct Recorder {
    QStringList shown;
    QStringList asked;
    QList<bool> askedOverVisibleDialog;
    bool answer = false;

    Messages messages() {
        Messages m;
        m.inform = [this](QWidget*, const QString& text) { shown << text; };
        m.ask = [this](QWidget* parent, const QString& text) {
            asked << text;
            askedOverVisibleDialog << (qobject_cast<zuzhi*>(parent) && parent->isVisible());
            return answer;
        };
        return m;
    }
};

QStringList items(const QComboBox* box) {
    QStringList list;
    for (int i = 0; i < box->count(); ++i) list << box->itemText(i);
    return list;
}

qelto::scan::ScanRecord sampleRecord() {
    qelto::scan::ScanRecord r;
    r.sendmail = qelto::wmi::Variant(QStringLiteral("ADMIN-PC"));
    r.datecomputername = qelto::wmi::Variant(QStringLiteral("PC01"));
    r.diskdrivesum = qelto::wmi::Variant(quint64(1610612736));
    return r;
}

// The first and the last row of `area` in which the picture has text (dark pixels).
std::pair<int, int> inkRows(const QImage& image, const QRect& area) {
    int first = -1, last = -1;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (qGray(image.pixel(x, y)) < 100) {
                if (first < 0) first = y;
                last = y;
                break;
            }
    return {first, last};
}

QList<QVariantMap> infoRows(const QString& connstr) {
    auto rs = qelto::archive::opensql(connstr, QStringLiteral("select * from info order by id"));
    QList<QVariantMap> rows;
    for (; !rs->atEnd(); rs->MoveNext()) {
        QVariantMap row;
        for (const QString& c : rs->columns()) row.insert(c, rs->Fields(c).Value());
        rows << row;
    }
    return rows;
}

}  // namespace

class ZuzhiTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<ArchiveTarget> target_;
    QString connstr() const { return target_->connstr(); }

  private Q_SLOTS:
    void init() {
        target_ = std::make_unique<ArchiveTarget>(ArchiveTarget::Engine::SQLite);
        qelto::archive::initArchive(connstr());
    }
    void cleanup() { target_.reset(); }

    void layoutTextsAndFocus() {
        Recorder rec;
        const qelto::scan::ScanRecord record;
        zuzhi d(record, connstr(), rec.messages());
        d.present();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        QCOMPARE(d.windowTitle(), QStringLiteral("qelto 局域网计算机配置检测系统 V2.0"));
        QCOMPARE(d.size(), QSize(340, 236));
        QCOMPARE(d.Label1->text(), QStringLiteral("部门："));
        QCOMPARE(d.Label2->text(), QStringLiteral("使用人："));
        QCOMPARE(d.Command1->text(), QStringLiteral("保存"));
        // The labels are at least one line of their font tall.
        for (const QLabel* l : {d.Label1, d.Label2})
            QVERIFY2(l->height() >= l->fontMetrics().height(), qPrintable(l->text()));
        QCOMPARE(d.Label1->x(), 48);
        QCOMPARE(d.Label1->width(), 36);
        QCOMPARE(d.Combo1->geometry(), QRect(96, 48, 161, 20));
        QCOMPARE(d.Label2->x(), 48);
        QCOMPARE(d.Label2->width(), 48);
        QCOMPARE(d.Combo2->geometry(), QRect(96, 104, 161, 20));
        // Each label's text stands on the line of its box's text ("部门" is in both of the first).
        const QImage picture = d.grab().toImage();
        for (const auto& [label, box] : {std::pair{d.Label1, d.Combo1}, {d.Label2, d.Combo2}}) {
            const QWidget* edit = box->lineEdit();
            const auto [labelTop, labelBottom] = inkRows(picture, label->geometry());
            const auto [boxTop, boxBottom] =
                inkRows(picture, QRect(edit->mapTo(&d, QPoint()), edit->size()));
            QVERIFY2(labelTop >= 0 && qAbs(labelBottom - boxBottom) <= 1,
                     qPrintable(QStringLiteral("%1 %2, %3")
                                    .arg(label->text())
                                    .arg(labelBottom)
                                    .arg(boxBottom)));
        }
        QCOMPARE(d.Command1->geometry(), QRect(80, 152, 177, 33));
        QCOMPARE(d.Combo1->currentText(), QStringLiteral("-选择部门-"));
        QCOMPARE(d.Combo2->currentText(), QStringLiteral("-选择使用人-"));
        QVERIFY(d.Combo1->isEditable() && d.Combo2->isEditable());
        QVERIFY(!d.isModal());
        QVERIFY(!(d.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(d.windowFlags() & Qt::WindowMinimizeButtonHint));
        QCOMPARE(d.focusWidget(), d.Command1);
        // Tab: 保存 → department → person.
        QTest::keyClick(d.Command1, Qt::Key_Tab);
        QVERIFY(d.Combo1->isAncestorOf(d.focusWidget()) || d.focusWidget() == d.Combo1);
        QTest::keyClick(d.focusWidget(), Qt::Key_Tab);
        QVERIFY(d.Combo2->isAncestorOf(d.focusWidget()) || d.focusWidget() == d.Combo2);
        QVERIFY(rec.shown.isEmpty());
    }

    void listsAreUnsortedAndPeopleFollowTheDepartment() {
        // usep kept by other means, without the unique index: a pair twice, a Null person.
        QVERIFY(target_->exec(QStringLiteral("DROP INDEX usep_pair")));
        QVERIFY(target_->exec(
            QStringLiteral("INSERT INTO usep VALUES ('财务部', '张三'), ('O''Brien', '李四'), "
                           "('O''Brien', '王五'), ('O''Brien', '李四'), ('空部门', NULL)")));
        Recorder rec;
        const qelto::scan::ScanRecord record;
        zuzhi d(record, connstr(), rec.messages());
        d.present();
        QCOMPARE(items(d.Combo1), (QStringList{QStringLiteral("财务部"), QStringLiteral("O'Brien"),
                                               QStringLiteral("空部门")}));
        QCOMPARE(d.Combo1->currentText(), QStringLiteral("-选择部门-"));
        QVERIFY(items(d.Combo2).isEmpty());

        // Picking with the arrow keys raises the department handler; typing does not.
        d.Combo1->setFocus();
        QTest::keyClick(d.Combo1, Qt::Key_Down);  // 财务部
        QTest::keyClick(d.Combo1, Qt::Key_Down);  // O'Brien
        QCOMPARE(d.Combo1->currentText(), QStringLiteral("O'Brien"));
        QCOMPARE(items(d.Combo2), (QStringList{QStringLiteral("李四"), QStringLiteral("王五")}));
        QCOMPARE(d.Combo2->currentText(), QString());
        // The same department again: the list is cleared before each fill.
        d.Combo1->setCurrentIndex(1);
        Q_EMIT d.Combo1->activated(1);
        QCOMPARE(items(d.Combo2).size(), 2);
        QTest::keyClick(d.Combo1, Qt::Key_Down);  // 空部门: only a Null person
        QVERIFY(items(d.Combo2).isEmpty());
        QVERIFY(rec.shown.isEmpty());
    }

    // An empty list says in its box's tooltip how the lists are filled; a list with names does
    // not. A department without people empties the list of people.
    void emptyListsSayHowToFillThem() {
        const QString how = QStringLiteral("qelto-cli archive people add");
        Recorder rec;
        const qelto::scan::ScanRecord record;
        {
            zuzhi d(record, connstr(), rec.messages());
            d.present();
            QVERIFY(d.Combo1->toolTip().contains(how));
            QVERIFY(d.Combo2->toolTip().contains(how));
        }
        qelto::archive::addPerson(connstr(), QStringLiteral("财务部"), QStringLiteral("张三"));
        QVERIFY(target_->exec(QStringLiteral("INSERT INTO usep (部门) VALUES ('空部门')")));
        zuzhi d(record, connstr(), rec.messages());
        d.present();
        QCOMPARE(d.Combo1->toolTip(), QString());
        QCOMPARE(d.Combo2->toolTip(), QString());
        for (const auto& [department, empty] : {std::pair{QStringLiteral("空部门"), true},
                                                std::pair{QStringLiteral("财务部"), false}}) {
            const int index = d.Combo1->findText(department);
            QVERIFY(index >= 0);
            d.Combo1->setCurrentIndex(index);
            Q_EMIT d.Combo1->activated(index);
            QCOMPARE(d.Combo2->toolTip().contains(how), empty);
            QCOMPARE(d.Combo1->toolTip(), QString());
        }
        QVERIFY(rec.shown.isEmpty());
    }

    void emptyDepartmentAsksToPickOne() {
        QVERIFY(target_->exec(QStringLiteral("INSERT INTO usep VALUES ('', '无名')")));
        Recorder rec;
        const qelto::scan::ScanRecord record;
        zuzhi d(record, connstr(), rec.messages());
        d.present();
        QCOMPARE(items(d.Combo1), QStringList{QString()});
        d.Combo2->addItem(QStringLiteral("保留"));
        d.Combo1->setCurrentIndex(0);
        Q_EMIT d.Combo1->activated(0);
        QCOMPARE(rec.shown, QStringList{QStringLiteral("请选择部门")});
        QCOMPARE(items(d.Combo2),
                 QStringList{QStringLiteral("保留")});  // the lists stay as they are
    }

    void savingRightAwayStoresThePlaceholdersAndCloses() {
        Recorder rec;
        const qelto::scan::ScanRecord record = sampleRecord();
        zuzhi d(record, connstr(), rec.messages());
        d.present();
        QTest::mouseClick(d.Command1, Qt::LeftButton);
        QCOMPARE(rec.shown, QStringList{QStringLiteral("保存成功！")});
        QVERIFY(!d.isVisible());
        const auto rows = infoRows(connstr());
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].value(QStringLiteral("部门")).toString(), QStringLiteral("-选择部门-"));
        QCOMPARE(rows[0].value(QStringLiteral("使用人")).toString(),
                 QStringLiteral("-选择使用人-"));
        QCOMPARE(rows[0].value(QStringLiteral("计算机名")).toString(), QStringLiteral("PC01"));
        QCOMPARE(rows[0].value(QStringLiteral("硬盘容量")).toString(), QStringLiteral("1GB"));
        QCOMPARE(rows[0].value(QStringLiteral("name")).toString(), QStringLiteral("ADMIN-PC"));
    }

    // The window hands over the answers of the scan behind the record, or none when its source
    // keeps none: the save keeps them as the full scan, or only the row.
    void theSaveKeepsTheAnswersBehindTheRecord() {
        auto answers = std::make_shared<qelto::wmi::InstanceStore>();
        qelto::wmi::Instance computer;
        computer.set(QStringLiteral("Caption"), qelto::wmi::Variant(QStringLiteral("PC01")));
        answers->addClass(QStringLiteral("Win32_ComputerSystem")).items.emplace_back(computer);
        const qelto::wmi::InstanceStore* current = answers.get();
        Recorder rec;
        const qelto::scan::ScanRecord record = sampleRecord();
        zuzhi d(record, connstr(), rec.messages());
        d.setAnswers([&current] { return current; });
        for (int i = 0; i < 2; ++i) {
            d.present();
            d.Command1->click();
            current = nullptr;
        }
        QCOMPARE(infoRows(connstr()).size(), 2);
        const auto history = qelto::archive::scanHistory(connstr(), QStringLiteral("PC01"));
        QCOMPARE(history.scans.size(), std::size_t(1));
        const auto stored = qelto::archive::loadScan(connstr(), history.scans[0].id);
        QCOMPARE(qelto::wmi::writeSnapshot(*stored.answers), qelto::wmi::writeSnapshot(*answers));
    }

    void typedTextsAndAnEmptyPersonAreStored() {
        qelto::archive::addPerson(connstr(), QStringLiteral("信息部"), QStringLiteral("李四"));
        Recorder rec;
        qelto::scan::ScanRecord record = sampleRecord();
        zuzhi d(record, connstr(), rec.messages());
        d.present();
        // A scan run while the dialog is open is what the save stores.
        record.datecomputername = qelto::wmi::Variant(QStringLiteral("PC02"));
        d.Combo1->setCurrentIndex(0);
        Q_EMIT d.Combo1->activated(0);
        d.Command1->click();
        d.present();
        d.Combo1->lineEdit()->clear();
        QTest::keyClicks(d.Combo1->lineEdit(), QStringLiteral("IT-2"));
        d.Combo2->lineEdit()->clear();
        d.Combo2->lineEdit()->insert(QStringLiteral("赵六"));
        QCOMPARE(items(d.Combo1), QStringList{QStringLiteral("信息部")});  // typing adds nothing
        d.Command1->click();
        const auto rows = infoRows(connstr());
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0].value(QStringLiteral("部门")).toString(), QStringLiteral("信息部"));
        QCOMPARE(rows[0].value(QStringLiteral("使用人")).toString(), QString());
        QCOMPARE(rows[0].value(QStringLiteral("计算机名")).toString(), QStringLiteral("PC02"));
        QCOMPARE(rows[1].value(QStringLiteral("部门")).toString(), QStringLiteral("IT-2"));
        QCOMPARE(rows[1].value(QStringLiteral("使用人")).toString(), QStringLiteral("赵六"));
        QCOMPARE(rec.shown,
                 (QStringList{QStringLiteral("保存成功！"), QStringLiteral("保存成功！")}));
    }

    void anOpenDialogIsRaisedAndAClosedOneReloads() {
        qelto::archive::addPerson(connstr(), QStringLiteral("财务部"), QStringLiteral("张三"));
        Recorder rec;
        const qelto::scan::ScanRecord record;
        zuzhi d(record, connstr(), rec.messages());
        d.present();
        d.Combo1->setEditText(QStringLiteral("正在输入"));
        qelto::archive::addPerson(connstr(), QStringLiteral("信息部"), QStringLiteral("李四"));
        d.present();  // already open: brought to the front, lists and texts kept
        QCOMPARE(items(d.Combo1), QStringList{QStringLiteral("财务部")});
        QCOMPARE(d.Combo1->currentText(), QStringLiteral("正在输入"));
        d.close();
        d.present();  // a new opening reads the departments again
        QCOMPARE(items(d.Combo1),
                 (QStringList{QStringLiteral("财务部"), QStringLiteral("信息部")}));
        QCOMPARE(d.Combo1->currentText(), QStringLiteral("-选择部门-"));
        QCOMPARE(d.focusWidget(), d.Command1);
    }

    void closingReleasesTheConnection() {
        Recorder rec;
        const qelto::scan::ScanRecord record;
        zuzhi d(record, connstr(), rec.messages());
        const int before = QSqlDatabase::connectionNames().size();
        d.present();
        QCOMPARE(QSqlDatabase::connectionNames().size(), before + 1);  // the department row set
        d.close();
        QCOMPARE(QSqlDatabase::connectionNames().size(), before);
    }

    void missingArchiveAsksBeforeCreatingOne_data() {
        QTest::addColumn<bool>("answer");
        QTest::newRow("否") << false;
        QTest::newRow("是") << true;
    }
    void missingArchiveAsksBeforeCreatingOne() {
        QFETCH(bool, answer);
        target_ = std::make_unique<ArchiveTarget>(ArchiveTarget::Engine::SQLite);  // no file yet
        Recorder rec;
        rec.answer = answer;
        const qelto::scan::ScanRecord record;
        zuzhi d(record, connstr(), rec.messages());
        d.present();
        QCOMPARE(rec.asked.size(), 1);
        QVERIFY(rec.asked[0].contains(target_->file()));
        QCOMPARE(rec.askedOverVisibleDialog, QList<bool>{true});
        QCOMPARE(QFile::exists(target_->file()), answer);
        QVERIFY(items(d.Combo1).isEmpty());
        if (answer) {
            QVERIFY(rec.shown.isEmpty());
            d.Command1->click();
            QCOMPARE(rec.shown, QStringList{QStringLiteral("保存成功！")});
        } else {
            QVERIFY(rec.shown.isEmpty());  // the user chose; nothing more to say
            d.Command1->click();
            QCOMPARE(rec.shown.size(), 1);
            QVERIFY(rec.shown[0].startsWith(QStringLiteral("保存失败")));
            QVERIFY(!QFile::exists(target_->file()));
        }
        QVERIFY(!d.isVisible());
    }

    void aFailedSaveSaysSoAndCloses() {
        QVERIFY(target_->exec(QStringLiteral("DROP TABLE info")));
        Recorder rec;
        const qelto::scan::ScanRecord record = sampleRecord();
        zuzhi d(record, connstr(), rec.messages());
        d.present();
        d.Command1->click();
        QCOMPARE(rec.shown.size(), 1);
        QVERIFY(rec.shown[0].startsWith(QStringLiteral("保存失败")));
        QVERIFY(rec.shown[0].endsWith(u'。'));  // also after the database's own reason
        QVERIFY(!rec.shown[0].contains(QStringLiteral("保存成功")));
        QVERIFY(!d.isVisible());
    }

    void anAccessFileIsExplainedAndLeftAlone() {
        QByteArray access(2048, '\0');
        access.replace(0, 19, QByteArray("\x00\x01\x00\x00Standard Jet DB", 19));
        QFile::remove(target_->file());
        {
            QFile f(target_->file());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(access);
        }
        Recorder rec;
        const qelto::scan::ScanRecord record;
        zuzhi d(record, connstr(), rec.messages());
        d.present();
        QVERIFY(rec.asked.isEmpty());
        QCOMPARE(rec.shown.size(), 1);
        QVERIFY(rec.shown[0].contains(QStringLiteral("Access")));
        d.Command1->click();
        QFile f(target_->file());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), access);
    }
};

QTEST_MAIN(ZuzhiTest)
#include "zuzhi_test.moc"
