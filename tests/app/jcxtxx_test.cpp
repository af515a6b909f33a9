// The main window under the offscreen platform: its initial state, its inputs, the connection
// and its three failure messages, a scan from a snapshot, the closing question, and the window
// staying alive while a connection hangs.

#include "app/jcxtxx.h"
#include "app/application.h"
#include "app/state.h"
#include "fakes.h"
#include "help/help.h"
#include "layout_check.h"
#include "scan/host.h"
#include "scan/scan.h"
#include "wmi/error.h"

#include "archive/archive.h"
#include "archive/history.h"
#include "archive/zuzhi.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSemaphore>
#include <QSignalSpy>
#include <QStyleOptionGroupBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>

#include <unistd.h>

using namespace qelto;
using namespace qelto::test;

namespace {

// The computer that start-up finds: the machine the program runs on.
const char* const kLocal = R"({"Win32_OperatingSystem": [{"CSName": "ADMIN-PC"}]})";

// A scanned computer: enough for the root, a few lines in several categories and the fields
// that a failed connection must keep or clear.
const char* const kRemote = R"({
  "Win32_ComputerSystem": [{"Caption": "PC01", "UserName": "PC01\\zhang", "model": "OptiPlex 7090",
                            "Manufacturer": "Dell Inc.", "workgroup": "WORKGROUP"}],
  "Win32_OperatingSystem": [{"Caption": "Debian GNU/Linux 12", "ServicePackMajorVersion": 0,
                             "OSLanguage": 2052, "systemdrive": "C:", "CSName": "PC01",
                             "TotalVisibleMemorySize": 16777216}],
  "Win32_PROCESSOR": [{"Name": "Intel(R) Core(TM) i5-10500 CPU @ 3.10GHz"}],
  "Win32_BIOS": [{"Name": "Dell BIOS 1.2.3", "Manufacturer": "Dell Inc."}],
  "Win32_Keyboard": [{"Name": "标准 PS/2 键盘"}]
})";

// A second computer, for scans that replace an earlier one.
const char* const kOther = R"({"Win32_ComputerSystem": [{"Caption": "PC02"}]})";

struct Window {
    std::shared_ptr<FakeConnector> connector;
    std::shared_ptr<FakePrompts> prompts = std::make_shared<FakePrompts>();
    std::unique_ptr<JCXTXX> w;

    explicit Window(FakeConnector::Answer startUp = answerFrom(kLocal))
        : connector(std::make_shared<FakeConnector>(std::move(startUp))) {
        w = std::make_unique<JCXTXX>(connector, prompts);
        w->show();
    }
    // Presses 开始检测 and returns when the handler is over.
    void scan(FakeConnector::Answer answer) {
        connector->setAnswer(std::move(answer));
        QTest::mouseClick(w->Command1, Qt::LeftButton);
    }
};

// This machine's name as the kernel has it, up to the first dot.
QString thisComputer() {
    QFile file(QStringLiteral("/proc/sys/kernel/hostname"));
    if (!file.open(QIODevice::ReadOnly)) return QString();
    return QString::fromLocal8Bit(file.readAll().trimmed()).section(u'.', 0, 0);
}

QString recordText(const wmi::Variant& v) {
    if (v.isNull()) return QStringLiteral("<null>");
    if (v.isText()) return v.textValue();
    if (v.type() == wmi::Variant::Type::Int) return QString::number(v.intValue());
    if (v.type() == wmi::Variant::Type::UInt) return QString::number(v.uintValue());
    return QStringLiteral("<other>");
}

}  // namespace

class JCXTXXTest : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void initTestCase() { setUpApplication(*qApp); }

    void initialState() {
        Window win;
        JCXTXX& w = *win.w;
        QCOMPARE(w.windowTitle(), QStringLiteral("qelto 局域网计算机配置检测系统 V2.0"));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QVERIFY(w.Check1->isChecked());
        QCOMPARE(w.Text1->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(w.Text2->text(), QStringLiteral("Administrator"));
        QCOMPARE(w.Text3->text(), QString());
        QCOMPARE(w.Text3->echoMode(), QLineEdit::Password);
        QVERIFY(w.Text1->isEnabled());
        QVERIFY(!w.Text2->isEnabled());
        QVERIFY(!w.Text3->isEnabled());
        QVERIFY(w.Command1->isEnabled());
        QVERIFY(w.Command3->isEnabled());
        QVERIFY(!w.Command2->isEnabled());
        QVERIFY(!w.Command4->isEnabled());
        QCOMPARE(w.TreeView1->topLevelItemCount(), 0);
        QCOMPARE(w.TreeView1->iconSize(), QSize(23, 23));
        QVERIFY(!w.progressWindow()->isVisible());
        QCOMPARE(w.host(), QStringLiteral("."));

        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QCOMPARE(QApplication::focusWidget(), w.Check1);
    }

    // Every control inside its frame and the window, none over another, every caption whole;
    // every frame has a title, and every input says in a tip what it is for.
    void layout() {
        Window win;
        const QStringList faults = layoutFaults(win.w.get());
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u"; ")));
        for (const QGroupBox* frame : win.w->findChildren<QGroupBox*>())
            QVERIFY2(!frame->title().isEmpty(), qPrintable(frame->objectName()));
        QList<QWidget*> inputs;
        for (QLineEdit* e : win.w->findChildren<QLineEdit*>()) inputs << e;
        for (QCheckBox* c : win.w->findChildren<QCheckBox*>()) inputs << c;
        QVERIFY(inputs.size() >= 4);
        for (const QWidget* input : inputs)
            QVERIFY2(!input->toolTip().isEmpty(), qPrintable(input->objectName()));
    }

    void tabOrder() {
        Window win;
        JCXTXX& w = *win.w;
        QTest::mouseClick(w.Check1, Qt::LeftButton);  // the credential boxes take part too
        w.Command2->setEnabled(true);
        w.Command4->setEnabled(true);
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.Check1->setFocus();
        QStringList order{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < 9; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(order.join(u' '), QStringLiteral("Check1 Text1 Text2 Text3 Command1 TreeView1 "
                                                  "Command4 Command2 Command3 Check1"));
    }

    void tabOrderSkipsDisabledControls() {
        Window win;
        JCXTXX& w = *win.w;
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QStringList order{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < 5; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(order.join(u' '),
                 QStringLiteral("Check1 Text1 Command1 TreeView1 Command3 Check1"));
    }

    // Return and Enter press the focused button as Space does, in the window and in its
    // dialogs; in a dialog, Enter in a box presses its default button (保存, 确定).
    void keysPressTheFocusedButton_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("key");
        for (const char* button : {"Command1", "Command2", "Command4", "Command3", "help/Command2",
                                   "help/Command3", "zuzhi/Command1"})
            for (const int key : {int(Qt::Key_Space), int(Qt::Key_Return), int(Qt::Key_Enter)})
                QTest::newRow(qPrintable(
                    QStringLiteral("%1 %2").arg(QString::fromLatin1(button)).arg(key, 0, 16)))
                    << QString::fromLatin1(button) << key;
        QTest::newRow("zuzhi/Combo2 Enter") << QStringLiteral("zuzhi/Combo2") << int(Qt::Key_Enter);
    }
    void keysPressTheFocusedButton() {
        QFETCH(QString, button);
        QFETCH(int, key);
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        const auto restoreHome = qScopeGuard([&] { qputenv("HOME", oldHome); });
        Window win;
        JCXTXX& w = *win.w;
        win.scan(answerFrom(kRemote));
        QWidget* window = &w;
        if (button.startsWith(u"help/")) {
            w.Command3_Click();
            window = w.helpWindow();
        } else if (button.startsWith(u"zuzhi/")) {
            w.Command4_Click();
            window = w.saveWindow();
        }
        QVERIFY(window);
        QWidget* target = window->findChild<QWidget*>(button.section(u'/', -1));
        QVERIFY(target);
        // A box passes the key on to the dialog's default button.
        QPushButton* pressed = qobject_cast<QPushButton*>(target);
        if (!pressed) pressed = w.saveWindow()->Command1;
        QApplication::setActiveWindow(window);
        QVERIFY(QTest::qWaitForWindowActive(window));
        target->setFocus();
        QCOMPARE(QApplication::focusWidget(), target);
        QSignalSpy clicked(pressed, &QPushButton::clicked);
        QTest::keyClick(target, Qt::Key(key));
        QCOMPARE(clicked.count(), 1);
    }

    // Start-up names the computer that records the scans and connects nowhere: gathering this
    // machine would keep the window from opening; the first press makes the first connection.
    void startUpNamesThisComputerAndConnectsNowhere() {
        Window win;
        QCOMPARE(recordText(win.w->record().sendmail), thisComputer());
        QCOMPARE(win.prompts->messages, QStringList());
        QVERIFY(win.connector->requests().empty());
        QVERIFY(win.w->service() == nullptr);
        QVERIFY(!win.w->Text2->isEnabled());
        QVERIFY(!win.w->Text3->isEnabled());
    }

    void checkBoxTogglesTheCredentialBoxesAndKeepsTheirTexts() {
        Window win;
        JCXTXX& w = *win.w;
        QTest::mouseClick(w.Check1, Qt::LeftButton);
        QVERIFY(!w.Check1->isChecked());
        QVERIFY(w.Text2->isEnabled());
        QVERIFY(w.Text3->isEnabled());
        QCOMPARE(w.Text2->text(), QStringLiteral("Administrator"));
        w.Text2->setFocus();
        QTest::keyClicks(w.Text2, QStringLiteral("x"));
        QTest::keyClicks(w.Text3, QStringLiteral("secret"));
        QTest::mouseClick(w.Check1, Qt::LeftButton);
        QVERIFY(w.Check1->isChecked());
        QVERIFY(!w.Text2->isEnabled());
        QVERIFY(!w.Text3->isEnabled());
        QCOMPARE(w.Text2->text(), QStringLiteral("Administratorx"));
        QCOMPARE(w.Text3->text(), QStringLiteral("secret"));
        QTest::mouseClick(w.Check1, Qt::LeftButton);
        QVERIFY(w.Text2->isEnabled());
        QCOMPARE(w.Text3->text(), QStringLiteral("secret"));
    }

    void maximumLengths_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("limit");
        QTest::newRow("host") << QStringLiteral("Text1") << 255;
        QTest::newRow("user") << QStringLiteral("Text2") << 30;
        QTest::newRow("password") << QStringLiteral("Text3") << 30;
    }
    void maximumLengths() {
        QFETCH(QString, name);
        QFETCH(int, limit);
        Window win;
        QTest::mouseClick(win.w->Check1, Qt::LeftButton);
        auto* box = win.w->findChild<QLineEdit*>(name);
        QVERIFY(box);
        box->clear();
        QTest::keyClicks(box, QStringLiteral("abcdefghij").repeated(30));
        QCOMPARE(box->text(), QStringLiteral("abcdefghij").repeated(30).left(limit));
    }

    void passwordShowsStars() {
        Window win;
        QTest::mouseClick(win.w->Check1, Qt::LeftButton);
        QCOMPARE(win.w->Text3->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr,
                                                  win.w->Text3),
                 int(u'*'));
    }

    void failedConnections_data() {
        QTest::addColumn<bool>("credentials");
        QTest::addColumn<QString>("typedHost");
        QTest::addColumn<quint32>("number");
        QTest::addColumn<QString>("message");
        QTest::newRow("unreachable, current login")
            << false << QStringLiteral("  192.168.1.20  ") << quint32(0x800706BA)
            << QStringLiteral("远程主机：192.168.1.20 不存在或没有开机。");
        QTest::newRow("unreachable, credentials")
            << true << QStringLiteral("PC09") << quint32(0x800706BA)
            << QStringLiteral("远程主机：PC09 不存在或没有开机。");
        QTest::newRow("access denied, credentials")
            << true << QStringLiteral("PC09") << quint32(0x80070005)
            << QStringLiteral("你输入的用户名或密码错误，无法连接远程主机");
        QTest::newRow("access denied, current login")
            << false << QStringLiteral("PC09") << quint32(0x80070005)
            << QStringLiteral("你输入的用户名或密码错误，无法连接远程主机");
        QTest::newRow("any other error: its description")
            << false << QStringLiteral("nosuchhost") << quint32(0x80041064)
            << QStringLiteral("用户凭据不能用于本地连接 ");
    }
    void failedConnections() {
        QFETCH(bool, credentials);
        QFETCH(QString, typedHost);
        QFETCH(quint32, number);
        QFETCH(QString, message);
        Window win;
        JCXTXX& w = *win.w;
        const wmi::Service* local = w.service();
        if (credentials) QTest::mouseClick(w.Check1, Qt::LeftButton);
        w.Text1->setText(typedHost);
        win.connector->setAnswer(
            [number](const wmi::ConnectRequest&) -> std::unique_ptr<wmi::Service> {
                throw wmi::Error(number, QStringLiteral("用户凭据不能用于本地连接 "));
            });
        QTest::mouseClick(w.Command1, Qt::LeftButton);

        QCOMPARE(win.prompts->messages, QStringList{message});
        QCOMPARE(win.prompts->progressVisibleAtMessage, std::vector<bool>{true});
        QVERIFY(!w.progressWindow()->isVisible());
        QVERIFY(w.Command2->isEnabled());
        QVERIFY(w.Command4->isEnabled());
        QCOMPARE(w.TreeView1->topLevelItemCount(), 0);
        QCOMPARE(w.inventory().count(), 0);
        QCOMPARE(w.service(), local);
        QCOMPARE(w.host(), typedHost.trimmed());
        QCOMPARE(recordText(w.record().sendmail), thisComputer());
        // Nothing to save either: the save answers as the export does.
        QTest::mouseClick(w.Command4, Qt::LeftButton);
        QCOMPARE(win.prompts->messages.last(), QStringLiteral("检测到无数据，无法保存"));
        QVERIFY(!w.saveWindow());
    }

    // The worker asks about an unknown host key; the window shows the question and hands the
    // answer back: 是 scans; after 否 the refusal says that the user declined the key, naming the
    // host as the question did, where the source (and so qelto-cli, which asks nobody) says that
    // nobody confirmed it.
    void unknownHostKeyIsAskedOnTheWindowThread_data() {
        QTest::addColumn<bool>("trust");
        QTest::newRow("是") << true;
        QTest::newRow("否") << false;
    }
    void unknownHostKeyIsAskedOnTheWindowThread() {
        QFETCH(bool, trust);
        Window win;
        win.prompts->trustAnswer = trust;
        const wmi::HostKeyQuestion question{
            QStringLiteral("ssh://root@10.0.0.2:2222"), QStringLiteral("10.0.0.2:2222"),
            QStringLiteral("ssh-ed25519"), QStringLiteral("SHA256:abc")};
        const wmi::Error refusal(wmi::code::HostKeyUnknown,
                                 QStringLiteral("主机 10.0.0.2:2222 的密钥未知（ssh-ed25519 "
                                                "SHA256:abc），未经确认不能信任，连接已拒绝。"));
        const auto remote = answerFrom(kRemote);
        win.w->Text1->setText(question.host);
        win.scan([&](const wmi::ConnectRequest& r) -> std::unique_ptr<wmi::Service> {
            if (!r.confirmNewHostKey || !r.confirmNewHostKey(question)) throw refusal;
            return remote(r);
        });
        QCOMPARE(win.prompts->hostKeyQuestions, QStringList{QStringLiteral("SHA256:abc")});
        QCOMPARE(win.w->inventory().count() > 0, trust);
        if (trust) {
            QCOMPARE(win.prompts->messages, QStringList());
            return;
        }
        QCOMPARE(win.prompts->messages.size(), 1);
        const QString shown = win.prompts->messages.front();
        QVERIFY2(shown != scan::connectionFailureText(refusal, question.host), qPrintable(shown));
        QVERIFY2(shown.contains(question.address + QStringLiteral(" 的主机密钥")) &&
                     shown.contains(question.fingerprint) &&
                     shown.contains(QStringLiteral("没有信任")),
                 qPrintable(shown));
    }

    void requestsFollowTheRoad() {
        Window win;
        JCXTXX& w = *win.w;
        w.Text1->setText(QStringLiteral(" \tPC01 "));
        win.scan(answerFrom(kRemote));
        QTest::mouseClick(w.Check1, Qt::LeftButton);
        w.Text2->setText(QStringLiteral(" admin "));
        w.Text3->setText(QString());
        win.scan(answerFrom(kRemote));
        w.Text3->setText(QStringLiteral("p w"));
        w.Text1->clear();
        win.scan(answerFrom(kRemote));

        const auto requests = win.connector->requests();
        QCOMPARE(requests.size(), std::size_t{3});  // the three presses
        // Only blanks are trimmed from the host; the rest is passed on as typed.
        QCOMPARE(requests[0].host, QStringLiteral("\tPC01"));
        QVERIFY(requests[0].road == wmi::Road::CurrentLogin);
        QCOMPARE(requests[0].user, QString());
        QCOMPARE(requests[0].password.text().toString(), QString());
        QCOMPARE(requests[1].host, QStringLiteral("\tPC01"));
        QVERIFY(requests[1].road == wmi::Road::Credentials);
        QCOMPARE(requests[1].user, QStringLiteral(" admin "));
        QCOMPARE(requests[1].password.text().toString(), QString());
        QCOMPARE(requests[2].host, QString());
        QCOMPARE(requests[2].password.text().toString(), QStringLiteral("p w"));
        QCOMPARE(w.host(), QString());
        QCOMPARE(w.service()->authenticationLevel(), 6);
    }

    void currentLoginSetsNoAuthenticationLevel() {
        Window win;
        win.scan(answerFrom(kRemote));
        QVERIFY(win.w->service());
        QCOMPARE(win.w->service()->authenticationLevel(), 0);
    }

    void scanFillsExpandsAndSelectsTheRoot() {
        Window win;
        JCXTXX& w = *win.w;
        win.scan(answerFrom(kRemote));

        QCOMPARE(win.prompts->messages, QStringList());
        QVERIFY(!w.progressWindow()->isVisible());
        QVERIFY(w.Command2->isEnabled());
        QVERIFY(w.Command4->isEnabled());
        QCOMPARE(w.TreeView1->topLevelItemCount(), 1);
        QTreeWidgetItem* root = w.TreeView1->topLevelItem(0);
        QCOMPARE(root->text(0), QStringLiteral("正在检测计算机：PC01 的配置信息..."));
        QCOMPARE(root->childCount(), 18);
        const auto categories = scan::categories();
        int shown = 1;
        for (int i = 0; i < root->childCount(); ++i) {
            QTreeWidgetItem* category = root->child(i);
            QCOMPARE(category->text(0), QString::fromUtf8(categories[std::size_t(i)].text));
            // Every category with lines is open, so every line is on view.
            QCOMPARE(category->isExpanded(), category->childCount() > 0);
            shown += 1 + category->childCount();
            for (int j = 0; j < category->childCount(); ++j)
                QVERIFY(!category->child(j)->icon(0).isNull());
        }
        QVERIFY(root->isExpanded());
        QCOMPARE(shown, w.inventory().count());
        QVERIFY(root->child(14)->childCount() > 0);  // 键盘 has its line and its own picture
        QVERIFY(!root->child(14)->icon(0).isNull());
        QCOMPARE(w.TreeView1->currentItem(), root);
        QVERIFY(root->isSelected());
        QCOMPARE(w.TreeView1->selectedItems().size(), 1);
        QCOMPARE(w.TreeView1->verticalScrollBar()->value(), 0);

        // The lines are those of the scan, in its order.
        const int sa = w.inventory().indexOf(QStringLiteral("SystemAbstract"));
        QCOMPARE(root->child(0)->child(0)->text(0),
                 w.inventory().node(w.inventory().node(sa).children.front()).text);
        QCOMPARE(recordText(w.record().datecomputername), QStringLiteral("PC01"));
        QCOMPARE(recordText(w.record().computername), QStringLiteral("PC01"));
        QCOMPARE(recordText(w.record().systemdrive), QStringLiteral("C:"));
        // The local computer's name stays what start-up read.
        QCOMPARE(recordText(w.record().sendmail), thisComputer());
    }

    void exportWritesTheReportIntoTheHomeDirectory() {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        Window win;
        JCXTXX& w = *win.w;
        // Before any scan there is nothing to export.
        w.Command2_Click();
        win.scan(answerFrom(kRemote));
        QTest::mouseClick(w.Command2, Qt::LeftButton);
        qputenv("HOME", oldHome);

        const QString path = QDir(home.path()).filePath(QStringLiteral("PC01.doc"));
        QCOMPARE(win.prompts->messages,
                 QStringList({QStringLiteral("检测到无数据，无法保存"),
                              QStringLiteral("导出完成，导出文件路径为：") + path}));
        QFile report(path);
        QVERIFY(report.open(QIODevice::ReadOnly));
        const QByteArray bytes = report.readAll();
        QCOMPARE(bytes.count("\r\n"), 4 + w.inventory().count() - 19);
    }

    void saveDialogOpensOnceAndSavesTheRecord() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString connstr =
            QStringLiteral("Data Source=") + dir.filePath(QStringLiteral("a.db"));
        archive::initArchive(connstr);
        archive::addPerson(connstr, QStringLiteral("财务部"), QStringLiteral("王丽"));
        Window win;
        JCXTXX& w = *win.w;
        w.setArchive(connstr);
        win.scan(answerFrom(kRemote));
        QTest::mouseClick(w.Command4, Qt::LeftButton);
        archive::zuzhi* dialog = w.saveWindow();
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        QTest::mouseClick(w.Command4, Qt::LeftButton);
        QCOMPARE(w.saveWindow(), dialog);  // one copy, brought to the front
        QCOMPARE(dialog->Combo1->count(), 1);
        QTest::mouseClick(dialog->Command1, Qt::LeftButton);
        QCOMPARE(win.prompts->messages, QStringList({QStringLiteral("保存成功！")}));
        QVERIFY(!dialog->isVisible());
        // With the row, the answers of the scan behind it.
        const archive::ScanHistory kept = archive::scanHistory(connstr, QStringLiteral("PC01"));
        QCOMPARE(kept.scans.size(), std::size_t(1));
        QCOMPARE(wmi::writeSnapshot(*archive::loadScan(connstr, kept.scans[0].id).answers),
                 wmi::writeSnapshot(*wmi::readSnapshot(QByteArray(kRemote))));
    }

    void aSecondScanReplacesTheFirst() {
        Window win;
        JCXTXX& w = *win.w;
        win.scan(answerFrom(kRemote));
        win.scan(answerFrom(kOther));
        QCOMPARE(w.TreeView1->topLevelItemCount(), 1);
        QCOMPARE(w.TreeView1->topLevelItem(0)->text(0),
                 QStringLiteral("正在检测计算机：PC02 的配置信息..."));
        QCOMPARE(recordText(w.record().datecpu), QString());
        QCOMPARE(recordText(w.record().datecomputername), QStringLiteral("PC02"));
        // Kept from the first scan: a group that found nothing does not write them.
        QCOMPARE(recordText(w.record().systemdrive), QStringLiteral("C:"));
    }

    // A failed attempt after a scan changes nothing that can be exported or saved: the report
    // names the scanned host with the same lines, and the save stores its row and its answers.
    void failedAttemptAfterAScanChangesNothingThatIsExportedOrSaved() {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        const auto restoreHome = qScopeGuard([&] { qputenv("HOME", oldHome); });
        const QString connstr =
            QStringLiteral("Data Source=") + home.filePath(QStringLiteral("a.db"));
        archive::initArchive(connstr);
        Window win;
        JCXTXX& w = *win.w;
        w.setArchive(connstr);
        win.scan(answerFrom(kRemote));
        const wmi::Service* scanned = w.service();
        const auto exported = [&] {
            QTest::mouseClick(w.Command2, Qt::LeftButton);
            QFile report(QDir(home.path()).filePath(QStringLiteral("PC01.doc")));
            if (!report.open(QIODevice::ReadOnly)) return QByteArray();
            // The time of the export, at the end of the first line, aside.
            QByteArray bytes = report.readAll();
            const qsizetype end = bytes.indexOf("\r\n");
            const qsizetype time = bytes.lastIndexOf(' ', end);
            return bytes.remove(time, end - time);
        };
        const QByteArray before = exported();
        QVERIFY(!before.isEmpty());

        w.Text1->setText(QStringLiteral("ssh://root@127.0.0.3:2222"));
        win.scan(failWith(wmi::code::RpcUnavailable, "RPC 服务器不可用。"));
        QCOMPARE(win.prompts->messages.last(),
                 QStringLiteral("远程主机：ssh://root@127.0.0.3:2222 不存在或没有开机。"));
        QCOMPARE(w.service(), scanned);
        QCOMPARE(w.TreeView1->topLevelItem(0)->text(0),
                 QStringLiteral("正在检测计算机：PC01 的配置信息..."));
        QCOMPARE(w.TreeView1->topLevelItem(0)->childCount(), 18);
        QCOMPARE(w.host(), QStringLiteral("ssh://root@127.0.0.3:2222"));
        QCOMPARE(exported(), before);

        QTest::mouseClick(w.Command4, Qt::LeftButton);
        QVERIFY(w.saveWindow());
        QTest::mouseClick(w.saveWindow()->Command1, Qt::LeftButton);
        QCOMPARE(win.prompts->messages.last(), QStringLiteral("保存成功！"));
        const auto rs = archive::opensql(connstr, QStringLiteral("select * from info"));
        QCOMPARE(rs->RecordCount(), 1);
        QCOMPARE(rs->Fields(QStringLiteral("计算机名")).Value().toString(), QStringLiteral("PC01"));
        const archive::ScanHistory kept = archive::scanHistory(connstr, QStringLiteral("PC01"));
        QCOMPARE(kept.scans.size(), std::size_t(1));
        QCOMPARE(wmi::writeSnapshot(*archive::loadScan(connstr, kept.scans[0].id).answers),
                 wmi::writeSnapshot(*wmi::readSnapshot(QByteArray(kRemote))));
    }

    // The host box holds more than it shows: its tooltip is its whole text (what it asks for
    // while it is empty), and without the focus it shows the beginning, where the scheme is.
    void hostBoxTellsItsWholeTextAndShowsItsBeginning() {
        Window win;
        JCXTXX& w = *win.w;
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        const QString host =
            QStringLiteral("ssh://administrator@build-server-07.example.org:40033");
        w.Text1->setFocus();
        w.Text1->selectAll();
        QTest::keyClicks(w.Text1, host);
        QCOMPARE(w.Text1->toolTip(), host);
        const auto cursorX = [&] {
            w.Text1->repaint();
            return w.Text1->inputMethodQuery(Qt::ImCursorRectangle).toRect().x();
        };
        QVERIFY(cursorX() > w.Text1->width() / 2);  // typing shows the end
        w.Command1->setFocus();
        QVERIFY2(cursorX() < 8, qPrintable(QString::number(cursorX())));
        w.Text1->clear();
        QCOMPARE(w.Text1->toolTip(), QStringLiteral("请输入要检测的计算机名称或IP地址"));
    }

    void closingAsksFirst() {
        Window win;
        JCXTXX& w = *win.w;
        win.scan(answerFrom(kRemote));
        w.Text1->setText(QStringLiteral("PC01"));
        win.prompts->quitAnswer = false;
        QVERIFY(!w.close());
        QCOMPARE(win.prompts->quitQuestions, 1);
        QVERIFY(w.isVisible());
        QCOMPARE(w.Text1->text(), QStringLiteral("PC01"));
        QCOMPARE(w.TreeView1->topLevelItem(0)->childCount(), 18);
        QVERIFY(w.Command2->isEnabled());

        win.prompts->quitAnswer = true;
        QVERIFY(w.close());
        QCOMPARE(win.prompts->quitQuestions, 2);
        QVERIFY(!w.isVisible());
    }

    void progressWindowExistsOnce() {
        Window win;
        JCXTXX& w = *win.w;
        win.scan(answerFrom(kRemote));
        win.scan(failWith(wmi::code::AccessDenied, ""));
        win.scan(answerFrom(kOther));
        QCOMPARE(w.findChildren<state*>().size(), 1);
        QCOMPARE(w.progressWindow()->windowTitle(), w.windowTitle());
        QCOMPARE(w.progressWindow()->Label1->text(), QStringLiteral("正在检测，请等待......"));
        const QStringList faults = layoutFaults(w.progressWindow());
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u"; ")));
    }

    // The progress window is a dialog of the main window's, so that a window manager keeps it
    // above the main window (also while a failure message is up), without minimise or maximise.
    void progressWindowBelongsToTheMainWindow() {
        Window win;
        JCXTXX& w = *win.w;
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        win.scan(failWith(wmi::code::RpcUnavailable, "RPC 服务器不可用。"));
        QCOMPARE(win.prompts->progressVisibleAtMessage, std::vector<bool>{true});
        const state* progress = w.progressWindow();
        QVERIFY(progress->windowHandle());
        QCOMPARE(progress->windowHandle()->transientParent(), w.windowHandle());
        QCOMPARE(progress->windowType(), Qt::Dialog);
        for (const Qt::WindowFlags flags :
             {progress->windowFlags(), progress->windowHandle()->flags()}) {
            QVERIFY(flags & Qt::WindowTitleHint);
            QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
            QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        }
    }

    // The tree lies inside the border of its frame, clear of the caption, as the style draws them.
    void treeStaysInsideItsFrame() {
        Window win;
        QGroupBox* frame = win.w->Frame4;
        QStyleOptionGroupBox option;
        option.initFrom(frame);
        option.text = frame->title();
        option.textAlignment = frame->alignment();
        option.lineWidth = 1;
        option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        const auto part = [&](QStyle::SubControl sc) {
            return frame->style()->subControlRect(QStyle::CC_GroupBox, &option, sc, frame);
        };
        const QRect border = part(QStyle::SC_GroupBoxFrame);
        const QRect caption = part(QStyle::SC_GroupBoxLabel);
        const QRect tree = win.w->TreeView1->geometry();
        QVERIFY2(border.adjusted(1, 1, -1, -1).contains(tree) && !tree.intersects(caption),
                 qPrintable(QStringLiteral("tree at y %1, border at y %2, caption to y %3")
                                .arg(tree.y())
                                .arg(border.y())
                                .arg(caption.bottom())));
    }

    // The question about a missing archive is asked over the save dialog, which is on the screen
    // by then; the empty lists then say how to fill them.
    void saveDialogAsksOverItself() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        Window win;
        JCXTXX& w = *win.w;
        w.setArchive(QStringLiteral("Data Source=") + dir.filePath(QStringLiteral("new.db")));
        win.scan(answerFrom(kRemote));
        win.prompts->askAnswer = true;
        QTest::mouseClick(w.Command4, Qt::LeftButton);
        QCOMPARE(win.prompts->questions.size(), 1);
        QCOMPARE(win.prompts->askedOverVisibleParent, std::vector<bool>{true});
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("new.db"))));
        for (const QComboBox* box : {w.saveWindow()->Combo1, w.saveWindow()->Combo2})
            QVERIFY(box->toolTip().contains(QStringLiteral("qelto-cli archive people add")));
    }

    // A report that cannot be written says why in Chinese, not in the system's English.
    void exportFailureReasonsAreChinese_data() {
        QTest::addColumn<bool>("missing");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no such folder") << true << QStringLiteral("文件夹或文件不存在");
        QTest::newRow("folder not writable") << false << QStringLiteral("没有权限");
    }
    void exportFailureReasonsAreChinese() {
        QFETCH(bool, missing);
        QFETCH(QString, reason);
        if (!missing && ::geteuid() == 0) QSKIP("root may write into any folder");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString home = missing ? dir.filePath(QStringLiteral("gone")) : dir.path();
        if (!missing)
            QVERIFY(QFile::setPermissions(home, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(home));
        Window win;
        win.scan(answerFrom(kRemote));
        QTest::mouseClick(win.w->Command2, Qt::LeftButton);
        qputenv("HOME", oldHome);
        QFile::setPermissions(
            dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QCOMPARE(win.prompts->messages.size(), 1);
        const QString message = win.prompts->messages.front();
        QVERIFY2(message.startsWith(QStringLiteral("导出失败")) && message.contains(reason),
                 qPrintable(message));
        // Nothing but the path is in Latin letters.
        QString rest = message;
        rest.remove(QDir(home).filePath(QStringLiteral("PC01.doc")));
        QVERIFY2(!rest.contains(QRegularExpression(QStringLiteral("[A-Za-z]"))),
                 qPrintable(message));
    }

    // While a connection hangs the window paints and runs its timers, but drops every click and
    // key press, and refuses to close; when it ends, the handler finishes as usual.
    void windowStaysAliveButDeafWhileConnecting() {
        Window win;
        JCXTXX& w = *win.w;
        QSemaphore entered;
        QSemaphore release;
        const auto remote = answerFrom(kRemote);
        win.connector->setAnswer([&](const wmi::ConnectRequest& r) {
            entered.release();
            release.tryAcquire(1, 10000);
            return remote(r);
        });

        // Runs inside the handler's wait, once the worker hangs in the connection.
        bool checked = false, busy = false, progressShown = false, closed = true;
        int ticks = 0;
        QTimer counter;
        QObject::connect(&counter, &QTimer::timeout, [&] { ++ticks; });
        counter.start(5);
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            if (checked || !w.busy() || !entered.tryAcquire()) return;
            checked = true;
            QTest::qWait(100);  // timers go on while the worker waits
            busy = w.busy();
            progressShown = w.progressWindow()->isVisible();
            QTest::mouseClick(w.Check1, Qt::LeftButton);
            QTest::keyClicks(w.Text1, QStringLiteral("999"));
            closed = w.close();
            QTest::mouseClick(w.Command3, Qt::LeftButton);
            release.release();
        });
        ticker.start(5);
        QTest::mouseClick(w.Command1, Qt::LeftButton);

        QVERIFY(checked);
        QVERIFY(busy);
        QVERIFY(progressShown);
        QVERIFY(!closed);
        QVERIFY(ticks > 5);
        QVERIFY(!w.busy());
        QVERIFY(w.Check1->isChecked());
        QCOMPARE(w.Text1->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(win.prompts->quitQuestions, 0);
        QVERIFY(w.helpWindow() == nullptr);
        QCOMPARE(w.TreeView1->topLevelItem(0)->childCount(), 18);
        QVERIFY(!w.progressWindow()->isVisible());
        // Input is taken again.
        QTest::mouseClick(w.Check1, Qt::LeftButton);
        QVERIFY(!w.Check1->isChecked());
    }
};

QTEST_MAIN(JCXTXXTest)
#include "jcxtxx_test.moc"
