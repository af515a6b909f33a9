#include "prompts.h"

#include "common/charset.h"

#include <QAbstractButton>
#include <QGridLayout>
#include <QMessageBox>
#include <QScreen>
#include <QSpacerItem>
#include <QTextLayout>

#include <vector>

namespace qelto {

namespace {

// A message box takes the width of its text, and a window manager elides a title that is wider
// than the window. Title bars use a bold face of about the size of the program's font, and hold
// the window's icon and its buttons beside the title: the box is made wide enough for all of it.
// (QMessageBox fixes its own size when it is shown, from the minimum size of its layout.)
void fitTitle(QMessageBox& box) {
    QFont font = box.font();
    font.setBold(true);
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(box.windowTitle()) + 6 * metrics.height();
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Fixed, QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
    else
        box.setMinimumWidth(width);
}

// A run of a word (a path, a host, a name): neither a blank nor Chinese, between which lines end.
bool inWord(QChar c) {
    return !c.isSpace() && c.unicode() < 0x2E80;
}

// QMessageBox wraps a text wider than about half the screen, and Qt ends a line where it can,
// also after a "/" or a "-" inside a path or a host. The text is wrapped here instead, a little
// narrower than that, ending lines only between words, so that QMessageBox leaves it as it is.
void wrapBetweenWords(QMessageBox& box) {
    const QScreen* screen = box.screen();
    const QFontMetrics metrics(box.font());
    const int width =
        qMin((screen ? screen->availableGeometry().width() : 1024) / 2, 500) - 3 * metrics.height();
    QStringList lines;
    for (const QString& paragraph : box.text().split(u'\n')) {
        // The paragraph laid out with word joiners inside its words, and where each character of
        // that came from.
        QString joined;
        std::vector<qsizetype> from;
        for (qsizetype i = 0; i < paragraph.size(); ++i) {
            if (i > 0 && inWord(paragraph[i - 1]) && inWord(paragraph[i])) {
                joined += QChar(0x2060);
                from.push_back(i);
            }
            joined += paragraph[i];
            from.push_back(i);
        }
        from.push_back(paragraph.size());
        QTextLayout layout(joined, box.font());
        QTextOption option;
        option.setWrapMode(QTextOption::WordWrap);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            const qsizetype begin = from[std::size_t(line.textStart())];
            qsizetype end = from[std::size_t(line.textStart() + line.textLength())];
            while (end > begin && paragraph[end - 1] == u' ') --end;
            lines << paragraph.mid(begin, end - begin);
        }
        layout.endLayout();
    }
    box.setText(lines.join(u'\n'));
}

// A question with the buttons 是 and 否, 否 taken by Enter and Escape.
std::unique_ptr<QMessageBox> makeQuestionBox(QWidget* parent, QMessageBox::Icon icon,
                                             const QString& title, const QString& text) {
    auto box = std::make_unique<QMessageBox>(icon, title, common::displayLines(text),
                                             QMessageBox::Yes | QMessageBox::No, parent);
    box->setTextFormat(Qt::PlainText);
    box->button(QMessageBox::Yes)->setText(QStringLiteral("是"));
    box->button(QMessageBox::No)->setText(QStringLiteral("否"));
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    fitTitle(*box);
    wrapBetweenWords(*box);
    return box;
}

bool answeredYes(QMessageBox& box) {
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

}  // namespace

std::unique_ptr<QMessageBox> makeInformBox(QWidget* parent, const QString& text) {
    auto box = std::make_unique<QMessageBox>(QMessageBox::NoIcon, kMessageTitle,
                                             common::displayLines(text), QMessageBox::Ok, parent);
    // Messages quote values from other computers: shown as the characters they are, never as
    // markup, and nothing in them reorders what is read.
    box->setTextFormat(Qt::PlainText);
    box->button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    fitTitle(*box);
    wrapBetweenWords(*box);
    return box;
}

std::unique_ptr<QMessageBox> makeAskBox(QWidget* parent, const QString& text) {
    return makeQuestionBox(parent, QMessageBox::NoIcon, kMessageTitle, text);
}

std::unique_ptr<QMessageBox> makeQuitBox(QWidget* parent) {
    return makeQuestionBox(parent, QMessageBox::Question, QStringLiteral("qelto系统提示"),
                           QStringLiteral("你是否要退出此程序！"));
}

std::unique_ptr<QMessageBox> makeHostKeyBox(QWidget* parent, const wmi::HostKeyQuestion& question) {
    return makeQuestionBox(
        parent, QMessageBox::Question, kMessageTitle,
        QStringLiteral("远程主机 %1 的主机密钥还不在已知主机列表中。\n\n"
                       "密钥类型：%2\n指纹：%3\n\n"
                       "请向这台主机的管理员核对指纹。是否信任这个密钥并记住它？")
            .arg(question.address, question.keyType, question.fingerprint));
}

QString hostKeyDeclinedText(const wmi::HostKeyQuestion& question) {
    return QStringLiteral("你没有信任远程主机 %1 的主机密钥（%2 %3），连接已取消。")
        .arg(question.address, question.keyType, question.fingerprint);
}

void MessageBoxPrompts::inform(QWidget* parent, const QString& text) {
    makeInformBox(parent, text)->exec();
}

bool MessageBoxPrompts::ask(QWidget* parent, const QString& text) {
    return answeredYes(*makeAskBox(parent, text));
}

bool MessageBoxPrompts::confirmQuit(QWidget* parent) {
    return answeredYes(*makeQuitBox(parent));
}

bool MessageBoxPrompts::trustHostKey(QWidget* parent, const wmi::HostKeyQuestion& question) {
    return answeredYes(*makeHostKeyBox(parent, question));
}

}  // namespace qelto
