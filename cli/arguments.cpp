// The command line of every qelto-cli command, read by its table of options.

#include "commands.h"

namespace qelto::cli {

common::Option helpOption() {
    return {
        .names = {QStringLiteral("--help"), QStringLiteral("-h")}, .stops = true, .hidden = true};
}

common::Option endOfOptionsRow(const QString& examples) {
    return common::helpRow(
        QStringLiteral("--"),
        QStringLiteral("其后的参数都不是选项（例如以“-”开头的%1）").arg(examples));
}

common::Option reportOption(const QString& description, const QString& label) {
    return {.names = {QStringLiteral("--report")},
            .description = description,
            .kind = common::ValueKind::File,
            .empty = common::Empty::Refused,
            .emptyMessage = QStringLiteral("%1 的目录不能为空"),
            .valueOnlyInline = true,
            .label = label};
}

common::Option reportDirOption(const QString& description) {
    return {.names = {QStringLiteral("--report-dir")},
            .valueName = QStringLiteral("目录"),
            .description = description,
            .kind = common::ValueKind::File,
            .empty = common::Empty::Refused,
            .missingMessage = QStringLiteral("%1 需要一个目录"),
            .emptyMessage = QStringLiteral("%1 的目录不能为空"),
            .hidden = description.isEmpty()};
}

common::Option archiveOption(const QString& description, const QString& label) {
    return {.names = {QStringLiteral("--archive")},
            .valueName = QStringLiteral("连接字符串"),
            .description = description,
            .kind = common::ValueKind::Text,
            .missingMessage = QStringLiteral("%1 需要一个连接字符串"),
            .hidden = description.isEmpty(),
            .label = label};
}

common::Option fileOption(const char* name, const QString& description) {
    return {.names = {QString::fromLatin1(name)},
            .valueName = QStringLiteral("文件"),
            .description = description,
            .kind = common::ValueKind::File,
            .empty = common::Empty::Missing,
            .missingMessage = QStringLiteral("%1 需要一个文件名"),
            .hidden = description.isEmpty()};
}

common::Option archivePasswordFileOption(const QString& description) {
    return fileOption("--archive-password-file", description);
}

bool reportDirectory(const common::ParsedLine& parsed, QString& directory) {
    bool asked = false;
    for (const common::ParsedLine::Given& g : parsed.given) {
        const QString& name = g.names.first();
        if (name != u"--report" && name != u"--report-dir") continue;
        asked = true;
        if (!g.value.isNull()) directory = g.value;
    }
    return asked;
}

std::optional<common::ParsedLine> readArguments(const common::CommandLine& line,
                                                const QStringList& args, int& status) {
    common::ParsedLine parsed = common::parse(line, args);
    if (!parsed.problem.isEmpty()) {
        status = usageError(line, parsed.problem);
        return std::nullopt;
    }
    if (parsed.stoppedAt == u"--help") {
        printText(stdout, line.helpText());
        status = 0;
        return std::nullopt;
    }
    return parsed;
}

int usageError(const common::CommandLine& line, const QString& problem) {
    if (!problem.isEmpty()) printLine(stderr, problem);
    printText(stderr, line.helpText());
    return 2;
}

}  // namespace qelto::cli
