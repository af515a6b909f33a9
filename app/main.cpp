// qelto: the inventory window.
//   qelto                    connections go to the sources this build has
//   qelto --snapshot FILE    every connection answers from a recorded snapshot
//   qelto --archive CONNSTR  save into another archive (also: the variable QELTO_ARCHIVE)
//   qelto --verbose          let Qt's own warnings through to stderr
//   qelto --home             work in the user's home folder (the desktop entry starts it so)
//   qelto --help, --version  work without a display

#include "application.h"
#include "archive/connection.h"
#include "jcxtxx.h"
#include "prompts.h"
#include "common/charset.h"
#include "wmi/secret.h"
#include "wmi/snapshot.h"
#include "wmi/sources.h"

#include "qelto_version.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace {

// Said when no window can be opened, before or while Qt connects to the window system.
const char kNoWindow[] =
    "请在图形桌面中运行 qelto。在终端中可以用 qelto-cli 检测，例如：\n"
    "  qelto-cli scan                  检测这台计算机\n"
    "  qelto-cli scan 主机 --user 用户  检测局域网中的另一台计算机\n"
    "  qelto-cli --help                其他用法\n";

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
            QString::fromUtf8(kNoWindow));
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

struct Options {
    QCommandLineOption snapshot{QStringLiteral("snapshot"),
                                QStringLiteral("每次连接都从快照文件回答（演示与测试用）。"),
                                QStringLiteral("文件")};
    QCommandLineOption archive{
        QStringLiteral("archive"),
        QStringLiteral("存档数据库的连接字符串（默认为当前目录下的 systeminfo.mdb）。"),
        QStringLiteral("连接字符串")};
    QCommandLineOption verbose{QStringLiteral("verbose"),
                               QStringLiteral("在标准错误输出上显示 Qt 自身的警告。")};
    QCommandLineOption home{QStringLiteral("home"),
                            QStringLiteral("以用户主目录为当前目录（从桌面菜单启动时即如此），"
                                           "默认档案和相对文件名都以主目录为准。")};

    void addTo(QCommandLineParser& parser) const {
        parser.setApplicationDescription(QStringLiteral("qelto 局域网计算机配置检测系统"));
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOption(snapshot);
        parser.addOption(archive);
        parser.addOption(verbose);
        parser.addOption(home);
    }

    // The text of --help. QCommandLineParser pads its columns by characters, so that a Chinese
    // value name ("<文件>") pushes its description out of line; here each column is padded by
    // the width a terminal gives the text.
    QString helpText() const {
        const std::pair<QString, QString> rows[] = {
            {QStringLiteral("-h, --help"), QStringLiteral("显示这段帮助。")},
            {QStringLiteral("--help-all"), QStringLiteral("显示帮助，包括 Qt 自身的选项。")},
            {QStringLiteral("-v, -V, --version"), QStringLiteral("显示版本。")},
            {QStringLiteral("--snapshot <文件>"), snapshot.description()},
            {QStringLiteral("--archive <连接字符串>"), archive.description()},
            {QStringLiteral("--verbose"), verbose.description()},
            {QStringLiteral("--home"), home.description()},
        };
        int width = 0;
        for (const auto& row : rows)
            width = std::max(width, qelto::common::displayWidth(row.first));
        QString text =
            QStringLiteral("用法：qelto [选项]\nqelto 局域网计算机配置检测系统\n\n选项：\n");
        for (const auto& row : rows)
            text += QStringLiteral("  ") + row.first +
                    QString(width - qelto::common::displayWidth(row.first) + 2, u' ') + row.second +
                    u'\n';
        return text;
    }
};

bool asked(int argc, char** argv, std::initializer_list<const char*> names) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        for (const char* name : names)
            if (std::strcmp(argv[i], name) == 0) return true;
    return false;
}

// Whether Qt will find a window system: an X or Wayland display, or a platform chosen by hand
// that needs none (offscreen, vnc, …).
bool haveDisplay(int argc, char** argv) {
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    if (asked(argc, argv, {"-platform"})) return true;
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    return !platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland");
}

}  // namespace

int main(int argc, char** argv) {
    // Answered without touching the window system.
    if (asked(argc, argv, {"--help", "-h", "-?"})) {
        say(Options().helpText(), stdout);
        return 0;
    }
    if (asked(argc, argv, {"--version", "-v", "-V"})) {
        say(QStringLiteral("qelto " QELTO_VERSION "\n"), stdout);
        return 0;
    }
    if (asked(argc, argv, {"--help-all"})) {
        QCoreApplication core(argc, argv);
        qelto::loadQtTexts(core);
        QCommandLineParser parser;
        Options().addTo(parser);
        parser.process(core);  // prints and exits
        return 0;
    }
    if (!haveDisplay(argc, argv)) {
        say(QStringLiteral(
                "qelto：没有图形会话（DISPLAY 和 WAYLAND_DISPLAY 都没有设置），无法打开窗口。\n") +
            QString::fromUtf8(kNoWindow));
        return 1;
    }
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--verbose") == 0) showQtMessages = true;
    qInstallMessageHandler(qtMessages);
    startingWindowSystem = true;
    QApplication app(argc, argv);
    startingWindowSystem = false;
    qelto::setUpApplication(app);
    // The arguments as bytes: app.arguments() would replace those of a file name that are not
    // UTF-8. QApplication has taken its own options out of argv.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << qelto::common::fileNameFromNative(QByteArray(argv[i]));

    QCommandLineParser parser;
    const Options options;
    options.addTo(parser);
    const QCommandLineOption& snapshot = options.snapshot;
    const QCommandLineOption& archive = options.archive;
    parser.process(arguments);
    // Before anything reads a relative name: the archive's default place is the working folder.
    if (parser.isSet(options.home) && !QDir::setCurrent(QDir::homePath()))
        std::fprintf(stderr, "qelto: 无法进入用户主目录 %s\n",
                     QDir::homePath().toLocal8Bit().constData());
    const auto connstr = qelto::archive::effectiveConnectionString(arguments);
    // Read once: no program started from here on inherits the variable.
    qelto::wmi::takeFromEnvironment(qelto::archive::kArchivePasswordVariable);
    if (!connstr) {
        std::fprintf(stderr, "qelto: --archive 需要一个连接字符串\n");
        return 2;
    }
    if (parser.isSet(archive) && qelto::archive::namesPassword(parser.value(archive)))
        std::fprintf(stderr,
                     "qelto: 警告：--archive 的连接字符串中含有密码，这台计算机的其他用户能看到它；"
                     "请改用环境变量 QELTO_ARCHIVE_PASSWORD。\n");
    if (parser.isSet(snapshot) && parser.value(snapshot).isEmpty()) {
        std::fprintf(stderr, "qelto: --snapshot 的文件名不能为空\n");
        return 2;
    }

    std::shared_ptr<const qelto::wmi::InstanceStore> store;
    if (parser.isSet(snapshot)) {
        try {
            store = qelto::wmi::loadSnapshot(parser.value(snapshot));
        } catch (const qelto::wmi::SnapshotError& e) {
            std::fprintf(stderr, "qelto: %s\n", e.message().toLocal8Bit().constData());
            return 1;
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "qelto: 内存不足，无法读取快照文件\n");
            return 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "qelto: %s\n", e.what());
            return 1;
        }
    }

    qelto::JCXTXX window(std::make_shared<qelto::wmi::SourceConnector>(store),
                         std::make_shared<qelto::MessageBoxPrompts>());
    window.setArchive(*connstr);
    window.show();
    return app.exec();
}
