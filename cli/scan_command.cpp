// qelto-cli scan: connects like the window does and prints the tree and the scan record.

#include "commands.h"
#include "connection.h"
#include "scanjson.h"

#include "archive/archive.h"
#include "report/report.h"
#include "scan/host.h"
#include "wmi/error.h"
#include "wmi/snapshot.h"
#include "wmi/sources.h"

#include <QDir>
#include <QLocale>
#include <QSysInfo>

namespace qelto::cli {

namespace {

const char kUsage[] =
    "用法：qelto-cli scan [主机] [--snapshot 文件] [--user 用户名] [--json] [--verbose]\n"
    "  检测一台计算机并输出配置树；--json 输出树和检测记录的 JSON\n"
    "  --snapshot 文件     从快照文件（JSON）检测，而不是连接主机\n"
    "  --verbose           在标准错误输出上报告连接和检测用的时间、无法执行的查询和无法读取的值\n"
    "  --report            把检测报告写入主目录 $HOME 中的“计算机名.doc”\n"
    "  --report-dir 目录   把检测报告写入这个目录（也可写成 --report=目录）\n"
    "  --save --department 部门 --person 使用人 [--archive 连接字符串]\n"
    "                      把这次检测的摘要存入档案（也可由环境变量 QELTO_ARCHIVE 指定档案）\n"
    "  --archive-password-file 文件\n"
    "                      档案服务器的密码（文件的第一行）；也可用环境变量 "
    "QELTO_ARCHIVE_PASSWORD\n"
    "  --                  其后的参数都不是选项（例如以“-”开头的主机名）\n";

int usage(const QString& problem) {
    if (!problem.isEmpty()) printLine(stderr, problem);
    printText(stderr, QString::fromUtf8(kUsage) + QString::fromUtf8(kConnectionUsage));
    return 2;
}

struct ScanOptions {
    ConnectionOptions connection;
    QString snapshot;
    bool json = false;
    bool verbose = false;
    bool report = false;
    QString reportDir;  // empty: the home directory
    bool save = false;
    QString department, person;
    std::optional<QString> archive;
    QString archivePasswordFile;
};

// After the scan: the report and the archive row, when asked for. Messages go to stderr so that
// stdout keeps the tree alone. Returns 0, or 1 when something failed.
int afterScan(const ScanOptions& o, const scan::InventoryTree& tree, scan::ScanRecord& record) {
    int status = 0;
    if (o.report) {
        report::ExportOptions options;
        options.directory = o.reportDir;
        const QString host = o.connection.host.trimmed();
        const report::ExportResult r = report::exportReport(
            tree, record, host.isEmpty() ? QStringLiteral(".") : host, options);
        printLine(stderr, r.message());
        if (!r.ok()) status = 1;
    }
    if (o.save) {
        // As the export: without the root line the tree is empty, and there is nothing to store.
        if (tree.count() == 0) {
            printLine(stderr, QStringLiteral("检测到无数据，无法保存"));
            return 1;
        }
        // The computer that records the scan is this one, whatever was scanned or replayed: its
        // name up to the first dot, as the local source and the window name it.
        record.sendmail = wmi::Variant(QSysInfo::machineHostName().section(u'.', 0, 0));
        QString problem;
        const std::optional<QString> connstr =
            archiveConnection(o.archive, o.archivePasswordFile, problem);
        if (!connstr) {
            printLine(stderr, QStringLiteral("保存失败：%1").arg(problem));
            return 1;
        }
        try {
            const QStringList leftOut = archive::saveRecord(*connstr, textArgument(o.department),
                                                            textArgument(o.person), record);
            printLine(stderr, QStringLiteral("保存成功！"));
            if (!leftOut.isEmpty())
                printLine(stderr, QStringLiteral("档案的 info 表没有这些列，它们未被保存：") +
                                      leftOut.join(QStringLiteral("、")));
        } catch (const archive::ArchiveError& e) {
            printLine(stderr, QStringLiteral("保存失败：%1").arg(e.message()));
            status = 1;
        }
    }
    return status;
}

// One line of --verbose about something the scan could not do.
QString problemText(const scan::Problem& p) {
    const QString number = QStringLiteral("0x%1").arg(p.number, 8, 16, QLatin1Char('0'));
    switch (p.kind) {
        case scan::Problem::Kind::Query:
            return QStringLiteral("查询失败（%1）：%2：%3").arg(number, p.query, p.description);
        case scan::Problem::Kind::Value:
            if (p.property.isEmpty()) return p.description;
            return QStringLiteral("无法读取的值（%1）：%2 的第 %3 个对象的 %4：%5")
                .arg(number, p.query)
                .arg(p.object)
                .arg(p.property, p.description);
        case scan::Problem::Kind::TreeFull:
            break;
    }
    return p.description;
}

// A snapshot's problem with the file named: "快照文件第 1 行第 1 列：…" becomes
// "快照文件“name”第 1 行第 1 列：…"; a message that names the file already stays as it is.
QString snapshotProblem(const QString& message, const QString& file) {
    const QString prefix = QStringLiteral("快照文件");
    if (!message.startsWith(prefix)) return message;
    return prefix + QStringLiteral("“%1”").arg(QDir::toNativeSeparators(file)) +
           message.mid(prefix.size());
}

}  // namespace

int scanCommand(const QStringList& args) {
    ScanOptions o;
    bool options = true;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&](QString& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return true;
        };
        if (options && a == u"--") {
            options = false;
            continue;
        }
        if (!options) {
            if (!o.connection.host.isNull()) return usage(QStringLiteral("多余的参数：%1").arg(a));
            o.connection.host = a;
            continue;
        }
        QString problem;
        const Taken taken = takeConnectionOption(args, i, o.connection, problem);
        if (taken == Taken::Bad) return usage(problem);
        if (taken == Taken::Yes) continue;
        if (a == u"--help" || a == u"-h") {
            printText(stdout, QString::fromUtf8(kUsage) + QString::fromUtf8(kConnectionUsage));
            return 0;
        } else if (a == u"--json") {
            o.json = true;
        } else if (a == u"--verbose" || a == u"-v") {
            o.verbose = true;
        } else if (a == u"--snapshot") {
            if (!value(o.snapshot)) return usage(QStringLiteral("--snapshot 需要一个文件名"));
            if (o.snapshot.isEmpty()) return usage(QStringLiteral("--snapshot 的文件名不能为空"));
        } else if (a == u"--report") {
            // Never takes the next argument, which may be the host.
            o.report = true;
        } else if (a.startsWith(u"--report=") || a == u"--report-dir") {
            o.report = true;
            if (a == u"--report-dir" && !value(o.reportDir))
                return usage(QStringLiteral("--report-dir 需要一个目录"));
            if (a != u"--report-dir") o.reportDir = a.mid(9);
            if (o.reportDir.isEmpty())
                return usage(QStringLiteral("%1 的目录不能为空").arg(a.section(u'=', 0, 0)));
        } else if (a == u"--save") {
            o.save = true;
        } else if (a == u"--department") {
            if (!value(o.department)) return usage(QStringLiteral("--department 需要一个部门"));
        } else if (a == u"--person") {
            if (!value(o.person)) return usage(QStringLiteral("--person 需要一个使用人"));
        } else if (a == u"--archive") {
            if (!value(o.archive.emplace()))
                return usage(QStringLiteral("--archive 需要一个连接字符串"));
        } else if (a == u"--archive-password-file") {
            if (!value(o.archivePasswordFile) || o.archivePasswordFile.isEmpty())
                return usage(QStringLiteral("--archive-password-file 需要一个文件名"));
        } else if (a.startsWith(u'-')) {
            return usage(QStringLiteral("未知选项：%1").arg(a));
        } else if (o.connection.host.isNull()) {
            o.connection.host = a;
        } else {
            return usage(QStringLiteral("多余的参数：%1").arg(a));
        }
    }
    if (o.save && (o.department.isNull() || o.person.isNull()))
        return usage(QStringLiteral("--save 需要 --department 和 --person"));

    std::shared_ptr<const wmi::InstanceStore> snapshot;
    if (!o.snapshot.isEmpty()) {
        try {
            snapshot = wmi::loadSnapshot(o.snapshot);
        } catch (const wmi::SnapshotError& e) {
            printLine(stderr, snapshotProblem(e.message(), o.snapshot));
            return 1;
        }
    }
    QString problem;
    const auto request = makeRequest(o.connection, problem);
    if (!request) {
        printLine(stderr, problem);
        return 1;
    }
    wmi::SourceConnector connector(snapshot);
    scan::ScanRecord start;
    start.clearForScan();
    scan::HostScan result = scan::scanHost(connector, *request, std::move(start));
    if (result.error) {
        reportConnectFailure(*result.error, request->host);
        return 1;
    }
    if (o.verbose) {
        printLine(stderr, QStringLiteral("连接用时 %1 毫秒，检测用时 %2 毫秒")
                              .arg(result.connectTime.count())
                              .arg(result.scanTime.count()));
        for (const auto& p : result.problems) printLine(stderr, problemText(p));
    }
    print(stdout,
          o.json ? cli::scanToJson(result.tree, result.record) : cli::scanToOutline(result.tree));
    return afterScan(o, result.tree, result.record);
}

}  // namespace qelto::cli
