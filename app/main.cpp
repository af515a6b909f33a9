// qelto: the inventory window.
//   qelto                    connections go to the sources this build has
//   qelto --snapshot FILE    every connection answers from a recorded snapshot
//   qelto --archive CONNSTR  save into another archive (also: the variable QELTO_ARCHIVE)
//   qelto --verbose          let Qt's own warnings through to stderr
//   qelto --home             work in the user's home folder (the desktop entry starts it so)
//   qelto --help, --version  work without a display

#include "application.h"
#include "archive/connection.h"
#include "common/charset.h"
#include "common/options.h"
#include "connect/connector.h"
#include "jcxtxx.h"
#include "prompts.h"
#include "wmi/secret.h"
#include "wmi/snapshot.h"

#include "qelto_version.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <utility>

namespace {

// How qelto-cli is called from where the user is: by name when the qelto-cli found on PATH is
// the one that came with this program (installed, or a build folder on PATH); else by its path,
// relative to the working folder when it is below it (build/bin/qelto-cli in a source build).
// The one that came with it sits beside it or in the build tree's cli folder; build/bin names it
// only when it leads to that same one (another build's tree has a build/bin of its own).
QString cliCommand() {
    const QString name = QStringLiteral("qelto-cli");
    const QDir dir =
        QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(u'/', 0, -2);
    const auto canonical = [](const QString& path) { return QFileInfo(path).canonicalFilePath(); };
    QString found;
    for (const QString& candidate : QStringList{name, QStringLiteral("../cli/") + name})
        if (QFileInfo(dir.filePath(candidate)).isExecutable()) {
            found = QDir::cleanPath(dir.filePath(candidate));
            break;
        }
    if (found.isEmpty()) return name;
    const QString binary = QDir::cleanPath(dir.filePath(QStringLiteral("../../bin/") + name));
    if (QFileInfo(binary).isExecutable() && canonical(binary) == canonical(found)) found = binary;
    const QString onPath = QStandardPaths::findExecutable(name);
    if (!onPath.isEmpty() && canonical(onPath) == canonical(found)) return name;
    const QString relative = QDir::current().relativeFilePath(found);
    return relative.startsWith(QStringLiteral("../")) ? found : relative;
}

// Said when no window can be opened, before or while Qt connects to the window system. The
// descriptions line up (a Chinese character takes two columns).
QString noWindowText() {
    const QString cli = cliCommand();
    const std::pair<QString, QString> rows[] = {
        {cli + QStringLiteral(" scan"), QStringLiteral("检测这台计算机")},
        {cli + QStringLiteral(" scan 主机 --user 用户"),
         QStringLiteral("检测局域网中的另一台计算机")},
        {cli + QStringLiteral(" --help"), QStringLiteral("其他用法")},
    };
    const auto width = [](const QString& s) {
        return s.size() +
               std::count_if(s.begin(), s.end(), [](QChar c) { return c.unicode() > 0x2E80; });
    };
    qsizetype column = 0;
    for (const auto& row : rows) column = std::max(column, width(row.first) + 2);
    QString text =
        QStringLiteral("请在图形桌面中运行 qelto。在终端中可以用 %1 检测，例如：\n").arg(cli);
    for (const auto& [left, description] : rows)
        text +=
            QStringLiteral("  ") + left + QString(column - width(left), u' ') + description + u'\n';
    return text;
}

// While QApplication connects to the window system: a display that is set but does not answer
// (a stale DISPLAY, a Wayland socket that is gone) or a platform plugin that cannot load ends in
// Qt's fatal message, in English, with advice to reinstall and an abort. It ends here instead.
bool startingWindowSystem = false;

// Qt's own warnings are for developers: they reach the terminal only with --verbose.
bool showQtMessages = false;

void say(const QString& text, FILE* to = stderr);

void qtMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg && startingWindowSystem) {
        if (showQtMessages)
            std::fprintf(stderr, "%s\n",
                         qFormatLogMessage(type, context, message).toUtf8().constData());
        const QByteArray display =
            qgetenv("WAYLAND_DISPLAY").isEmpty() ? qgetenv("DISPLAY") : qgetenv("WAYLAND_DISPLAY");
        say(QStringLiteral("qelto：无法连接图形会话（%1），无法打开窗口。\n")
                .arg(display.isEmpty() ? QStringLiteral("QT_QPA_PLATFORM=") +
                                             QString::fromLocal8Bit(qgetenv("QT_QPA_PLATFORM"))
                                       : QString::fromLocal8Bit(display)) +
            noWindowText());
        std::_Exit(1);
    }
    if (!showQtMessages && type != QtFatalMsg) return;
    std::fprintf(stderr, "%s\n", qFormatLogMessage(type, context, message).toUtf8().constData());
}

// Text for the terminal, in the character set of the user's locale.
void say(const QString& text, FILE* to) {
    const QByteArray bytes = qelto::common::encodeText(
        text, qelto::common::charsetOfLocale(qelto::common::localeNameFromEnvironment()));
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), to);
}

// The window's options. Their messages are Qt's, in the language of its translations once the
// application has loaded them.
qelto::common::CommandLine options() {
    using qelto::common::Option;
    const auto missing =
        QCoreApplication::translate("QCommandLineParser", "Missing value after '%1'.");
    const auto stop = [](QStringList names, const QString& description, const QString& label = {}) {
        return Option{
            .names = std::move(names), .description = description, .stops = true, .label = label};
    };
    return {
        .sections = {{
            .head =
                QStringLiteral("用法：qelto [选项]\nqelto 局域网计算机配置检测系统\n\n选项：\n"),
            .options =
                {
                    stop({QStringLiteral("--help"), QStringLiteral("-h"), QStringLiteral("-?")},
                         QStringLiteral("显示这段帮助。"), QStringLiteral("-h, --help")),
                    stop({QStringLiteral("--help-all")},
                         QStringLiteral("显示帮助，包括 Qt 自身的选项。")),
                    stop({QStringLiteral("--version"), QStringLiteral("-v"), QStringLiteral("-V")},
                         QStringLiteral("显示版本。")),
                    {.names = {QStringLiteral("--snapshot")},
                     .valueName = QStringLiteral("<文件>"),
                     .description = QStringLiteral("每次连接都从快照文件回答（演示与测试用）。"),
                     .kind = qelto::common::ValueKind::File,
                     .missingMessage = missing},
                    {.names = {QStringLiteral("--archive")},
                     .valueName = QStringLiteral("<连接字符串>"),
                     .description = QStringLiteral(
                         "存档数据库的连接字符串（默认为当前目录下的 systeminfo.mdb）。"),
                     .kind = qelto::common::ValueKind::Text,
                     .missingMessage = missing},
                    {.names = {QStringLiteral("--verbose")},
                     .description = QStringLiteral("在标准错误输出上显示 Qt 自身的警告。")},
                    {.names = {QStringLiteral("--home")},
                     .description =
                         QStringLiteral("以用户主目录为当前目录（从桌面菜单启动时即如此），"
                                        "默认档案和相对文件名都以主目录为准。")},
                },
        }},
        .unexpectedValueMessage =
            QCoreApplication::translate("QCommandLineParser", "Unexpected value after '%1'."),
        .stopsFirst = true,
    };
}

// --help-all: the window's options, then those Qt reads itself.
QString helpAllText() {
    qelto::common::CommandLine line = options();
    line.sections.push_back(
        {.head = QStringLiteral("\nQt 自身的选项：\n"),
         .options = {qelto::common::helpRow(
             QStringLiteral("--qmljsdebugger <值>"),
             QStringLiteral("在指定端口上启用 QML/JS 调试器，值的格式为 port:1234[,block]；\n"
                            "block 使程序等待调试器连接。"))}});
    return line.helpText();
}

// The arguments before "--", as they came: what is looked at before Qt has taken its own options
// (-platform, …) out of them, which the window's options cannot read yet.
QStringList beforeEnd(const QStringList& arguments) {
    return arguments.mid(0, arguments.indexOf(QStringLiteral("--")));
}

// Whether Qt will find a window system: an X or Wayland display, or a platform chosen by hand
// that needs none (offscreen, vnc, …).
bool haveDisplay(const QStringList& arguments) {
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    if (beforeEnd(arguments).contains(QStringLiteral("-platform"))) return true;
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    return !platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland");
}

// --help, --version, --help-all and a missing display, answered without touching the window
// system: the exit status, or nullopt to go on.
std::optional<int> answeredBeforeWindow(const QStringList& given) {
    const QString stopped = qelto::common::parse(options(), given).stoppedAt;
    if (stopped == u"--help") {
        say(options().helpText(), stdout);
        return 0;
    }
    if (stopped == u"--version") {
        say(QStringLiteral("qelto " QELTO_VERSION "\n"), stdout);
        return 0;
    }
    if (stopped == u"--help-all") {
        say(helpAllText(), stdout);
        return 0;
    }
    if (haveDisplay(given)) return std::nullopt;
    say(QStringLiteral(
            "qelto：没有图形会话（DISPLAY 和 WAYLAND_DISPLAY 都没有设置），无法打开窗口。\n") +
        noWindowText());
    return 1;
}

// A problem of the command line in Qt's words, which name an unknown option without its dashes.
QString problemText(const qelto::common::ParsedLine& parsed) {
    if (parsed.unknownOption.isEmpty()) return parsed.problem;
    return QCoreApplication::translate("QCommandLineParser", "Unknown option '%1'.")
        .arg(QString(parsed.unknownOption).remove(QRegularExpression(QStringLiteral("^-+"))));
}

// The archive the window saves to: --archive, QELTO_ARCHIVE or the default.
std::optional<QString> archiveOf(const qelto::common::ParsedLine& parsed) {
    const std::optional<QString> archive = parsed.optionalValue(QStringLiteral("--archive"));
    const auto connstr = qelto::archive::effectiveConnectionString(
        archive ? QStringList{QStringLiteral("--archive"), *archive} : QStringList());
    // Read once: no program started from here on inherits the variable.
    qelto::wmi::takeFromEnvironment(qelto::archive::kArchivePasswordVariable);
    if (!connstr) {
        std::fprintf(stderr, "qelto: --archive 需要一个连接字符串\n");
        return std::nullopt;
    }
    if (archive && qelto::archive::namesPassword(*archive))
        std::fprintf(stderr,
                     "qelto: 警告：--archive 的连接字符串中含有密码，这台计算机的其他用户能看到它；"
                     "请改用环境变量 QELTO_ARCHIVE_PASSWORD。\n");
    return connstr;
}

// The recorded machine every connection answers from, with --snapshot, into `store` (null
// without the option): nullopt when it is read, else the exit status (the reason on stderr).
std::optional<int> readSnapshot(const qelto::common::ParsedLine& parsed,
                                std::shared_ptr<const qelto::wmi::InstanceStore>& store) {
    const std::optional<QString> snapshot = parsed.optionalValue(QStringLiteral("--snapshot"));
    if (!snapshot) return std::nullopt;
    if (snapshot->isEmpty()) {
        std::fprintf(stderr, "qelto: --snapshot 的文件名不能为空\n");
        return 2;
    }
    try {
        store = qelto::wmi::loadSnapshot(*snapshot);
        return std::nullopt;
    } catch (const qelto::wmi::SnapshotError& e) {
        std::fprintf(stderr, "qelto: %s\n", e.message().toLocal8Bit().constData());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "qelto: 内存不足，无法读取快照文件\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qelto: %s\n", e.what());
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    QStringList given;
    for (int i = 1; i < argc; ++i) given << qelto::common::fileNameFromNative(QByteArray(argv[i]));
    if (const std::optional<int> status = answeredBeforeWindow(given)) return *status;
    showQtMessages = beforeEnd(given).contains(QStringLiteral("--verbose"));
    qInstallMessageHandler(qtMessages);
    startingWindowSystem = true;
    QApplication app(argc, argv);
    startingWindowSystem = false;
    qelto::setUpApplication(app);
    // The arguments as bytes: app.arguments() would replace those of a file name that are not
    // UTF-8. QApplication has taken its own options out of argv.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << qelto::common::fileNameFromNative(QByteArray(argv[i]));
    const qelto::common::ParsedLine parsed = qelto::common::parse(options(), arguments);
    if (!parsed.problem.isEmpty()) {
        say(QStringLiteral("qelto: ") + problemText(parsed) + u'\n');
        return 1;
    }
    // Before anything reads a relative name: the archive's default place is the working folder.
    if (parsed.isSet(QStringLiteral("--home")) && !QDir::setCurrent(QDir::homePath()))
        std::fprintf(stderr, "qelto: 无法进入用户主目录 %s\n",
                     QDir::homePath().toLocal8Bit().constData());
    const std::optional<QString> connstr = archiveOf(parsed);
    if (!connstr) return 2;
    std::shared_ptr<const qelto::wmi::InstanceStore> store;
    if (const std::optional<int> status = readSnapshot(parsed, store)) return *status;

    qelto::JCXTXX window(std::make_shared<qelto::connect::SourceConnector>(store),
                         std::make_shared<qelto::MessageBoxPrompts>());
    window.setArchive(*connstr);
    window.show();
    return app.exec();
}
