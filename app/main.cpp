// qelto: the inventory window.
//   qelto                    connections go to the sources this build has
//   qelto --snapshot FILE    every connection answers from a recorded snapshot
//   qelto --archive CONNSTR  save into another archive (also: the variable QELTO_ARCHIVE)

#include "application.h"
#include "archive/connection.h"
#include "jcxtxx.h"
#include "prompts.h"
#include "wmi/snapshot.h"
#include "wmi/sources.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    qelto::setUpApplication(app);

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
    parser.process(app);
    const auto connstr = qelto::archive::effectiveConnectionString(app.arguments());
    if (!connstr) {
        std::fprintf(stderr, "qelto: --archive 需要一个连接字符串\n");
        return 2;
    }

    std::shared_ptr<const qelto::wmi::InstanceStore> store;
    if (parser.isSet(snapshot)) {
        try {
            store = qelto::wmi::loadSnapshot(parser.value(snapshot));
        } catch (const qelto::wmi::SnapshotError& e) {
            std::fprintf(stderr, "qelto: %s\n", e.message().toLocal8Bit().constData());
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
