// The message boxes as the window shows them, and the pictures of the tree.

#include "app/application.h"
#include "app/prompts.h"
#include "resources/icons.h"
#include "scan/scan.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QTimer>

using namespace qelto;

namespace {

// Presses the button with that text in the next modal box, as soon as it is up.
void pressInNextBox(const QString& text) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [poll, text] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        for (QAbstractButton* b : box->buttons())
            if (b->text() == text) b->click();
        poll->deleteLater();
    });
    poll->start(10);
}

QStringList buttonTexts(const QMessageBox& box) {
    QStringList texts;
    for (QAbstractButton* b : box.buttons()) texts << b->text();
    texts.sort();
    return texts;
}

}  // namespace

class PromptsIconsTest : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void informBox() {
        const auto box =
            makeInformBox(nullptr, QStringLiteral("你输入的用户名或密码错误，无法连接远程主机"));
        QCOMPARE(box->windowTitle(), QStringLiteral("qelto 局域网计算机配置检测系统"));
        QCOMPARE(box->text(), QStringLiteral("你输入的用户名或密码错误，无法连接远程主机"));
        QCOMPARE(box->icon(), QMessageBox::NoIcon);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(buttonTexts(*box), QStringList{QStringLiteral("确定")});
    }

    void quitBox() {
        const auto box = makeQuitBox(nullptr);
        QCOMPARE(box->windowTitle(), QStringLiteral("qelto系统提示"));
        QCOMPARE(box->text(), QStringLiteral("你是否要退出此程序！"));
        QCOMPARE(box->icon(), QMessageBox::Question);
        QCOMPARE(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(box->button(QMessageBox::Yes)->text(), QStringLiteral("是"));
        QCOMPARE(box->button(QMessageBox::No)->text(), QStringLiteral("否"));
        QCOMPARE(box->defaultButton(), box->button(QMessageBox::No));
    }

    void quitQuestionAnswers_data() {
        QTest::addColumn<QString>("press");
        QTest::addColumn<bool>("quit");
        QTest::newRow("是") << QStringLiteral("是") << true;
        QTest::newRow("否") << QStringLiteral("否") << false;
    }
    void quitQuestionAnswers() {
        QFETCH(QString, press);
        QFETCH(bool, quit);
        pressInNextBox(press);
        QCOMPARE(MessageBoxPrompts().confirmQuit(nullptr), quit);
    }

    void informWaitsForOk() {
        pressInNextBox(QStringLiteral("确定"));
        MessageBoxPrompts().inform(nullptr, QStringLiteral("远程主机：PC09 不存在或没有开机。"));
        QVERIFY(QApplication::activeModalWidget() == nullptr);
    }

    // Every box, also one with a short text, is wide enough for its whole title in a bold face
    // and at least three buttons of a title bar beside it: a window manager elides the rest.
    void boxesFitTheirTitles_data() {
        QTest::addColumn<int>("kind");
        QTest::newRow("message") << 0;
        QTest::newRow("question") << 1;
        QTest::newRow("closing") << 2;
        QTest::newRow("host key") << 3;
    }
    void boxesFitTheirTitles() {
        QFETCH(int, kind);
        setUpApplication(*qApp);
        const QString text = QStringLiteral("请选择部门");
        std::unique_ptr<QMessageBox> box;
        switch (kind) {
            case 0:
                box = makeInformBox(nullptr, text);
                break;
            case 1:
                box = makeAskBox(nullptr, text);
                break;
            case 2:
                box = makeQuitBox(nullptr);
                break;
            default:
                box = makeHostKeyBox(nullptr, {QStringLiteral("h"), QStringLiteral("h"),
                                               QStringLiteral("ssh-ed25519"), QStringLiteral("x")});
        }
        box->show();
        QVERIFY(QTest::qWaitForWindowExposed(box.get()));
        QFont bold = box->font();
        bold.setBold(true);
        const QFontMetrics metrics(bold);
        const int needed = metrics.horizontalAdvance(box->windowTitle()) + 3 * metrics.height();
        QVERIFY2(box->width() >= needed,
                 qPrintable(QStringLiteral("%1 < %2").arg(box->width()).arg(needed)));
    }

    // A path in a long message stands whole on one line, and no line is wider than the text of
    // the box, which would wrap it again where it can (after a "/").
    void boxesKeepAPathOnOneLine() {
        setUpApplication(*qApp);
        const QString path = QStringLiteral("/home/zhangsan/qelto-archives/systeminfo.mdb");
        const QString text = QStringLiteral(
                                 "无法读取部门列表：档案文件 %1 不是普通文件（而是文件夹、"
                                 "设备或管道），无法打开。")
                                 .arg(path);
        const auto box = makeInformBox(nullptr, text);
        box->show();
        QVERIFY(QTest::qWaitForWindowExposed(box.get()));
        const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        QVERIFY(label);
        const QStringList lines = box->text().split(u'\n');
        QCOMPARE(lines.join(QString()).remove(u' '), QString(text).remove(u' '));
        for (const QString& line : lines)
            QVERIFY2(
                (line.contains(path) || !line.contains(u'/')) &&
                    label->fontMetrics().horizontalAdvance(line) <= label->contentsRect().width(),
                qPrintable(line));
    }

    // Every key that a node can name has its own 23 × 23 picture, and no two are alike.
    void treePictures() {
        QStringList keys;
        for (const scan::Category& c : scan::categories()) keys << QString::fromLatin1(c.image);
        keys << QStringLiteral("k6") << QStringLiteral("k15") << QStringLiteral("k17")
             << QStringLiteral("k20") << QStringLiteral("k41");
        keys.removeDuplicates();
        QCOMPARE(keys.size(), 23);
        QSet<QByteArray> seen;
        for (const QString& key : keys) {
            const QIcon icon = treeIcon(key);
            QVERIFY2(!icon.isNull(), qPrintable(key));
            const QImage image = icon.pixmap(QSize(23, 23)).toImage();
            QCOMPARE(image.size(), QSize(23, 23));
            const QByteArray pixels(reinterpret_cast<const char*>(image.constBits()),
                                    image.sizeInBytes());
            QVERIFY2(!seen.contains(pixels),
                     qPrintable(key + QStringLiteral(" repeats a picture")));
            seen.insert(pixels);
            // Drawn, not empty: a good part of the square is covered.
            int covered = 0;
            for (int y = 0; y < 23; ++y)
                for (int x = 0; x < 23; ++x) covered += qAlpha(image.pixel(x, y)) > 128;
            QVERIFY2(covered > 60, qPrintable(key));
        }
        QVERIFY(treeIcon(QStringLiteral("k16")).isNull());
        QVERIFY(treeIcon(QString()).isNull());
    }
};

QTEST_MAIN(PromptsIconsTest)
#include "prompts_icons_test.moc"
