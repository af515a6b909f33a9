// qelto-cli archive: creates the archive, maintains its list of departments and people, and
// lists, compares and replays the full scans it keeps.

#include "commands.h"
#include "scanjson.h"
#include "software.h"

#include "archive/archive.h"
#include "archive/export.h"
#include "archive/history.h"
#include "common/charset.h"
#include "common/files.h"
#include "common/json.h"
#include "report/report.h"
#include "wmi/secret.h"
#include "xlsx.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QSaveFile>
#include <QTemporaryDir>

namespace qelto::cli {

namespace {

// The verbs of `archive`, as rows of its help text.
std::vector<common::Option> archiveVerbs() {
    using common::helpRow;
    return {
        helpRow(QStringLiteral("init"),
                QStringLiteral("建立档案文件（SQLite）以及缺少的 usep、info、scans、scan_queue "
                               "四张表；\n已有的不作改动")),
        helpRow(QStringLiteral("people add"),
                QStringLiteral("在 usep "
                               "中加入一个部门的一个使用人（都不能为空）；已有的不重复加入")),
        helpRow(QStringLiteral("people import"),
                QStringLiteral("从 CSV 文件（两列：部门,使用人；第一行可以是列名）导入使用人；"
                               "文件可以是\nUTF-8（带或不带 BOM）、区域设置的字符集或 GBK 编码")),
        helpRow(QStringLiteral("history"),
                QStringLiteral("列出档案中一台计算机（按保存时的计算机名）的完整检"
                               "测：编号、时间、"
                               "部门、使用人")),
        helpRow(QStringLiteral("diff"),
                QStringLiteral("比较一台计算机的两次完整检测（默认最后两次；只给编号1 "
                               "时与最后一次比较），\n按类别列出配置树中增加、删除和变更的行")),
        helpRow(QStringLiteral("show"),
                QStringLiteral("按档案中的一次完整检测重新生成配置树；--report "
                               "写出它的检测报告；\n--software 改为输出当时已安装的软件表")),
        helpRow(QStringLiteral("changes"),
                QStringLiteral("列出每台计算机相邻两次完整检测之间增加、删除和变更的部件与设置，"
                               "以及安装、\n删除和升级（旧版本 → 新版本）的软件；每次检测都会变的行"
                               "（时间、剩余内存、\n进程数、用户数、CPU 使用率和当前频率）不列出。"
                               "没有变化时退出状态为 0，\n有变化时为 1")),
        helpRow(QStringLiteral("export"),
                QStringLiteral("每台计算机一行（它最后一次保存）：摘要的各列、部门、使用人、时间"
                               "，"
                               "以及完整\n检测的处理器、内存、硬盘、地址和操作系统；--csv（默认，"
                               "UTF-8 带 BOM）或\n--xlsx（另有一页“软件”），写到标准输出或 -o"
                               "（--output）文件；--software 改为\n导出软件表（CSV）")),
        helpRow(QStringLiteral("software"),
                QStringLiteral("列出最后一次完整检测中装有这个软件（名称相同，不分大小写）的计算机"
                               "\n及其版本；--below 版本 只列出版本低于它的（按软件来源的包管理器"
                               "\n比较）。找到时退出状态为 0，没有找到为 1")),
    };
}

// The options of `archive`.
std::vector<common::Option> archiveOptions() {
    return {
        {.names = {QStringLiteral("--since")},
         .valueName = QStringLiteral("日期"),
         .description = QStringLiteral("changes：只看这个时间以后的检测（2026-12-01、2026-12-01 "
                                       "08:00，或 7d、\n24h 表示多久以前）"),
         .kind = common::ValueKind::Text,
         .missingMessage = QStringLiteral("%1 需要一个日期")},
        {.names = {QStringLiteral("--json")},
         .description = QStringLiteral("history、diff、show、changes、software 输出 JSON")},
        {.names = {QStringLiteral("--software")},
         .description = QStringLiteral("show：输出软件表；export：导出软件表（CSV）")},
        {.names = {QStringLiteral("--below")},
         .valueName = QStringLiteral("版本"),
         .description = QStringLiteral("software：只列出版本低于它的计算机"),
         .kind = common::ValueKind::Text,
         .missingMessage = QStringLiteral("%1 需要一个版本")},
        reportOption(QStringLiteral("show：把检测报告写入主目录或这个目录"),
                     QStringLiteral("--report、--report-dir 目录（或 --report=目录）")),
        reportDirOption(QString()),
        archiveOption(QStringLiteral("档案的连接字符串；否则取环境变量 QELTO_ARCHIVE，"
                                     "再否则为当前目录下的\nsysteminfo.mdb"),
                      QStringLiteral("--archive")),
        archivePasswordFileOption(
            QStringLiteral("档案服务器的密码（文件的第一行），用于不含密码的连接字符串；也可用环"
                           "境变量\n"
                           "QELTO_ARCHIVE_PASSWORD（连接字符串中的密码能被其他用户看到）")),
        endOfOptionsRow(QStringLiteral("部门、使用人或文件名")),
        helpOption(),
        // The export's format, one or the other.
        {.names = {QStringLiteral("--csv"), QStringLiteral("--xlsx")}, .hidden = true},
        {.names = {QStringLiteral("--output"), QStringLiteral("-o")},
         .kind = common::ValueKind::File,
         .empty = common::Empty::Missing,
         .missingMessage = QStringLiteral("%1 需要一个文件名"),
         .hidden = true},
    };
}

const common::CommandLine& archiveLine() {
    static const common::CommandLine line = [] {
        std::vector<common::Option> rows = archiveVerbs();
        for (common::Option& o : archiveOptions()) rows.push_back(std::move(o));
        return common::CommandLine{
            .sections = {
                {.head = QStringLiteral(
                     "用法：qelto-cli archive init [--archive 连接字符串]\n"
                     "      qelto-cli archive people add 部门 使用人 [--archive 连接字符串]\n"
                     "      qelto-cli archive people import 文件.csv [--archive 连接字符串]\n"
                     "      qelto-cli archive history 计算机名 [--json]\n"
                     "      qelto-cli archive diff 计算机名 [编号1 [编号2]] [--json]\n"
                     "      qelto-cli archive show 编号 [--json | --software] [--report | "
                     "--report-dir 目录]\n"
                     "      qelto-cli archive changes [--since 日期] [--json]\n"
                     "      qelto-cli archive export [--csv | --xlsx | --software] [-o 文件]\n"
                     "      qelto-cli archive software 名称 [--below 版本] [--json]\n"),
                 .options = std::move(rows),
                 .column = 16}}};
    }();
    return line;
}

int usage(const QString& problem) {
    return usageError(archiveLine(), problem);
}

// "第 2、5、9 行", at most ten numbers.
QString lineList(const QList<int>& lines) {
    QStringList numbers;
    for (qsizetype i = 0; i < lines.size() && i < 10; ++i) numbers << QString::number(lines[i]);
    return QStringLiteral("第 %1 行%2")
        .arg(numbers.join(QStringLiteral("、")),
             lines.size() > 10 ? QStringLiteral("等") : QString());
}

QString importSummary(const archive::ImportResult& r) {
    QString text = QStringLiteral("已导入 %1 个使用人").arg(r.imported);
    if (r.encoding != "UTF-8")
        text += QStringLiteral("（文件按 %1 编码读取）").arg(QString::fromLatin1(r.encoding));
    const qsizetype skipped = r.duplicates.size() + r.emptyNames.size();
    if (skipped == 0) return text + QStringLiteral("。");
    QStringList why;
    if (!r.duplicates.isEmpty())
        why << QStringLiteral("%1 行的部门和使用人已在档案中（%2）")
                   .arg(r.duplicates.size())
                   .arg(lineList(r.duplicates));
    if (!r.emptyNames.isEmpty())
        why << QStringLiteral("%1 行缺少部门或使用人（%2）")
                   .arg(r.emptyNames.size())
                   .arg(lineList(r.emptyNames));
    return text +
           QStringLiteral("，跳过 %1 行：%2。").arg(skipped).arg(why.join(QStringLiteral("；")));
}

QString timeText(const QDateTime& when) {
    return when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

namespace json = common::json;

json::Value scanJson(const archive::ArchivedScan& e) {
    return json::object({{QStringLiteral("id"), json::integer(e.id)},
                         {QStringLiteral("time"), json::text(timeText(e.when))},
                         {QStringLiteral("computer"), json::text(e.computer)},
                         {QStringLiteral("department"), json::text(e.department)},
                         {QStringLiteral("person"), json::text(e.person)}});
}

const QString kNoTable = QStringLiteral(
    "这个档案没有完整检测：它建于保存完整检测之前，只有每次保存的摘要。用“qelto-cli archive "
    "init”加上 scans 表后，以后的每次保存都会同时保存完整检测。");

// The last `last` scans of `computer`, or nullopt with the reason on stderr: an archive without
// the table of full scans, or no scan of that computer.
std::optional<std::vector<archive::ArchivedScan>> lastScans(const QString& connstr,
                                                            const QString& computer, int last) {
    archive::ScanHistory h = archive::scanHistory(connstr, computer, last);
    if (!h.tableExists) {
        printLine(stderr, kNoTable);
        return std::nullopt;
    }
    if (h.scans.empty()) {
        printLine(stderr, QStringLiteral("档案中没有计算机 %1 的完整检测").arg(computer));
        return std::nullopt;
    }
    return std::move(h.scans);
}

int history(const QString& connstr, const QString& computer, bool json) {
    const archive::ScanHistory h = archive::scanHistory(connstr, computer);
    if (json) {
        json::Value scans = json::array();
        for (const archive::ArchivedScan& e : h.scans) scans.array.push_back(scanJson(e));
        print(stdout, json::write(json::object(
                          {{QStringLiteral("computer"), json::text(computer)},
                           {QStringLiteral("fullScansKept"), json::boolean(h.tableExists)},
                           {QStringLiteral("scans"), std::move(scans)}})));
        // Nothing found is status 1, as for show and diff with a number the archive lacks.
        return h.scans.empty() ? 1 : 0;
    }
    if (!h.tableExists) {
        printLine(stderr, kNoTable);
        return 1;
    }
    if (h.scans.empty()) {
        printLine(stderr, QStringLiteral("档案中没有计算机 %1 的完整检测").arg(computer));
        return 1;
    }
    printLine(stdout, QStringLiteral("计算机 %1 在档案中的完整检测：%2 次")
                          .arg(common::displayLine(h.scans.front().computer))
                          .arg(h.scans.size()));
    printLine(stdout, QStringLiteral("编号\t时间\t部门\t使用人"));
    for (const archive::ArchivedScan& e : h.scans)
        printLine(stdout, QStringLiteral("%1\t%2\t%3\t%4")
                              .arg(e.id)
                              .arg(timeText(e.when), common::displayLine(e.department),
                                   common::displayLine(e.person)));
    return 0;
}

// "编号 3（2026-12-07 09:30:15，财务部 王丽）"
QString scanTitle(const archive::ArchivedScan& e) {
    return QStringLiteral("编号 %1（%2，%3 %4）")
        .arg(e.id)
        .arg(timeText(e.when), common::displayLine(e.department), common::displayLine(e.person));
}

const char* changeName(archive::TreeChange::Kind kind) {
    using Kind = archive::TreeChange::Kind;
    return kind == Kind::Added ? "added" : kind == Kind::Removed ? "removed" : "changed";
}

json::Value changeJson(const archive::TreeChange& c) {
    json::Value o = json::object(
        {{QStringLiteral("change"), json::text(QString::fromLatin1(changeName(c.kind)))},
         {QStringLiteral("categoryKey"), json::text(c.categoryKey)},
         {QStringLiteral("category"), json::text(c.category)},
         {QStringLiteral("key"), json::text(c.key)}});
    if (c.kind != archive::TreeChange::Kind::Added)
        o.object.push_back({QStringLiteral("before"), json::text(c.before)});
    if (c.kind != archive::TreeChange::Kind::Removed)
        o.object.push_back({QStringLiteral("after"), json::text(c.after)});
    return o;
}

json::Value changesJson(const std::vector<archive::TreeChange>& changes) {
    json::Value list = json::array();
    for (const archive::TreeChange& c : changes) list.array.push_back(changeJson(c));
    return list;
}

int diff(const QString& connstr, const QString& computer, const QList<qint64>& ids, bool json) {
    // Only what is needed: the two latest, the latest, or none (the ids name both).
    std::optional<archive::StoredScan> older, newer;
    if (ids.size() < 2) {
        const std::optional<std::vector<archive::ArchivedScan>> scans =
            lastScans(connstr, computer, 2 - int(ids.size()));
        if (!scans) return 1;
        if (ids.isEmpty() && scans->size() < 2) {
            printLine(stderr, QStringLiteral(
                                  "计算机 %1 在档案中只有一次完整检测（编号 %2），没有可以比较的")
                                  .arg(computer)
                                  .arg(scans->front().id));
            return 1;
        }
        newer = archive::loadScan(connstr, scans->back().id);
        if (ids.isEmpty()) older = archive::loadScan(connstr, scans->front().id);
    }
    if (!ids.isEmpty()) older = archive::loadScan(connstr, ids[0]);
    if (ids.size() > 1) newer = archive::loadScan(connstr, ids[1]);
    for (const archive::StoredScan* s : {&*older, &*newer})
        if (s->entry.computer.compare(computer, Qt::CaseInsensitive) != 0) {
            printLine(stderr, QStringLiteral("编号 %1 不是计算机 %2 的完整检测，而是 %3 的")
                                  .arg(s->entry.id)
                                  .arg(computer, common::displayLine(s->entry.computer)));
            return 1;
        }
    const std::vector<archive::TreeChange> changes = archive::diffTrees(
        archive::replayScan(older->answers).tree, archive::replayScan(newer->answers).tree);
    using Kind = archive::TreeChange::Kind;
    if (json) {
        print(stdout, json::write(json::object(
                          {{QStringLiteral("computer"), json::text(newer->entry.computer)},
                           {QStringLiteral("from"), scanJson(older->entry)},
                           {QStringLiteral("to"), scanJson(newer->entry)},
                           {QStringLiteral("changes"), changesJson(changes)}})));
        return 0;
    }
    printLine(stdout, QStringLiteral("计算机 %1：%2 → %3")
                          .arg(common::displayLine(newer->entry.computer), scanTitle(older->entry),
                               scanTitle(newer->entry)));
    if (changes.empty()) {
        printLine(stdout, QStringLiteral("两次检测的配置树相同。"));
        return 0;
    }
    int counts[3] = {0, 0, 0};
    QString category = QStringLiteral("\n");  // no category's key
    for (const archive::TreeChange& c : changes) {
        if (c.categoryKey != category) {
            category = c.categoryKey;
            printLine(stdout, common::displayLine(c.category));
        }
        ++counts[static_cast<int>(c.kind)];
        const QString before = common::displayLine(c.before), after = common::displayLine(c.after);
        switch (c.kind) {
            case Kind::Added:
                printLine(stdout, QStringLiteral("  + [%1] %2").arg(c.key, after));
                break;
            case Kind::Removed:
                printLine(stdout, QStringLiteral("  - [%1] %2").arg(c.key, before));
                break;
            case Kind::Changed:
                printLine(stdout, QStringLiteral("  ~ [%1] %2 → %3").arg(c.key, before, after));
                break;
        }
    }
    printLine(stdout, QStringLiteral("共 %1 行不同：增加 %2 行，删除 %3 行，变更 %4 行。")
                          .arg(changes.size())
                          .arg(counts[0])
                          .arg(counts[1])
                          .arg(counts[2]));
    return 0;
}

const char* programChangeName(archive::ProgramChange::Kind kind) {
    using Kind = archive::ProgramChange::Kind;
    switch (kind) {
        case Kind::Installed:
            return "installed";
        case Kind::Removed:
            return "removed";
        case Kind::Upgraded:
            return "upgraded";
        case Kind::Downgraded:
            return "downgraded";
        case Kind::Changed:
            break;
    }
    return "changed";
}

// The programs' changes of a pair; null where either scan was kept without programs.
json::Value softwareJson(const std::optional<std::vector<archive::ProgramChange>>& software) {
    if (!software) return json::null();
    json::Value list = json::array();
    for (const archive::ProgramChange& c : *software) {
        json::Value o = json::object(
            {{QStringLiteral("change"), json::text(QString::fromLatin1(programChangeName(c.kind)))},
             {QStringLiteral("name"), json::text(c.name)},
             {QStringLiteral("source"), json::text(c.source)},
             {QStringLiteral("architecture"), json::text(c.architecture)}});
        if (c.kind != archive::ProgramChange::Kind::Installed)
            o.object.push_back({QStringLiteral("before"), json::text(c.before)});
        if (c.kind != archive::ProgramChange::Kind::Removed)
            o.object.push_back({QStringLiteral("after"), json::text(c.after)});
        list.array.push_back(std::move(o));
    }
    return list;
}

int changesAsJson(const archive::ChangeReport& r, const QDateTime& since, int changed) {
    json::Value pairs = json::array();
    for (const archive::ScanChanges& p : r.pairs) {
        if (!p.changed()) continue;
        pairs.array.push_back(
            json::object({{QStringLiteral("computer"), json::text(p.to.computer)},
                          {QStringLiteral("from"), scanJson(p.from)},
                          {QStringLiteral("to"), scanJson(p.to)},
                          {QStringLiteral("changes"), changesJson(p.changes)},
                          {QStringLiteral("software"), softwareJson(p.software)}}));
    }
    json::Value ignored = json::array();
    for (const QString& key : archive::volatileLines()) ignored.array.push_back(json::text(key));
    json::Value out = json::object({{QStringLiteral("fullScansKept"), json::boolean(r.tableExists)},
                                    {QStringLiteral("computers"), json::integer(r.computers)},
                                    {QStringLiteral("ignoredLines"), std::move(ignored)},
                                    {QStringLiteral("changes"), std::move(pairs)}});
    if (since.isValid())
        out.object.push_back({QStringLiteral("since"), json::text(timeText(since))});
    print(stdout, json::write(out));
    return changed ? 1 : 0;
}

void printTreeChange(const archive::TreeChange& c) {
    const QString before = common::displayLine(c.before), after = common::displayLine(c.after);
    const QString category = common::displayLine(c.category);
    switch (c.kind) {
        case archive::TreeChange::Kind::Added:
            printLine(stdout, QStringLiteral("  + %1 [%2] %3").arg(category, c.key, after));
            break;
        case archive::TreeChange::Kind::Removed:
            printLine(stdout, QStringLiteral("  - %1 [%2] %3").arg(category, c.key, before));
            break;
        case archive::TreeChange::Kind::Changed:
            printLine(stdout,
                      QStringLiteral("  ~ %1 [%2] %3 → %4").arg(category, c.key, before, after));
            break;
    }
}

// "  + 软件 [dpkg] vim 2:9.0.1378-2", "  ~ 软件 [rpm] bash 5.2.15-1 → 5.2.26-3（升级）".
void printProgramChange(const archive::ProgramChange& c) {
    using Kind = archive::ProgramChange::Kind;
    const QString head = QStringLiteral("软件 [%1] %2")
                             .arg(common::displayLine(c.source), common::displayLine(c.name));
    const QString before = common::displayLine(c.before), after = common::displayLine(c.after);
    if (c.kind == Kind::Installed || c.kind == Kind::Removed) {
        printLine(stdout,
                  QStringLiteral("  %1 %2 %3")
                      .arg(c.kind == Kind::Installed ? QStringLiteral("+") : QStringLiteral("-"))
                      .arg(head, c.kind == Kind::Installed ? after : before));
        return;
    }
    const QString how = c.kind == Kind::Upgraded     ? QStringLiteral("（升级）")
                        : c.kind == Kind::Downgraded ? QStringLiteral("（降级）")
                                                     : QStringLiteral("（版本写法改变）");
    printLine(stdout, QStringLiteral("  ~ %1 %2 → %3%4").arg(head, before, after, how));
}

// Exit status 1 when anything changed, so that a timer can act on it.
int changes(const QString& connstr, const QDateTime& since, bool json) {
    const archive::ChangeReport r = archive::archiveChanges(connstr, since);
    int changed = 0;
    for (const archive::ScanChanges& p : r.pairs) changed += p.changed() ? 1 : 0;
    if (json) return changesAsJson(r, since, changed);
    if (!r.tableExists) {
        printLine(stdout, kNoTable);
        return 0;
    }
    for (const archive::ScanChanges& p : r.pairs) {
        if (!p.changed()) continue;
        printLine(stdout,
                  QStringLiteral("计算机 %1：%2 → %3")
                      .arg(common::displayLine(p.to.computer), scanTitle(p.from), scanTitle(p.to)));
        for (const archive::TreeChange& c : p.changes) printTreeChange(c);
        if (!p.software)
            printLine(stdout,
                      QStringLiteral("  （两次检测中有一次保存时没有软件表，软件的变化不明）"));
        else
            for (const archive::ProgramChange& c : *p.software) printProgramChange(c);
    }
    printLine(stdout,
              QStringLiteral("%1 台计算机有两次以上的完整检测，其中 %2 次相邻检测之间有变化。")
                  .arg(r.computers)
                  .arg(changed));
    return changed ? 1 : 0;
}

struct ExportOptions {
    bool xlsx = false;
    bool software = false;  // the list of programs, as CSV
    QString output;         // empty: standard output
};

// The export in its format to standard output or its file: the problem, if any.
QString writeExport(const ExportOptions& o, const archive::ExportTable& table,
                    const archive::ExportTable& software, std::vector<CutCell>& cut) {
    const QString target = o.output.isEmpty() ? QStringLiteral("XLSX") : o.output;
    if (o.xlsx) {
        QTemporaryDir scratch;
        const QString path =
            o.output.isEmpty() ? scratch.filePath(QStringLiteral("archive.xlsx")) : o.output;
        QString problem = QStringLiteral("无法建立临时目录");
        if (!scratch.isValid() ||
            !writeXlsx({{"档案", &table}, {"软件", &software}}, path, cut, problem))
            return QStringLiteral("无法写入 %1：%2").arg(target, problem);
        if (o.output.isEmpty()) {
            QFile f(path);
            if (!f.open(QIODevice::ReadOnly))
                return QStringLiteral("无法读取 %1：%2").arg(path, f.errorString());
            print(stdout, f.readAll());
        }
        return {};
    }
    const QByteArray csv = archive::toCsv(o.software ? software : table);
    if (o.output.isEmpty()) {
        print(stdout, csv);
        return {};
    }
    QSaveFile f(o.output);
    if (!f.open(QIODevice::WriteOnly) || f.write(csv) < 0 || !f.commit())
        return QStringLiteral("无法写入 %1：%2").arg(o.output, f.errorString());
    return {};
}

int exportArchive(const QString& connstr, const ExportOptions& o) {
    archive::ExportTable software;
    const archive::ExportTable table =
        archive::exportTable(connstr, o.xlsx || o.software ? &software : nullptr);
    std::vector<CutCell> cut;
    if (const QString problem = writeExport(o, table, software, cut); !problem.isEmpty()) {
        printLine(stderr, problem);
        return 1;
    }
    if (!o.output.isEmpty())
        printLine(
            stderr,
            o.software
                ? QStringLiteral("已导出 %1 个软件（每台计算机最后一次保存）到 %2")
                      .arg(software.rows.size())
                      .arg(o.output)
                : QStringLiteral("已导出 %1 台计算机到 %2").arg(table.rows.size()).arg(o.output));
    // A value cut to fit its cell is no silent loss: each is named, and the export fails.
    for (const CutCell& c : cut)
        printLine(stderr,
                  QStringLiteral("“%1”页中计算机 %2 的“%3”有 %4 个字符，超过 XLSX 单元格的上限 "
                                 "%5，已截断并在单元格末尾注明；完整的值见 CSV 导出。")
                      .arg(c.sheet == 0 ? QStringLiteral("档案") : QStringLiteral("软件"),
                           common::displayLine(
                               (c.sheet == 0 ? table : software).rows[size_t(c.row - 1)].value(0)),
                           c.column)
                      .arg(c.length)
                      .arg(kXlsxCellLimit));
    return cut.empty() ? 0 : 1;
}

struct ShowOptions {
    bool json = false;
    bool software = false;  // the table of programs instead of the tree
    bool report = false;
    QString reportDir;
};

int show(const QString& connstr, qint64 id, const ShowOptions& o) {
    const archive::StoredScan stored = archive::loadScan(connstr, id);
    archive::Replay replay = archive::replayScan(stored.answers);
    if (o.json) {
        // The programs kept with the scan, as scan --json gives them.
        wmi::StoreService answers(stored.answers);
        const Programs programs = readPrograms(answers);
        print(stdout, scanToJson(replay.tree, replay.record, &programs));
    } else if (o.software) {
        wmi::StoreService answers(stored.answers);
        printText(stdout, softwareTable(readPrograms(answers)));
    } else
        printText(stdout, QString::fromUtf8(scanToOutline(replay.tree)));
    if (!o.report) return 0;
    report::ExportOptions options;
    options.directory = o.reportDir;
    const report::ExportResult r =
        report::exportReport(replay.tree, replay.record, stored.entry.computer, options);
    printLine(stderr, r.message());
    return r.ok() ? 0 : 1;
}

json::Value holderJson(const archive::ProgramHolder& h) {
    return json::object({{QStringLiteral("computer"), json::text(h.scan.computer)},
                         {QStringLiteral("scan"), scanJson(h.scan)},
                         {QStringLiteral("name"), json::text(h.program.name)},
                         {QStringLiteral("version"), json::text(h.program.version)},
                         {QStringLiteral("architecture"), json::text(h.program.architecture)},
                         {QStringLiteral("source"), json::text(h.program.source)},
                         {QStringLiteral("vendor"), json::text(h.program.vendor)}});
}

// archive software: status 0 when some computer has the program, 1 when none.
int software(const QString& connstr, const QString& name, const std::optional<QString>& below,
             bool json) {
    const archive::ProgramSearch r = archive::findProgram(connstr, name, below);
    const int status = r.holders.empty() ? 1 : 0;
    if (json) {
        json::Value list = json::array();
        for (const archive::ProgramHolder& h : r.holders) list.array.push_back(holderJson(h));
        print(stdout, json::write(json::object(
                          {{QStringLiteral("name"), json::text(name)},
                           {QStringLiteral("below"), below ? json::text(*below) : json::null()},
                           {QStringLiteral("fullScansKept"), json::boolean(r.tableExists)},
                           {QStringLiteral("computers"), json::integer(r.computers)},
                           {QStringLiteral("unknown"), json::integer(r.unknown)},
                           {QStringLiteral("holders"), std::move(list)}})));
        return status;
    }
    if (!r.tableExists) {
        printLine(stderr, kNoTable);
        return 1;
    }
    printLine(stdout, QStringLiteral("计算机名\t版本\t架构\t来源\t完整检测"));
    for (const archive::ProgramHolder& h : r.holders)
        printLine(stdout, QStringLiteral("%1\t%2\t%3\t%4\t%5")
                              .arg(common::displayLine(h.scan.computer),
                                   common::displayLine(h.program.version),
                                   common::displayLine(h.program.architecture),
                                   common::displayLine(h.program.source), scanTitle(h.scan)));
    QString summary =
        QStringLiteral("%1 台计算机装有 %2%3（共查看 %4 台计算机的最后一次完整检测）")
            .arg(r.holders.size())
            .arg(common::displayLine(name),
                 below ? QStringLiteral(" 且版本低于 %1").arg(common::displayLine(*below))
                       : QString())
            .arg(r.computers);
    if (r.unknown > 0)
        summary += QStringLiteral("；其中 %1 台保存时没有软件表，不知道").arg(r.unknown);
    printLine(stdout, summary + QStringLiteral("。"));
    return status;
}

// The verbs that read what the archive keeps: how many words each takes (its own among them)
// and whether --json and --report go with it.
struct Reading {
    QStringView verb;
    qsizetype least, most;
    bool json, report;
};
constexpr Reading kReadings[] = {{u"history", 2, 2, true, false}, {u"diff", 2, 4, true, false},
                                 {u"show", 2, 2, true, true},     {u"changes", 1, 1, true, false},
                                 {u"export", 1, 1, false, false}, {u"software", 2, 2, true, false}};

// A scan's number as typed; nullopt for anything but a positive whole number.
std::optional<qint64> scanId(const QString& text) {
    bool ok = false;
    const qint64 id = text.toLongLong(&ok);
    if (!ok || id <= 0) return std::nullopt;
    return id;
}

}  // namespace

std::optional<QString> archiveConnection(const std::optional<QString>& option,
                                         const QString& passwordFile, QString& problem) {
    if (option && archive::namesPassword(*option))
        printLine(
            stderr,
            QStringLiteral("警告：--archive 的连接字符串中含有密码，这台计算机的其他用户能看到它；"
                           "请改用 --archive-password-file 文件或环境变量 "
                           "QELTO_ARCHIVE_PASSWORD。"));
    QStringList optionArgs;
    if (option) optionArgs << QStringLiteral("--archive") << *option;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Read once: no program started from here on inherits the variable.
    wmi::takeFromEnvironment(archive::kArchivePasswordVariable);
    if (passwordFile.isEmpty()) return archive::effectiveConnectionString(optionArgs, env);

    // The file comes before the variable.
    env.remove(QLatin1String(archive::kArchivePasswordVariable));
    const std::optional<QString> connstr = archive::effectiveConnectionString(optionArgs, env);
    QString reason;
    const std::optional<QByteArray> bytes = common::readInputFile(passwordFile, 65536, reason);
    if (!bytes) {
        problem = QStringLiteral("无法读取密码文件 %1：%2").arg(passwordFile, reason);
        return std::nullopt;
    }
    QByteArray line = bytes->left(bytes->indexOf('\n'));
    if (line.endsWith('\r')) line.chop(1);
    return archive::withPassword(*connstr, QString::fromUtf8(line));
}

namespace {

// One call of `archive` as the command line asked for it.
struct ArchiveCall {
    QStringList args;  // the verb and its operands
    QString verb;
    bool json = false;
    ShowOptions show;
    ExportOptions exported;
    QDateTime since;
    std::optional<QString> below;  // software
    QList<qint64> ids;             // the scans named (show, diff)
};

// --since, taken by changes only: the problem, if any.
QString readSince(const common::ParsedLine& parsed, ArchiveCall& call) {
    const std::optional<QString> text = parsed.optionalValue(QStringLiteral("--since"));
    if (!text) return {};
    if (call.verb != u"changes") return QStringLiteral("--since 只用于 changes");
    call.since = common::timeArgument(*text, QDateTime::currentDateTime());
    if (call.since.isValid()) return {};
    return QStringLiteral("“%1”不是日期、时间或时长（例如 2026-12-01 或 7d）").arg(*text);
}

// --software and --below, each for its verbs: the problem, if any.
QString readSoftwareOptions(const common::ParsedLine& parsed, const ArchiveCall& call) {
    if (call.below && call.verb != u"software") return QStringLiteral("--below 只用于 software");
    if (call.below && call.below->trimmed().isEmpty()) return QStringLiteral("版本不能为空");
    if (!parsed.isSet(QStringLiteral("--software"))) return {};
    if (call.verb != u"show" && call.verb != u"export")
        return QStringLiteral("--software 只用于 show 和 export");
    if (call.json) return QStringLiteral("--software 不能与 --json 同用（--json 已含软件）");
    if (call.exported.xlsx)
        return QStringLiteral("--software 导出 CSV，不能与 --xlsx 同用（XLSX 的“软件”页即是它）");
    return {};
}

// What the reading verbs (history, diff, show, changes, export, software) take: the problem, if
// any.
QString readOperands(const Reading& reading, const QString& reportTyped, ArchiveCall& call) {
    const QStringList& args = call.args;
    if (args.size() < reading.least || args.size() > reading.most)
        return QStringLiteral("无法理解的参数：%1").arg(args.join(u' '));
    if (reading.least > 1 && args[1].trimmed().isEmpty())
        return call.verb == u"show"       ? QStringLiteral("编号不能为空")
               : call.verb == u"software" ? QStringLiteral("软件名称不能为空")
                                          : QStringLiteral("计算机名不能为空");
    for (qsizetype i = call.verb == u"show" ? 1 : 2; i < args.size(); ++i) {
        const std::optional<qint64> id = scanId(args[i]);
        if (!id) return QStringLiteral("“%1”不是完整检测的编号").arg(args[i]);
        call.ids << *id;
    }
    if (call.show.report && !reading.report)
        return QStringLiteral("%1 只用于 show").arg(reportTyped);
    if (call.json && !reading.json) return QStringLiteral("export 没有 --json");
    return {};
}

// Everything the verbs take, checked before the archive is opened: the problem, if any.
QString readCall(const common::ParsedLine& parsed, ArchiveCall& call) {
    call.args = parsed.operands;
    call.verb = call.args.value(0);
    call.json = parsed.isSet(QStringLiteral("--json"));
    call.show = ShowOptions{call.json, false, false, {}};
    call.show.report = reportDirectory(parsed, call.show.reportDir);
    const bool programs = parsed.isSet(QStringLiteral("--software"));
    call.show.software = programs;
    call.exported = ExportOptions{parsed.typed(QStringLiteral("--csv")) == u"--xlsx", programs,
                                  parsed.value(QStringLiteral("--output"))};
    call.below = parsed.optionalValue(QStringLiteral("--below"));
    if (const QString problem = readSince(parsed, call); !problem.isEmpty()) return problem;
    if (const QString problem = readSoftwareOptions(parsed, call); !problem.isEmpty())
        return problem;
    // A usage error names the option as it was typed.
    for (const char* exportOnly : {"--csv", "--output"})
        if (parsed.isSet(QLatin1String(exportOnly)) && call.verb != u"export")
            return QStringLiteral("%1 只用于 export").arg(parsed.typed(QLatin1String(exportOnly)));
    const QString reportTyped = parsed.isSet(QStringLiteral("--report-dir"))
                                    ? QStringLiteral("--report-dir")
                                    : QStringLiteral("--report");
    const auto reading = std::find_if(std::begin(kReadings), std::end(kReadings),
                                      [&](const Reading& r) { return call.verb == r.verb; });
    if (reading != std::end(kReadings)) return readOperands(*reading, reportTyped, call);
    if (call.json) return QStringLiteral("--json 只用于 history、diff、show、changes 和 software");
    if (call.show.report) return QStringLiteral("%1 只用于 show").arg(reportTyped);
    if (call.args.size() == 3 && call.args[0] == u"people" && call.args[1] == u"import" &&
        call.args[2].isEmpty())
        return QStringLiteral("CSV 文件名不能为空");
    return {};
}

// archive people add and import: the exit status, or nullopt for another verb.
std::optional<int> peopleVerb(const QString& connstr, const QStringList& args) {
    if (args.size() == 4 && args[0] == u"people" && args[1] == u"add") {
        const QString department = textArgument(args[2]).trimmed();
        const QString person = textArgument(args[3]).trimmed();
        if (department.isEmpty() || person.isEmpty())
            return usage(QStringLiteral("部门和使用人都不能为空"));
        if (archive::addPerson(connstr, department, person))
            printLine(stdout, QStringLiteral("已加入：%1 %2").arg(department, person));
        else
            printLine(stdout, QStringLiteral("已跳过：%1 %2 已在档案中").arg(department, person));
        return 0;
    }
    if (args.size() == 3 && args[0] == u"people" && args[1] == u"import") {
        const archive::ImportResult r = archive::importPeople(
            connstr, args[2], common::charsetOfLocale(common::localeNameFromEnvironment()));
        printLine(stdout, importSummary(r));
        return 0;
    }
    return std::nullopt;
}

// The verb on the archive; throws ArchiveError.
int runCall(const QString& connstr, const ArchiveCall& call) {
    const QStringList& args = call.args;
    if (args.size() == 1 && args[0] == u"init") {
        archive::initArchive(connstr);
        printLine(stdout, QStringLiteral("档案已就绪：%1")
                              .arg(archive::parseConnectionString(connstr).describe()));
        return 0;
    }
    if (const std::optional<int> status = peopleVerb(connstr, args)) return *status;
    if (call.verb == u"changes") return changes(connstr, call.since, call.json);
    if (call.verb == u"export") return exportArchive(connstr, call.exported);
    if (call.verb == u"history")
        return history(connstr, textArgument(args[1]).trimmed(), call.json);
    if (call.verb == u"diff")
        return diff(connstr, textArgument(args[1]).trimmed(), call.ids, call.json);
    if (call.verb == u"show") return show(connstr, call.ids[0], call.show);
    if (call.verb == u"software")
        return software(connstr, textArgument(args[1]).trimmed(), call.below, call.json);
    return usage(args.isEmpty() ? QString()
                                : QStringLiteral("无法理解的参数：%1").arg(args.join(u' ')));
}

}  // namespace

int archiveCommand(const QStringList& allArgs) {
    int status = 0;
    const auto parsed = readArguments(archiveLine(), allArgs, status);
    if (!parsed) return status;
    ArchiveCall call;
    if (const QString problem = readCall(*parsed, call); !problem.isEmpty()) return usage(problem);
    QString problem;
    const std::optional<QString> connstr =
        archiveConnection(parsed->optionalValue(QStringLiteral("--archive")),
                          parsed->value(QStringLiteral("--archive-password-file")), problem);
    if (!connstr) {
        printLine(stderr, problem);
        return 1;
    }
    try {
        return runCall(*connstr, call);
    } catch (const archive::ArchiveError& e) {
        printLine(stderr, e.message());
        return 1;
    }
}

}  // namespace qelto::cli
