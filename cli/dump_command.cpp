// qelto-cli dump: records the answers of one machine in the snapshot format, so that it can be
// scanned again later with `qelto-cli scan --snapshot`.

#include "commands.h"
#include "connection.h"

#include "connect/connector.h"
#include "report/savefile.h"
#include "wmi/error.h"
#include "wmi/snapshot.h"
#include "wmi/store.h"

namespace qelto::cli {

namespace {

const common::CommandLine& dumpLine() {
    static const common::CommandLine line{
        .sections =
            {
                {.head = QStringLiteral("用法：qelto-cli dump [主机] [-o 文件] [--user 用户名]\n"
                                        "  把一台计算机（默认本机）所有类的回答写成快照文件"
                                        "（JSON），供 scan --snapshot 使用\n"),
                 .options = {helpOption(),
                             {.names = {QStringLiteral("--output"), QStringLiteral("-o")},
                              .valueName = QStringLiteral("文件"),
                              .description = QStringLiteral(
                                  "写入该文件（默认标准输出）：完整写入后才替换原有文件；\n"
                                  "不写入符号链接或其他非普通文件"),
                              .kind = common::ValueKind::File,
                              .empty = common::Empty::Refused,
                              .missingMessage = QStringLiteral("%1 需要一个文件名"),
                              .emptyMessage = QStringLiteral("%1 的文件名不能为空")},
                             endOfOptionsRow(QStringLiteral("主机名"))},
                 .column = 20},
                connectionSection(),
            },
        .maxOperands = 1};
    return line;
}

}  // namespace

int dumpCommand(const QStringList& args) {
    int status = 0;
    const auto parsed = readArguments(dumpLine(), args, status);
    if (!parsed) return status;
    ConnectionOptions connection;
    QString problem;
    if (!takeConnectionOptions(*parsed, connection, problem))
        return usageError(dumpLine(), problem);
    connection.host = parsed->operands.value(0);
    const QString output = parsed->value(QStringLiteral("--output"));

    const auto request = makeRequest(connection, problem);
    if (!request) {
        printLine(stderr, problem);
        return 1;
    }
    connect::SourceConnector connector;
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
