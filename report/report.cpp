#include "report.h"

#include "common/charset.h"
#include "common/files.h"
#include "savefile.h"
#include "scan/forms.h"

#include <QDir>

namespace qelto::report {

namespace {

const QString kNoData = QStringLiteral("检测到无数据，无法保存");
const QString kDone = QStringLiteral("导出完成，导出文件路径为：");
const QString kBlankLine = QStringLiteral("    ");
const QString kFooter =
    QStringLiteral("qelto局域网计算机检测系统                              QEL工作室");

// Longest file name (in UTF-8 bytes) kept before ".doc": file systems take 255 bytes, and the
// temporary file beside it adds a few more characters to the name.
constexpr qsizetype kMaxNameBytes = 200;

// The folder the report goes to by default: $HOME. Without it (unset, empty, or the root
// folder) there is no folder that is surely the user's own, and the report is refused rather
// than written to "/".
std::optional<QString> homeDirectory() {
    const QByteArray home = qgetenv("HOME");
    if (home.isEmpty() || QDir::cleanPath(common::fileNameFromNative(home)) == u"/") return {};
    return common::fileNameFromNative(home);
}

}  // namespace

QString headerTime(const QDateTime& when, const QLocale& locale) {
    // The time as the locale writes it, with seconds: the short form of most locales stops at
    // minutes, so seconds are added after the minutes when the form has none.
    QString timeFormat = locale.timeFormat(QLocale::ShortFormat);
    if (!timeFormat.contains(u's')) {
        const qsizetype minutes = timeFormat.lastIndexOf(QStringLiteral("mm"));
        if (minutes >= 0) timeFormat.insert(minutes + 2, QStringLiteral(":ss"));
    }
    // One blank between them: written together, "2026/12/7" and "18:10:59" read as one wrong date.
    return scan::forms::latinDigits(locale.toString(when.date(), QLocale::ShortFormat) + u' ' +
                                        locale.toString(when.time(), timeFormat),
                                    locale);
}

QStringList reportLines(const scan::InventoryTree& tree, const QString& host, const QDateTime& when,
                        const QLocale& locale) {
    QStringList lines;
    lines << QStringLiteral("检测计算机") + host + QStringLiteral("配置信息") +
                 QStringLiteral("           检测时间是：") + headerTime(when, locale);
    lines << kBlankLine;
    for (int i = kFirstDetailNode; i < tree.count(); ++i) lines << tree.node(i).text;
    lines << kBlankLine << kFooter;
    for (QString& line : lines) line = common::displayLine(line);
    return lines;
}

QByteArray reportBytes(const QStringList& lines, const QByteArray& charset) {
    QByteArray bytes;
    for (const QString& line : lines) bytes += common::encodeText(line, charset) + "\r\n";
    return bytes;
}

QString safeFileName(const QString& computername) {
    QString name;
    name.reserve(computername.size());
    for (QChar c : computername) {
        const bool unsafe = c == u'/' || c == u'\\' || c.category() == QChar::Other_Control ||
                            c.category() == QChar::Other_Format ||
                            c.category() == QChar::Separator_Line ||
                            c.category() == QChar::Separator_Paragraph;
        name += unsafe ? QChar(u'_') : c;
    }
    // A lone surrogate cannot become a file name byte sequence.
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (name[i].isHighSurrogate() && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            ++i;
        } else if (name[i].isSurrogate()) {
            name[i] = u'_';
        }
    }
    if (name.trimmed().isEmpty() || name == u"." || name == u"..") return QStringLiteral("计算机");
    if (name.startsWith(u'.')) name[0] = u'_';
    while (name.toUtf8().size() > kMaxNameBytes) {
        name.chop(name.size() >= 2 && name.back().isLowSurrogate() ? 2 : 1);
    }
    return name;
}

QString noDataText() {
    return kNoData;
}

QString ExportResult::message() const {
    switch (outcome) {
        case Outcome::Written:
            if (notice.isEmpty()) return kDone + path;
            return kDone + path + u'\n' + notice;
        case Outcome::NoData:
            return noDataText();
        case Outcome::Failed:
            break;
    }
    const QString why = reason.isEmpty() ? QStringLiteral("未知错误") : reason;
    if (path.isEmpty()) return QStringLiteral("导出失败，未能写入报告：%1。").arg(why);
    return QStringLiteral("导出失败，未能写入报告文件 %1：%2。原有文件保持不变。").arg(path, why);
}

ExportResult exportReport(const scan::InventoryTree& tree, const scan::ScanRecord& record,
                          const QString& host, const ExportOptions& options) {
    ExportResult result;
    if (tree.count() == 0) {
        result.outcome = ExportResult::Outcome::NoData;
        return result;
    }
    std::optional<QString> directory = options.directory;
    if (directory->isEmpty()) directory = homeDirectory();
    if (!directory) {
        result.reason = QStringLiteral(
            "无法确定主目录（环境变量 HOME 未设置、为空或是根文件夹），报告不会写入根文件夹");
        return result;
    }
    QString computername;
    try {
        computername = scan::forms::asText(record.computername, QLocale::c());
    } catch (const scan::forms::ValueError&) {
        // An array cannot name a file; the safe name stands in for it.
    }
    result.path = QDir(*directory).filePath(safeFileName(computername) + QStringLiteral(".doc"));

    QByteArray charset = options.charset.isEmpty()
                             ? common::charsetOfLocale(common::localeNameFromEnvironment())
                             : options.charset;
    if (!common::asciiCompatible(charset)) {
        // UTF-16 and the like would put a byte-order mark before each line and write CR LF as
        // two-byte characters: no program reads that as lines of text.
        result.notice = QStringLiteral("区域设置的字符集 %1 与 ASCII 不兼容，报告改用 UTF-8 编码。")
                            .arg(QString::fromLatin1(charset));
        charset = QByteArrayLiteral("UTF-8");
    }
    const QDateTime when = options.when.isValid() ? options.when : QDateTime::currentDateTime();
    const QByteArray bytes = reportBytes(reportLines(tree, host, when, options.locale), charset);

    result.reason = replaceFile(result.path, bytes);
    if (!result.reason.isEmpty()) return result;
    result.outcome = ExportResult::Outcome::Written;
    return result;
}

}  // namespace qelto::report
