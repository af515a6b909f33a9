// qelto-cli dump: records the answers of one machine in the snapshot format, so that it can be
// scanned again later with `qelto-cli scan --snapshot`.

#include "commands.h"
#include "connection.h"

#include "report/savefile.h"
#include "wmi/error.h"
#include "wmi/snapshot.h"
#include "wmi/sources.h"
#include "wmi/store.h"

namespace qelto::cli {

namespace {

const char kDumpUsage[] =
    "用法：qelto-cli dump [主机] [-o 文件] [--user 用户名]\n"
    "  把一台计算机（默认本机）所有类的回答写成快照文件（JSON），供 scan --snapshot 使用\n"
    "  -o, --output 文件   写入该文件（默认标准输出）：完整写入后才替换原有文件；\n"
    "                      不写入符号链接或其他非普通文件\n"
    "  --                  其后的参数都不是选项（例如以“-”开头的主机名）\n";

int dumpUsage(const QString& problem) {
    if (!problem.isEmpty()) printLine(stderr, problem);
    printText(stderr, QString::fromUtf8(kDumpUsage) + QString::fromUtf8(kConnectionUsage));
    return 2;
}

}  // namespace

int dumpCommand(const QStringList& args) {
    ConnectionOptions connection;
    QString output;
    bool options = true;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (options && a == u"--") {
            options = false;
            continue;
        }
        if (!options) {
            if (!connection.host.isNull())
                return dumpUsage(QStringLiteral("多余的参数：%1").arg(a));
            connection.host = a;
            continue;
        }
        QString problem;
        const Taken taken = takeConnectionOption(args, i, connection, problem);
        if (taken == Taken::Bad) return dumpUsage(problem);
        if (taken == Taken::Yes) continue;
        if (a == u"--help" || a == u"-h") {
            printText(stdout, QString::fromUtf8(kDumpUsage) + QString::fromUtf8(kConnectionUsage));
            return 0;
        } else if (a == u"-o" || a == u"--output") {
            if (i + 1 >= args.size()) return dumpUsage(QStringLiteral("%1 需要一个文件名").arg(a));
            output = args[++i];
            if (output.isEmpty()) return dumpUsage(QStringLiteral("%1 的文件名不能为空").arg(a));
        } else if (a.startsWith(u'-')) {
            return dumpUsage(QStringLiteral("未知选项：%1").arg(a));
        } else if (connection.host.isNull()) {
            connection.host = a;
        } else {
            return dumpUsage(QStringLiteral("多余的参数：%1").arg(a));
        }
    }

    QString problem;
    const auto request = makeRequest(connection, problem);
    if (!request) {
        printLine(stderr, problem);
        return 1;
    }
    wmi::SourceConnector connector;
    const std::unique_ptr<wmi::Service> service = connectOrReport(connector, *request);
    if (!service) return 1;
    // Every source that gathers its answers first keeps them in a store; that is what is written.
    const wmi::InstanceStore* stored = service->answers();
    if (!stored) {
        printLine(stderr,
                  QStringLiteral("无法记录主机 %1：该来源不能整体导出。").arg(request->host));
        return 1;
    }
    const QByteArray json = wmi::writeSnapshot(*stored);
    if (output.isEmpty()) {
        print(stdout, json);
        return 0;
    }
    const QString failure = report::replaceFile(output, json);
    if (!failure.isEmpty()) {
        printLine(stderr,
                  QStringLiteral("无法写入文件 %1：%2。原有文件保持不变。").arg(output, failure));
        return 1;
    }
    return 0;
}

}  // namespace qelto::cli
