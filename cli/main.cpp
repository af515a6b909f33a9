// qelto-cli: the scan without a window.

#include "commands.h"

#include <QCoreApplication>

namespace qelto::cli {

void print(FILE* to, const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), to);
}

void printLine(FILE* to, const QString& text) {
    print(to, (text + u'\n').toUtf8());
}

}  // namespace qelto::cli

namespace {

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

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args[0] == u"--help" || args[0] == u"-h") return usage();
    const QString name = args.takeFirst();
    for (const Command& c : kCommands)
        if (name == QLatin1String(c.name)) return c.run(args);
    qelto::cli::printLine(stderr, QStringLiteral("未知命令：%1").arg(name));
    return usage();
}
