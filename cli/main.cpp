// qelto-cli: the scan without a window.

#include "commands.h"

#include "wmi/snapshot.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>
#include <new>

namespace qelto::cli {

namespace {

// The error of the first write to standard output that failed; 0 while all went well.
int stdoutError = 0;

}  // namespace

void print(FILE* to, const QByteArray& bytes) {
    if (std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to) !=
            static_cast<size_t>(bytes.size()) &&
        to == stdout && stdoutError == 0)
        stdoutError = errno ? errno : EIO;
}

void printLine(FILE* to, const QString& text) {
    print(to, (text + u'\n').toUtf8());
}

}  // namespace qelto::cli

namespace {

QStringList argumentsOf(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) args << qelto::wmi::fileNameFromNative(QByteArray(argv[i]));
    return args;
}

bool verboseRequested(const QStringList& args) {
    for (const QString& a : args) {
        if (a == u"--") break;
        if (a == u"--verbose" || a == u"-v") return true;
    }
    return false;
}

struct Command {
    const char* name;
    int (*run)(const QStringList& args);
    const char* summary;
};

const Command kCommands[] = {
    {"scan", qelto::cli::scanCommand, "检测一台计算机（本机、远程主机或快照文件）并输出配置树"},
    {"dump", qelto::cli::dumpCommand, "把一台计算机所有类的回答记录为快照文件"},
    {"archive", qelto::cli::archiveCommand, "建立档案，维护档案中的部门和使用人"},
};

int usage() {
    QByteArray text = "用法：qelto-cli <命令> [参数]\n\n命令：\n";
    for (const Command& c : kCommands)
        text +=
            QByteArray("  ") + c.name + QByteArray(10 - qstrlen(c.name), ' ') + c.summary + '\n';
    text += "\n“qelto-cli <命令> --help”显示该命令的用法。\n";
    qelto::cli::print(stderr, text);
    return 2;
}

// Qt's own warnings (from its SQL drivers, its locale set-up…) are for developers: they reach the
// terminal only with --verbose, so that stderr holds this program's messages alone.
bool showQtMessages = false;

void qtMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!showQtMessages && type != QtFatalMsg) return;
    qelto::cli::print(stderr, (qFormatLogMessage(type, context, message) + u'\n').toUtf8());
}

int run(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Not app.arguments(): that replaces bytes that are not UTF-8 (file names may hold them).
    QStringList args = argumentsOf(argc, argv);
    if (args.isEmpty() || args[0] == u"--help" || args[0] == u"-h") return usage();
    const QString name = args.takeFirst();
    for (const Command& c : kCommands) {
        if (name != QLatin1String(c.name)) continue;
        try {
            return c.run(args);
        } catch (const std::bad_alloc&) {
            qelto::cli::printLine(stderr, QStringLiteral("内存不足，无法完成。"));
            return 1;
        }
    }
    qelto::cli::printLine(stderr, QStringLiteral("未知命令：%1").arg(name));
    return usage();
}

}  // namespace

int main(int argc, char** argv) {
    showQtMessages = verboseRequested(argumentsOf(argc, argv));
    qInstallMessageHandler(qtMessages);
    int status = run(argc, argv);
    // Every write to stdout is checked, the last (buffered) ones here: a full disk or /dev/full
    // must not pass for a complete tree or snapshot.
    errno = 0;
    if (std::fflush(stdout) != 0 && qelto::cli::stdoutError == 0)
        qelto::cli::stdoutError = errno ? errno : EIO;
    if (qelto::cli::stdoutError != 0) {
        qelto::cli::printLine(
            stderr,
            QStringLiteral("无法写入标准输出：%1").arg(qt_error_string(qelto::cli::stdoutError)));
        if (status == 0) status = 1;
    }
    return status;
}
