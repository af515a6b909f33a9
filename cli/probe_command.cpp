// qelto-cli probe: reaches each host and logs in as a scan would, gathers nothing, and tells how
// every candidate port fared, so that a failing scan can be understood.

#include "commands.h"
#include "connection.h"

#include "connect/connector.h"
#include "scan/host.h"
#include "wmi/error.h"

namespace qelto::cli {

namespace {

const common::CommandLine& probeLine() {
    static const common::CommandLine line{
        .sections = {
            {.head = QStringLiteral(
                 "用法：qelto-cli probe 主机… [--user 用户名]\n"
                 "  像检测一样连接并登录每台主机，但不收集任何信息：逐个端口说明结果（拒绝、"
                 "在时限内没有应答、\n"
                 "  重置、TLS 失败、服务器提供的登录方式），失败时提示常见原因。"
                 "每台主机都能检测时退出码为 0\n"),
             .options = {helpOption(), endOfOptionsRow(QStringLiteral("主机名"))},
             .column = 20},
            connectionSection(),
        }};
    return line;
}

}  // namespace

int probeCommand(const QStringList& args) {
    int status = 0;
    const auto parsed = readArguments(probeLine(), args, status);
    if (!parsed) return status;
    ConnectionOptions connection;
    QString problem;
    if (!takeConnectionOptions(*parsed, connection, problem))
        return usageError(probeLine(), problem);
    const QStringList& hosts = parsed->operands;
    if (hosts.isEmpty()) return usageError(probeLine(), QStringLiteral("请指定至少一台主机"));

    // The password, when one is needed, is asked once for every host.
    ConnectionOptions asked = connection;
    asked.host = hosts.size() == 1 ? hosts.first() : QStringLiteral("%1 台主机").arg(hosts.size());
    const auto base = makeRequest(asked, problem);
    if (!base) {
        printLine(stderr, problem);
        return 1;
    }
    connect::SourceConnector connector;
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
