// The help dialog: its layout and the order of its steps, its two pictures, its buttons, and the
// main window keeping one copy of it.

#include "help/help.h"
#include "app/application.h"
#include "app/jcxtxx.h"
#include "tests/app/fakes.h"
#include "tests/app/layout_check.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMap>

#include <QPushButton>
#include <QTest>
#include <QTextLayout>
#include <algorithm>

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
        QCOMPARE(h.minimumSize(), h.maximumSize());
        QVERIFY(!h.isModal());
        QVERIFY(!(h.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(h.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(h.Frame2->title(), QString());
    }

    // Every control inside the dialog and its page, none over another, every caption and picture
    // whole (the steps grow with the font rather than being cut).
    void layout() {
        help h(hostFramePicture(), loginFramePicture());
        const QStringList faults = layoutFaults(&h);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u"; ")));
    }

    // The numbered steps read from the top down, and a step that points at a picture below
    // ("如下图所示") has one before the next step begins.
    void stepsReadDownwards() {
        help h(hostFramePicture(), loginFramePicture());
        const QString numerals = QStringLiteral("一二三四五六七八九");
        QMap<int, const QLabel*> steps;
        QList<const QLabel*> pictures;
        for (const QLabel* l : h.Frame2->findChildren<QLabel*>()) {
            if (!l->pixmap().isNull()) pictures << l;
            const qsizetype n = numerals.indexOf(l->text().left(1));
            if (n >= 0 && l->text().mid(1, 1) == u"、") steps.insert(int(n), l);
        }
        QCOMPARE(steps.lastKey() + 1, steps.size());  // 一 to the last, none missing
        QCOMPARE(pictures.size(), 2);
        const QLabel* previous = nullptr;
        for (const QLabel* step : steps) {
            if (previous) {
                QVERIFY2(previous->geometry().bottom() < step->y(), qPrintable(step->text()));
                const bool pointsDown = previous->text().contains(QStringLiteral("如下图所示"));
                const bool pictureBetween =
                    std::any_of(pictures.begin(), pictures.end(), [&](const QLabel* p) {
                        return p->y() > previous->geometry().bottom() &&
                               p->geometry().bottom() < step->y();
                    });
                QVERIFY2(pointsDown == pictureBetween, qPrintable(previous->text()));
            }
            previous = step;
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
