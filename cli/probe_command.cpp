// qelto-cli probe: reaches each host and logs in as a scan would, gathers nothing, and tells how
// every candidate port fared, so that a failing scan can be understood.

#include "commands.h"
#include "connection.h"

#include "scan/host.h"
#include "wmi/error.h"
#include "wmi/sources.h"

namespace qelto::cli {

namespace {

const char kProbeUsage[] =
    "用法：qelto-cli probe 主机… [--user 用户名]\n"
    "  像检测一样连接并登录每台主机，但不收集任何信息：逐个端口说明结果（拒绝、在时限内没有应答、\n"
    "  重置、TLS 失败、服务器提供的登录方式），失败时提示常见原因。每台主机都能检测时退出码为 0\n"
    "  --                  其后的参数都不是选项（例如以“-”开头的主机名）\n";

int probeUsage(const QString& problem) {
    if (!problem.isEmpty()) printLine(stderr, problem);
    printText(stderr, QString::fromUtf8(kProbeUsage) + QString::fromUtf8(kConnectionUsage));
    return 2;
}

}  // namespace

int probeCommand(const QStringList& args) {
    ConnectionOptions connection;
    QStringList hosts;
    bool options = true;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (options && a == u"--") {
            options = false;
            continue;
        }
        if (!options || !a.startsWith(u'-')) {
            hosts << a;
            continue;
        }
        QString problem;
        const Taken taken = takeConnectionOption(args, i, connection, problem);
        if (taken == Taken::Bad) return probeUsage(problem);
        if (taken == Taken::Yes) continue;
        if (a == u"--help" || a == u"-h") {
            printText(stdout, QString::fromUtf8(kProbeUsage) + QString::fromUtf8(kConnectionUsage));
            return 0;
        }
        return probeUsage(QStringLiteral("未知选项：%1").arg(a));
    }
    if (hosts.isEmpty()) return probeUsage(QStringLiteral("请指定至少一台主机"));

    // The password, when one is needed, is asked once for every host.
    ConnectionOptions asked = connection;
    asked.host = hosts.size() == 1 ? hosts.first() : QStringLiteral("%1 台主机").arg(hosts.size());
    QString problem;
    const auto base = makeRequest(asked, problem);
    if (!base) {
        printLine(stderr, problem);
        return 1;
    }
    wmi::SourceConnector connector;
    int failed = 0;
    for (const QString& host : hosts) {
        wmi::ConnectRequest request = *base;
        request.host = host.trimmed();
        request.loginOnly = true;
        request.trace = [&host](const QString& line) {
            printLine(stdout, QStringLiteral("%1：%2").arg(host, line));
        };
        try {
            scan::connectHost(connector, request);
            printLine(stdout, QStringLiteral("%1：可以检测。").arg(host));
        } catch (const wmi::Error& e) {
            ++failed;
            reportConnectFailure(e, request.host, true);
        }
    }
    return failed ? 1 : 0;
}

}  // namespace qelto::cli
