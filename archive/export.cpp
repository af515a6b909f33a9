#include "export.h"

#include "common/csv.h"
#include "history.h"
#include "recordset.h"
#include "software.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <map>

namespace qelto::archive {

namespace {

// The columns of a full scan's main lines, each with the tree lines it joins (by key).
struct MainLines {
    const char* column;
    const char* keys;  // a regular expression over the whole key
};
constexpr MainLines kMainLines[] = {
    {"处理器（完整检测）", "cpu1|cpu4|cpu13"}, {"内存（完整检测）", "m3[0-9]+|m7|m8"},
    {"硬盘（完整检测）", "dd[14][0-9]+|dd8"},  {"地址（完整检测）", "nac3[0-9]+(\\.[0-9]+)?"},
    {"操作系统（完整检测）", "os1|os2"},
};

// The cells of the main lines of one replayed tree: its lines of each column, in tree order,
// joined by "；".
QStringList mainLines(const scan::InventoryTree& tree) {
    QStringList cells;
    for (const MainLines& m : kMainLines) {
        const QRegularExpression keys(
            QRegularExpression::anchoredPattern(QString::fromLatin1(m.keys)));
        QStringList lines;
        for (int i = 0; i < tree.count(); ++i)
            if (keys.match(tree.node(i).key).hasMatch()) lines << tree.node(i).text;
        cells << lines.join(QStringLiteral("；"));
    }
    return cells;
}

// A time as the other commands show it (SQLite gives back the text it stored).
QString cellText(const QVariant& v, bool time) {
    if (v.isNull()) return {};
    if (time) return v.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return v.toString();
}

// The full scan kept with each info row: info's id to the scan's.
QHash<qint64, qint64> scansOfInfo(const QString& connstr) {
    QHash<qint64, qint64> scanOfInfo;
    std::unique_ptr<Recordset> scans;
    try {
        scans = opensql(connstr, QStringLiteral("select id, info_id from %1").arg(kScanTable));
    } catch (const ArchiveError&) {
        // An archive made before full scans were kept: summary rows only. A failure of the
        // archive itself shows in the next statement.
        opensql(connstr, QStringLiteral("select count(*) from info"));
    }
    for (int i = 0, n = scans ? scans->RecordCount() : 0; i < n; ++i, scans->MoveNext()) {
        const QVariant infoId = scans->Fields(QStringLiteral("info_id")).Value();
        if (!infoId.isNull())
            scanOfInfo.insert(infoId.toLongLong(),
                              scans->Fields(QStringLiteral("id")).Value().toLongLong());
    }
    return scanOfInfo;
}

// The programs of one computer's scan as rows of the software list.
void addPrograms(const QString& computer, const wmi::InstanceStore& answers, ExportTable& table) {
    const std::optional<std::vector<Program>> programs = programsOf(answers);
    if (!programs) return;
    for (const Program& p : *programs)
        table.rows.push_back(
            {computer, p.name, p.version, p.vendor, installDateText(p.installDate)});
}

}  // namespace

QStringList softwareHeader() {
    return {QStringLiteral("计算机名"), QStringLiteral("名称"), QStringLiteral("版本"),
            QStringLiteral("发行者"), QStringLiteral("安装日期")};
}

ExportTable exportTable(const QString& connstr, ExportTable* software) {
    std::unique_ptr<Recordset> info = opensql(connstr, QStringLiteral("select * from info"));
    const QStringList columns = info->columns();
    const auto column = [&](const QString& name) {
        for (qsizetype i = 0; i < columns.size(); ++i)
            if (columns[i].compare(name, Qt::CaseInsensitive) == 0) return int(i);
        return -1;
    };
    const int nameColumn = column(QStringLiteral("计算机名"));
    const int dateColumn = column(QStringLiteral("date"));
    const int idColumn = column(QStringLiteral("id"));
    if (nameColumn < 0) throw ArchiveError(QStringLiteral("档案的 info 表没有“计算机名”列"));

    // The latest row of each computer: the latest time, and of equal times the later row.
    struct Latest {
        QDateTime when;
        QVariantList row;
    };
    std::map<QString, Latest> latest;  // by the name in lower case, so in the names' order
    for (int i = 0, n = info->RecordCount(); i < n; ++i, info->MoveNext()) {
        QVariantList row;
        for (const QString& c : columns) row << info->Fields(c).Value();
        const QString name = row[nameColumn].toString().trimmed();
        if (name.isEmpty()) continue;
        const QDateTime when = dateColumn >= 0 ? row[dateColumn].toDateTime() : QDateTime();
        Latest& l = latest[name.toLower()];
        if (l.row.isEmpty() || !(when < l.when)) l = {when, std::move(row)};
    }
    info.reset();

    // The full scans kept with those rows.
    const QHash<qint64, qint64> scanOfInfo =
        idColumn >= 0 ? scansOfInfo(connstr) : QHash<qint64, qint64>();

    // 计算机名, 部门, 使用人, the time, then the rest as info orders them (its id left out).
    QList<int> order{nameColumn};
    for (const char* name : {"部门", "使用人", "date"})
        if (const int c = column(QString::fromUtf8(name)); c >= 0) order << c;
    for (int c = 0; c < int(columns.size()); ++c)
        if (!order.contains(c) && c != idColumn) order << c;
    // Every caption in Chinese: info's two English column names are the time of the save and
    // the computer that ran the scan and saved it.
    ExportTable table;
    for (const int c : order)
        table.header << (c == dateColumn ? QStringLiteral("时间")
                         : columns[c].compare(u"name", Qt::CaseInsensitive) == 0
                             ? QStringLiteral("执行检测的计算机")
                             : columns[c]);
    for (const MainLines& m : kMainLines) table.header << QString::fromUtf8(m.column);

    if (software) *software = {softwareHeader(), {}};
    for (const auto& [name, l] : latest) {
        QStringList cells;
        for (const int c : order) cells << cellText(l.row[c], c == dateColumn);
        QStringList lines;
        if (idColumn >= 0)
            if (const auto scan = scanOfInfo.constFind(l.row[idColumn].toLongLong());
                scan != scanOfInfo.constEnd()) {
                const StoredScan stored = loadScan(connstr, *scan);
                lines = mainLines(replayScan(stored.answers).tree);
                if (software) addPrograms(cells[0], *stored.answers, *software);
            }
        while (lines.size() < qsizetype(std::size(kMainLines))) lines << QString();
        table.rows.push_back(cells + lines);
    }
    return table;
}

QByteArray toCsv(const ExportTable& table) {
    QByteArray out("\xEF\xBB\xBF");
    const auto line = [&](const QStringList& fields) {
        out += common::csvLine(fields).toUtf8() + "\r\n";
    };
    line(table.header);
    for (const QStringList& row : table.rows) line(row);
    return out;
}

}  // namespace qelto::archive
