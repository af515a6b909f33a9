#include "report.h"

#include "encoding.h"
#include "scan/forms.h"

#include <QDir>
#include <QSaveFile>

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

QString reasonOf(QFileDevice::FileError error, const QString& detail) {
    QString what;
    switch (error) {
        case QFileDevice::OpenError:
            what = QStringLiteral("无法在目标文件夹中创建文件");
            break;
        case QFileDevice::WriteError:
            what = QStringLiteral("写入文件时出错");
            break;
        case QFileDevice::RenameError:
            what = QStringLiteral("无法用新报告替换原有文件");
            break;
        case QFileDevice::PermissionsError:
            what = QStringLiteral("没有写入权限");
            break;
        default:
            what = QStringLiteral("无法写入文件");
            break;
    }
    return detail.isEmpty() ? what : what + QStringLiteral("（") + detail + QStringLiteral("）");
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
    return locale.toString(when.date(), QLocale::ShortFormat) +
           locale.toString(when.time(), timeFormat);
}

QStringList reportLines(const scan::InventoryTree& tree, const QString& host, const QDateTime& when,
                        const QLocale& locale) {
    QStringList lines;
    lines << QStringLiteral("检测计算机") + host + QStringLiteral("配置信息") +
                 QStringLiteral("           检测时间是：") + headerTime(when, locale);
    lines << kBlankLine;
    for (int i = kFirstDetailNode; i < tree.count(); ++i) lines << tree.node(i).text;
    lines << kBlankLine << kFooter;
    return lines;
}

QByteArray reportBytes(const QStringList& lines, const QByteArray& charset) {
    QByteArray bytes;
    for (const QString& line : lines) bytes += encodeText(line, charset) + "\r\n";
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

QString ExportResult::message() const {
    switch (outcome) {
        case Outcome::Written:
            return kDone + path;
        case Outcome::NoData:
            return kNoData;
        case Outcome::Failed:
            break;
    }
    return QStringLiteral("导出失败，未能写入报告文件 %1：%2。原有文件保持不变。")
        .arg(path, reason);
}

ExportResult exportReport(const scan::InventoryTree& tree, const scan::ScanRecord& record,
                          const QString& host, const ExportOptions& options) {
    ExportResult result;
    if (tree.count() == 0) {
        result.outcome = ExportResult::Outcome::NoData;
        return result;
    }
    const QString directory = options.directory.isEmpty() ? QDir::homePath() : options.directory;
    QString computername;
    try {
        computername = scan::forms::asText(record.computername, QLocale::c());
    } catch (const scan::forms::ValueError&) {
        // An array cannot name a file; the safe name stands in for it.
    }
    result.path = QDir(directory).filePath(safeFileName(computername) + QStringLiteral(".doc"));

    const QByteArray charset =
        options.charset.isEmpty() ? charsetOfLocale(localeNameFromEnvironment()) : options.charset;
    const QDateTime when = options.when.isValid() ? options.when : QDateTime::currentDateTime();
    const QByteArray bytes = reportBytes(reportLines(tree, host, when, options.locale), charset);

    QSaveFile file(result.path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) {
        result.reason = reasonOf(QFileDevice::OpenError, file.errorString());
        return result;
    }
    // flush() before commit(): a short write (a full disk, a size limit) shows only there, and
    // commit() alone would rename the cut-off file over the old report.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        result.reason = reasonOf(QFileDevice::WriteError, file.errorString());
        file.cancelWriting();
        return result;
    }
    if (!file.commit()) {
        result.reason = reasonOf(file.error(), file.errorString());
        return result;
    }
    result.outcome = ExportResult::Outcome::Written;
    return result;
}

}  // namespace qelto::report
