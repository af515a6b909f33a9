// qelto-cli archive: creates the archive and maintains its list of departments and people.

#include "commands.h"

#include "archive/archive.h"

namespace qelto::cli {

namespace {

const char kUsage[] =
    "用法：qelto-cli archive init [--archive 连接字符串]\n"
    "      qelto-cli archive people add 部门 使用人 [--archive 连接字符串]\n"
    "      qelto-cli archive people import 文件.csv [--archive 连接字符串]\n"
    "  init            建立档案文件（SQLite）以及缺少的 usep、info 两张表；已有的不作改动\n"
    "  people add      在 usep 中加入一个部门的一个使用人\n"
    "  people import   从 CSV 文件（UTF-8，两列：部门,使用人；第一行可以是列名）导入使用人\n"
    "  --archive       档案的连接字符串；否则取环境变量 QELTO_ARCHIVE，再否则为当前目录下的\n"
    "                  systeminfo.mdb\n";

int usage(const QString& problem) {
    if (!problem.isEmpty()) printLine(stderr, problem);
    print(stderr, QByteArray(kUsage));
    return 2;
}

}  // namespace

int archiveCommand(const QStringList& allArgs) {
    if (allArgs.contains(QStringLiteral("--help")) || allArgs.contains(QStringLiteral("-h"))) {
        print(stdout, QByteArray(kUsage));
        return 0;
    }
    const std::optional<QString> connstr = archive::effectiveConnectionString(allArgs);
    if (!connstr) return usage(QStringLiteral("--archive 需要一个连接字符串"));
    const QStringList args = archive::withoutArchiveOption(allArgs);
    for (const QString& a : args)
        if (a.startsWith(u'-')) return usage(QStringLiteral("未知选项：%1").arg(a));

    try {
        if (args.size() == 1 && args[0] == u"init") {
            archive::initArchive(*connstr);
            printLine(stdout, QStringLiteral("档案已就绪：%1")
                                  .arg(archive::parseConnectionString(*connstr).describe()));
            return 0;
        }
        if (args.size() == 4 && args[0] == u"people" && args[1] == u"add") {
            archive::addPerson(*connstr, args[2], args[3]);
            printLine(stdout, QStringLiteral("已加入：%1 %2").arg(args[2], args[3]));
            return 0;
        }
        if (args.size() == 3 && args[0] == u"people" && args[1] == u"import") {
            const int n = archive::importPeople(*connstr, args[2]);
            printLine(stdout, QStringLiteral("已导入 %1 个使用人").arg(n));
            return 0;
        }
    } catch (const archive::ArchiveError& e) {
        printLine(stderr, e.message());
        return 1;
    }
    return usage(args.isEmpty() ? QString()
                                : QStringLiteral("无法理解的参数：%1").arg(args.join(u' ')));
}

}  // namespace qelto::cli
