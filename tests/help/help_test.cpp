// The help dialog: its texts and places, its two pictures, its buttons, and the main window
// keeping one copy of it.

#include "help/help.h"
#include "app/application.h"
#include "app/jcxtxx.h"
#include "tests/app/fakes.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextLayout>

using namespace qelto;
using namespace qelto::test;

namespace {

std::unique_ptr<JCXTXX> mainWindow(std::shared_ptr<FakePrompts> prompts) {
    auto w = std::make_unique<JCXTXX>(
        std::make_shared<FakeConnector>(failWith(wmi::code::RpcUnavailable, "")), prompts);
    w->show();
    return w;
}

// How many distinct colours a picture has: a grabbed frame has text, lines and fills.
int colours(const QPixmap& picture) {
    const QImage image = picture.toImage();
    QSet<QRgb> seen;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) seen.insert(image.pixel(x, y));
    return int(seen.size());
}

}  // namespace

class HelpTest : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void initTestCase() { setUpApplication(*qApp); }

    void form() {
        help h(hostFramePicture(), loginFramePicture());
        QCOMPARE(h.windowTitle(), QStringLiteral("qelto局域网计算机配置检测系统 V2.0"));
        // 632 × 493 as laid out; the steps' texts grew with the CJK font, and the page grows
        // down with them rather than letting them overlap.
        QCOMPARE(h.width(), 632);
        QVERIFY(h.height() >= 493);
        QCOMPARE(h.minimumSize(), h.maximumSize());
        QVERIFY(!h.isModal());
        QVERIFY(!(h.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(h.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(h.Frame2->title(), QString());
        QCOMPARE(h.Frame2->pos(), QPoint(104, 8));
        QCOMPARE(h.Frame2->width(), 513);
        QVERIFY(h.Frame2->height() >= 457);
        QVERIFY(h.Frame2->geometry().bottom() < h.height());
    }

    void controls_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("place");
        const auto row = [](const char* name, const char* text, int l, int t, int w, int h) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromUtf8(text)
                                << QRect((l + 7) / 15, (t + 7) / 15, (w + 7) / 15, (h + 7) / 15);
        };
        row("Command2", "程序帮助", 240, 840, 1200, 480);
        row("Command3", "确定", 240, 1440, 1200, 480);
        row("Label21", "使用步骤：", 120, 240, 900, 180);
        row("Label25", "建议内存：1G", 3360, 240, 1080, 180);
        row("Label24", "应用平台：Linux", 4800, 240, 2700, 180);
        row("Label9",
            "一、在\"计算机名/IP地址\"里输入你要检测的计算机名或IP地址，默认为：127.0.0.1，"
            "如下图所示：",
            360, 600, 6840, 360);
        row("Label10",
            "二、输入你要连接的计算机的用户名和密码，如果是本地计算机或在域环境中域管理员请勾选"
            "“使用当前登陆凭证”复选框，如下图所示：",
            360, 2280, 6960, 360);
        row("Label18", "三、点击“开始检测”按钮就开始检测计算机的信息。", 360, 5400, 4335, 375);
        row("Label19",
            "四、导出到WORD档案，就是把检测到的配置信息保存到WORD档案中。默认保存位置是用户主目录"
            "下。以计算机名命名的WORD档案。如:~/ABC.doc",
            360, 5760, 6975, 375);
        row("Label20",
            "五、保存到数据库，就是把检测到的主要配置信息保存到ACCESS档案中。数据库的位置是启动程序"
            "时的当前目录。从桌面菜单启动时，当前目录是用户主目录，默认档案即 ~/systeminfo.mdb。"
            "档案文件不存在时，程序会先询问是否新建一个空的档案。部门和使用人的列表来自档案，可用"
            "“qelto-cli archive people add 部门 使用人”或“qelto-cli archive people import "
            "文件.csv”填写。",
            360, 6240, 6975, 375);
        row("Image1", "", 720, 1080, 3300, 1005);
        row("Image4", "", 720, 2760, 3300, 2400);
    }
    void controls() {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(QRect, place);
        help h(hostFramePicture(), loginFramePicture());
        QWidget* control = h.findChild<QWidget*>(name);
        QVERIFY(control);
        // In place, or moved down below a step above it that grew (never up, never sideways).
        QCOMPARE(control->x(), place.x());
        QVERIFY2(control->y() >= place.y(), qPrintable(name));
        if (auto* b = qobject_cast<QPushButton*>(control)) {
            QCOMPARE(b->text(), text);
            QCOMPARE(control->size(), place.size());
            QCOMPARE(control->parentWidget(), &h);
        } else {
            auto* l = qobject_cast<QLabel*>(control);
            QVERIFY(l);
            // As it reads: the invisible word joiners that keep a path on one line aside.
            QCOMPARE(l->text().remove(QChar(0x2060)), text);
            QCOMPARE(control->parentWidget(), h.Frame2);
            // Labels may grow to show their whole text, but never shrink or overlap the frame.
            QVERIFY(control->width() >= place.width());
            QVERIFY(control->height() >= place.height());
            QVERIFY(control->geometry().bottom() < h.Frame2->height());
            if (l->wordWrap())
                QVERIFY(l->heightForWidth(l->width()) <= l->height());
            else
                QVERIFY(l->sizeHint().width() <= l->width());
        }
    }

    // Whatever the width of step 五, no line ends inside its path.
    void aPathIsNeverBroken() {
        help h(hostFramePicture(), loginFramePicture());
        const QString text = h.Label20->text();
        const QString path = QStringLiteral("~/systeminfo.mdb");
        const qsizetype begin = QString(text).remove(QChar(0x2060)).indexOf(path);
        for (int width = 100; width <= 520; width += 3) {
            QTextLayout layout(text, h.Label20->font());
            layout.setTextOption(QTextOption(Qt::AlignLeft));
            layout.beginLayout();
            for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
                line.setLineWidth(width);
                const qsizetype at = text.left(line.textStart()).remove(QChar(0x2060)).size();
                QVERIFY2(at <= begin || at >= begin + path.size(),
                         qPrintable(QString::number(width)));
            }
            layout.endLayout();
        }
    }

    // 三, 四 and 五 stand the same distance apart, from the last line of one to the next.
    void stepsStandTheSameDistanceApart() {
        help h(hostFramePicture(), loginFramePicture());
        const auto gap = [](const QLabel* a, const QLabel* b) {
            return b->y() - a->y() - a->heightForWidth(a->width());
        };
        QVERIFY(gap(h.Label18, h.Label19) >= 4);
        QCOMPARE(gap(h.Label19, h.Label20), gap(h.Label18, h.Label19));
    }

    void pictures() {
        const QPixmap host = hostFramePicture();
        const QPixmap login = loginFramePicture();
        QCOMPARE(host.size(), QSize(220, 67));
        QCOMPARE(login.size(), QSize(220, 160));
        QVERIFY(colours(host) > 8);
        QVERIFY(colours(login) > colours(host));
        help h(host, login);
        QCOMPARE(h.Image1->pixmap().size(), QSize(220, 67));
        QCOMPARE(h.Image4->pixmap().size(), QSize(220, 160));
    }

    // The pictures show the frames as the window opens, whatever the window holds now.
    void picturesShowTheStartState() {
        const QImage before = hostFramePicture().toImage();
        auto prompts = std::make_shared<FakePrompts>();
        auto w = mainWindow(prompts);
        w->Text1->setText(QStringLiteral("10.20.30.40"));
        QTest::mouseClick(w->Check1, Qt::LeftButton);
        QCOMPARE(hostFramePicture().toImage(), before);
        QTest::mouseClick(w->Command3, Qt::LeftButton);
        QCOMPARE(w->helpWindow()->Image1->pixmap().toImage(), before);
    }

    void buttons() {
        help h(hostFramePicture(), loginFramePicture());
        h.show();
        QVERIFY(QTest::qWaitForWindowExposed(&h));
        QVERIFY(h.Frame2->isVisible());
        QTest::mouseClick(h.Command2, Qt::LeftButton);
        QVERIFY(h.Frame2->isVisible());
        QVERIFY(h.isVisible());
        QTest::mouseClick(h.Command3, Qt::LeftButton);
        QVERIFY(!h.isVisible());
    }

    void mainWindowKeepsOneCopy() {
        auto prompts = std::make_shared<FakePrompts>();
        auto w = mainWindow(prompts);
        QVERIFY(w->helpWindow() == nullptr);
        QTest::mouseClick(w->Command3, Qt::LeftButton);
        QPointer<help> first = w->helpWindow();
        QVERIFY(first);
        QVERIFY(first->isVisible());
        QVERIFY(!first->isModal());
        QTest::mouseClick(w->Command3, Qt::LeftButton);
        QCOMPARE(w->helpWindow(), first.data());
        QCOMPARE(w->findChildren<help*>().size(), 1);

        // 确定 unloads it; the next press loads a new one.
        QTest::mouseClick(first->Command3, Qt::LeftButton);
        QTRY_VERIFY(first.isNull());
        QVERIFY(w->helpWindow() == nullptr);
        QTest::mouseClick(w->Command3, Qt::LeftButton);
        QVERIFY(w->helpWindow());
        QVERIFY(w->helpWindow()->isVisible());
        QCOMPARE(w->findChildren<help*>().size(), 1);
    }

    void closingTheMainWindowClosesTheOthers_data() {
        QTest::addColumn<bool>("quit");
        QTest::newRow("是") << true;
        QTest::newRow("否") << false;
    }
    void closingTheMainWindowClosesTheOthers() {
        QFETCH(bool, quit);
        auto prompts = std::make_shared<FakePrompts>();
        prompts->quitAnswer = quit;
        auto w = mainWindow(prompts);
        QTest::mouseClick(w->Command3, Qt::LeftButton);
        QPointer<help> dialog = w->helpWindow();
        // Stands for the save dialog, which the main window does not know by its type.
        QDialog other(w.get());
        other.show();

        QCOMPARE(w->close(), quit);
        QCOMPARE(w->isVisible(), !quit);
        QCOMPARE(other.isVisible(), !quit);
        if (quit)
            QTRY_VERIFY(dialog.isNull());
        else
            QVERIFY(dialog && dialog->isVisible());
    }
};

QTEST_MAIN(HelpTest)
#include "help_test.moc"
