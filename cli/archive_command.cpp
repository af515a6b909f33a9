// qelto-cli archive: creates the archive and maintains its list of departments and people.

#include "commands.h"

#include "archive/archive.h"
#include "report/encoding.h"
#include "wmi/snapshot.h"

#include <QProcessEnvironment>

namespace qelto::cli {

namespace {

const char kUsage[] =
    "用法：qelto-cli archive init [--archive 连接字符串]\n"
    "      qelto-cli archive people add 部门 使用人 [--archive 连接字符串]\n"
    "      qelto-cli archive people import 文件.csv [--archive 连接字符串]\n"
    "  init            建立档案文件（SQLite）以及缺少的 usep、info 两张表；已有的不作改动\n"
    "  people add      在 usep 中加入一个部门的一个使用人（都不能为空）；已有的不重复加入\n"
    "  people import   从 CSV 文件（两列：部门,使用人；第一行可以是列名）导入使用人；文件可以是\n"
    "                  UTF-8（带或不带 BOM）、区域设置的字符集或 GBK 编码\n"
    "  --archive       档案的连接字符串；否则取环境变量 QELTO_ARCHIVE，再否则为当前目录下的\n"
    "                  systeminfo.mdb\n"
    "  --archive-password-file 文件\n"
    "                  档案服务器的密码（文件的第一行），用于不含密码的连接字符串；也可用环境变量\n"
    "                  QELTO_ARCHIVE_PASSWORD（连接字符串中的密码能被其他用户看到）\n"
    "  --              其后的参数都不是选项（例如以“-”开头的部门、使用人或文件名）\n";

int usage(const QString& problem) {
    if (!problem.isEmpty()) printLine(stderr, problem);
    printText(stderr, QString::fromUtf8(kUsage));
    return 2;
}

// "第 2、5、9 行", at most ten numbers.
QString lineList(const QList<int>& lines) {
    QStringList numbers;
    for (qsizetype i = 0; i < lines.size() && i < 10; ++i) numbers << QString::number(lines[i]);
    return QStringLiteral("第 %1 行%2")
        .arg(numbers.join(QStringLiteral("、")),
             lines.size() > 10 ? QStringLiteral("等") : QString());
}

QString importSummary(const archive::ImportResult& r) {
    QString text = QStringLiteral("已导入 %1 个使用人").arg(r.imported);
    if (r.encoding != "UTF-8")
        text += QStringLiteral("（文件按 %1 编码读取）").arg(QString::fromLatin1(r.encoding));
    const qsizetype skipped = r.duplicates.size() + r.emptyNames.size();
    if (skipped == 0) return text + QStringLiteral("。");
    QStringList why;
    if (!r.duplicates.isEmpty())
        why << QStringLiteral("%1 行的部门和使用人已在档案中（%2）")
                   .arg(r.duplicates.size())
                   .arg(lineList(r.duplicates));
    if (!r.emptyNames.isEmpty())
        why << QStringLiteral("%1 行缺少部门或使用人（%2）")
                   .arg(r.emptyNames.size())
                   .arg(lineList(r.emptyNames));
    return text +
           QStringLiteral("，跳过 %1 行：%2。").arg(skipped).arg(why.join(QStringLiteral("；")));
}

}  // namespace

std::optional<QString> archiveConnection(const std::optional<QString>& option,
                                         const QString& passwordFile, QString& problem) {
    if (option && archive::namesPassword(*option))
        printLine(
            stderr,
            QStringLiteral("警告：--archive 的连接字符串中含有密码，这台计算机的其他用户能看到它；"
                           "请改用 --archive-password-file 文件或环境变量 "
                           "QELTO_ARCHIVE_PASSWORD。"));
    QStringList optionArgs;
    if (option) optionArgs << QStringLiteral("--archive") << *option;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (passwordFile.isEmpty()) return archive::effectiveConnectionString(optionArgs, env);

    // The file comes before the variable.
    env.remove(QLatin1String(archive::kArchivePasswordVariable));
    const std::optional<QString> connstr = archive::effectiveConnectionString(optionArgs, env);
    QString reason;
    const std::optional<QByteArray> bytes = wmi::readInputFile(passwordFile, 65536, reason);
    if (!bytes) {
        problem = QStringLiteral("无法读取密码文件 %1：%2").arg(passwordFile, reason);
        return std::nullopt;
    }
    QByteArray line = bytes->left(bytes->indexOf('\n'));
    if (line.endsWith('\r')) line.chop(1);
    return archive::withPassword(*connstr, QString::fromUtf8(line));
}

int archiveCommand(const QStringList& allArgs) {
    std::optional<QString> option;
    QString passwordFile;
    QStringList args;
    bool options = true;
    for (qsizetype i = 0; i < allArgs.size(); ++i) {
        const QString& a = allArgs[i];
        if (!options) {
            args << a;
        } else if (a == u"--") {
            options = false;
        } else if (a == u"--help" || a == u"-h") {
            printText(stdout, QString::fromUtf8(kUsage));
            return 0;
        } else if (a == u"--archive") {
            if (i + 1 >= allArgs.size())
                return usage(QStringLiteral("--archive 需要一个连接字符串"));
            option = allArgs[++i];
        } else if (a.startsWith(u"--archive=")) {
            option = a.mid(10);
        } else if (a == u"--archive-password-file") {
            if (i + 1 >= allArgs.size() || allArgs[i + 1].isEmpty())
                return usage(QStringLiteral("--archive-password-file 需要一个文件名"));
            passwordFile = allArgs[++i];
        } else if (a.startsWith(u'-')) {
            return usage(QStringLiteral("未知选项：%1").arg(a));
        } else {
            args << a;
        }
    }
    QString problem;
    const std::optional<QString> connstr = archiveConnection(option, passwordFile, problem);
    if (!connstr) {
        printLine(stderr, problem);
        return 1;
    }
    if (args.size() == 3 && args[0] == u"people" && args[1] == u"import" && args[2].isEmpty())
        return usage(QStringLiteral("CSV 文件名不能为空"));

    try {
        if (args.size() == 1 && args[0] == u"init") {
            archive::initArchive(*connstr);
            printLine(stdout, QStringLiteral("档案已就绪：%1")
                                  .arg(archive::parseConnectionString(*connstr).describe()));
            return 0;
        }
        if (args.size() == 4 && args[0] == u"people" && args[1] == u"add") {
            const QString department = textArgument(args[2]).trimmed();
            const QString person = textArgument(args[3]).trimmed();
            if (department.isEmpty() || person.isEmpty())
                return usage(QStringLiteral("部门和使用人都不能为空"));
            if (archive::addPerson(*connstr, department, person))
                printLine(stdout, QStringLiteral("已加入：%1 %2").arg(department, person));
            else
                printLine(stdout,
                          QStringLiteral("已跳过：%1 %2 已在档案中").arg(department, person));
            return 0;
        }
        if (args.size() == 3 && args[0] == u"people" && args[1] == u"import") {
            const archive::ImportResult r = archive::importPeople(
                *connstr, args[2], report::charsetOfLocale(report::localeNameFromEnvironment()));
            printLine(stdout, importSummary(r));
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
