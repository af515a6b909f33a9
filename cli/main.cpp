// qelto-cli: the scan without a window.

#include "batch.h"
#include "commands.h"

#include "archive/archive.h"
#include "common/charset.h"
#include "common/files.h"
#include "qelto_version.h"

#include <QCoreApplication>

#include <langinfo.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>

namespace qelto::cli {

namespace {

// The error of the first write to standard output that failed; 0 while all went well. After
// EPIPE (the reader has gone, as for `qelto-cli scan --json | head -1`) nothing more is written
// there and nothing is said about it: the program finishes its work quietly.
int stdoutError = 0;

// The character set of the user's terminal, as the report reads it from the locale's name (so it
// holds even where that locale is not generated); UTF-8 where the locale names none.
const QByteArray& terminalCharset() {
    static const QByteArray charset = [] {
        const QByteArray named = common::charsetOfLocale(common::localeNameFromEnvironment());
        return common::asciiCompatible(named) ? named : QByteArrayLiteral("UTF-8");
    }();
    return charset;
}

// `text` in the terminal's character set; the lone surrogates U+DC80 to U+DCFF that
// fileNameFromNative made of bytes that were not UTF-8 become those bytes again, so a file name
// in the locale's own character set is shown as the user typed it.
QByteArray terminalText(const QString& text) {
    const QByteArray& charset = terminalCharset();
    const bool utf8 = charset == "UTF-8";
    QByteArray out;
    qsizetype start = 0;
    const auto flush = [&](qsizetype end) {
        if (end <= start) return;
        const QString part = text.sliced(start, end - start);
        out += utf8 ? part.toUtf8() : common::encodeText(part, charset);
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            flush(i);
            out += char(c - 0xDC00);
            start = i + 1;
        }
    }
    flush(text.size());
    return out;
}

}  // namespace

void print(FILE* to, const QByteArray& bytes) {
    if (to == stdout && stdoutError == EPIPE) return;
    errno = 0;
    if (std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to) !=
            static_cast<size_t>(bytes.size()) &&
        to == stdout && stdoutError == 0)
        stdoutError = errno ? errno : EIO;
}

void printText(FILE* to, const QString& text) {
    // Messages quote values from other computers and archive servers: whatever a value holds,
    // it cannot act on the terminal.
    print(to, terminalText(common::displayLines(text)));
}

void printLine(FILE* to, const QString& text) {
    printText(to, text + u'\n');
}

QString textArgument(const QString& argument) {
    // UTF-8 first, as for a list of people: bytes that are not UTF-8 became lone surrogates.
    const QByteArray& charset = terminalCharset();
    if (charset == "UTF-8" || QStringView(argument).isValidUtf16()) return argument;
    qsizetype bad = 0;
    return common::decodeStrictly(common::nativeFileName(argument), charset, bad)
        .value_or(argument);
}

}  // namespace qelto::cli

namespace {

QStringList argumentsOf(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) args << qelto::common::fileNameFromNative(QByteArray(argv[i]));
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

constexpr Command kCommands[] = {
    {"scan", qelto::cli::scanCommand, "检测一台计算机（本机、远程主机或快照文件）并输出配置树"},
    {"dump", qelto::cli::dumpCommand, "把一台计算机所有类的回答记录为快照文件"},
    {"probe", qelto::cli::probeCommand, "连接并登录主机而不检测，逐个端口说明结果"},
    {"archive", qelto::cli::archiveCommand,
     "建立档案，维护档案中的部门和使用人，查看历史、变化，导出"},
    {"queue", qelto::cli::queueCommand, "档案中的检测队列：加入、列出、删除定期检测的主机"},
    {"worker", qelto::cli::workerCommand, "扫描程序：从档案的检测队列中领取到期的主机并检测、保存"},
};

// The program's own options, before any command, and the list of commands in its help text.
const qelto::common::CommandLine& programLine() {
    static const qelto::common::CommandLine line = [] {
        qelto::common::Section s{
            .head = QStringLiteral(
                "用法：qelto-cli <命令> [参数]\n      qelto-cli --version\n\n命令：\n"),
            .column = 10,
            .tail = QStringLiteral(
                "\n“qelto-cli <命令> --help”显示该命令的用法；--version（-V）显示版本。\n")};
        for (const Command& c : kCommands)
            s.options.push_back(
                qelto::common::helpRow(QString::fromLatin1(c.name), QString::fromUtf8(c.summary)));
        s.options.push_back(qelto::common::helpRow(
            QStringLiteral("help"),
            QStringLiteral("显示这段用法；“qelto-cli help <命令>”显示该命令的用法")));
        s.options.push_back(qelto::cli::helpOption());
        s.options.push_back({.names = {QStringLiteral("--version"), QStringLiteral("-V")},
                             .stops = true,
                             .hidden = true});
        return qelto::common::CommandLine{.sections = {std::move(s)},
                                          .unknownMessage = QStringLiteral("未知命令：%1"),
                                          .endOfOptions = false};
    }();
    return line;
}

// The program's usage: on stdout when asked for (status 0), on stderr after a usage error (2).
int usage(FILE* to) {
    qelto::cli::printText(to, programLine().helpText());
    return to == stdout ? 0 : 2;
}

const Command* commandNamed(const QString& name) {
    for (const Command& c : kCommands)
        if (name == QLatin1String(c.name)) return &c;
    return nullptr;
}

int unknownCommand(const QString& name) {
    qelto::cli::printLine(stderr, QStringLiteral("未知命令：%1").arg(name));
    return usage(stderr);
}

// Qt's own warnings (from its SQL drivers, its locale set-up…) are for developers: they reach the
// terminal only with --verbose, so that stderr holds this program's messages alone.
bool showQtMessages = false;

void qtMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!showQtMessages && type != QtFatalMsg) return;
    qelto::cli::printLine(stderr, qFormatLogMessage(type, context, message));
}

int run(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Not app.arguments(): that replaces bytes that are not UTF-8 (file names may hold them).
    QStringList args = argumentsOf(argc, argv);
    if (args.isEmpty()) return usage(stderr);
    // The program's options come before the command; the rest is the command's.
    const qelto::common::ParsedLine program = qelto::common::parse(programLine(), args.mid(0, 1));
    if (!program.problem.isEmpty()) {
        qelto::cli::printLine(stderr, program.problem);
        return usage(stderr);
    }
    if (program.stoppedAt == u"--version") {
        qelto::cli::printLine(stdout, QStringLiteral("qelto-cli " QELTO_VERSION));
        return 0;
    }
    if (program.stoppedAt == u"--help") return usage(stdout);
    const QString name = args.takeFirst();
    if (name == u"help") {
        if (args.isEmpty() || args[0] == u"--help" || args[0] == u"-h") return usage(stdout);
        // "help scan" is "scan --help".
        const Command* c = commandNamed(args[0]);
        return c ? c->run({QStringLiteral("--help")}) : unknownCommand(args[0]);
    }
    const Command* c = commandNamed(name);
    if (!c) return unknownCommand(name);
    try {
        return c->run(args);
    } catch (...) {
        // Every command reports its own failures; what still comes this far ends the command
        // with its text, never the program with an abort.
        qelto::cli::printLine(stderr, qelto::cli::batch::thrownText(std::current_exception()));
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away is seen as EPIPE on the next write (handled in print), the same
    // whether or not the caller left SIGPIPE ignored.
    std::signal(SIGPIPE, SIG_IGN);
    showQtMessages = verboseRequested(argumentsOf(argc, argv));
    qInstallMessageHandler(qtMessages);
    int status = run(argc, argv);
    // Every write to stdout is checked, the last (buffered) ones here: a full disk or /dev/full
    // must not pass for a complete tree or snapshot.
    errno = 0;
    if (std::fflush(stdout) != 0 && qelto::cli::stdoutError == 0)
        qelto::cli::stdoutError = errno ? errno : EIO;
    if (qelto::cli::stdoutError != 0 && qelto::cli::stdoutError != EPIPE) {
        qelto::cli::printLine(stderr,
                              QStringLiteral("无法写入标准输出：%1")
                                  .arg(qelto::common::systemErrorText(qelto::cli::stdoutError)));
        if (status == 0) status = 1;
    }
    return status;
}
