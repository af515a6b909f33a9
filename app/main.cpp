// qelto: the inventory window.
//   qelto                    connections go to the sources this build has
//   qelto --snapshot FILE    every connection answers from a recorded snapshot
//   qelto --archive CONNSTR  save into another archive (also: the variable QELTO_ARCHIVE)
//   qelto --verbose          let Qt's own warnings through to stderr

#include "application.h"
#include "archive/connection.h"
#include "jcxtxx.h"
#include "prompts.h"
#include "wmi/snapshot.h"
#include "wmi/sources.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

namespace {

// Qt's own warnings are for developers: they reach the terminal only with --verbose.
bool showQtMessages = false;

void qtMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!showQtMessages && type != QtFatalMsg) return;
    std::fprintf(stderr, "%s\n", qFormatLogMessage(type, context, message).toUtf8().constData());
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--verbose") == 0) showQtMessages = true;
    qInstallMessageHandler(qtMessages);
    QApplication app(argc, argv);
    qelto::setUpApplication(app);
    // The arguments as bytes: app.arguments() would replace those of a file name that are not
    // UTF-8. QApplication has taken its own options out of argv.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << qelto::wmi::fileNameFromNative(QByteArray(argv[i]));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("qelto 局域网计算机配置检测系统"));
    parser.addHelpOption();
    const QCommandLineOption snapshot(QStringLiteral("snapshot"),
                                      QStringLiteral("每次连接都从快照文件回答（演示与测试用）。"),
                                      QStringLiteral("文件"));
    parser.addOption(snapshot);
    const QCommandLineOption archive(
        QStringLiteral("archive"),
        QStringLiteral("存档数据库的连接字符串（默认为当前目录下的 systeminfo.mdb）。"),
        QStringLiteral("连接字符串"));
    parser.addOption(archive);
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("在标准错误输出上显示 Qt 自身的警告。"));
    parser.addOption(verbose);
    parser.process(arguments);
    const auto connstr = qelto::archive::effectiveConnectionString(arguments);
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
