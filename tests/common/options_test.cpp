// The command-line table: how arguments are read, and the help text it writes.

#include "common/options.h"

#include <gtest/gtest.h>

namespace {

using qelto::common::CommandLine;
using qelto::common::Empty;
using qelto::common::Option;
using qelto::common::Repeat;
using qelto::common::ValueKind;

CommandLine sample() {
    return {
        .sections = {{.options =
                          {
                              {.names = {QStringLiteral("--name")},
                               .kind = ValueKind::Text,
                               .repeat = Repeat::Once},
                              {.names = {QStringLiteral("--output"), QStringLiteral("-o")},
                               .kind = ValueKind::File,
                               .empty = Empty::Refused},
                              {.names = {QStringLiteral("--tag")},
                               .kind = ValueKind::Text,
                               .repeat = Repeat::Each},
                              {.names = {QStringLiteral("--count")},
                               .kind = ValueKind::Count,
                               .min = 1,
                               .max = 9},
                              {.names = {QStringLiteral("--wait")}, .kind = ValueKind::Duration},
                              {.names = {QStringLiteral("--flag")}},
                              {.names = {QStringLiteral("--help")}, .stops = true},
                          }}},
        .maxOperands = 2};
}

struct Case {
    QStringList args;
    QString problem{};   // empty: read without a problem
    QString name{};      // the value of --name
    QString operands{};  // joined by "|"
    QString tags{};      // every --tag, joined by "|"
    qint64 number = 0;   // --count or --wait
};

TEST(Options, ReadsTheArguments) {
    const auto s = [](std::initializer_list<const char*> words) {
        QStringList list;
        for (const char* w : words) list << QString::fromUtf8(w);
        return list;
    };
    const Case cases[] = {
        {s({"--nope"}), QStringLiteral("未知选项：--nope")},
        {s({"--name"}), QStringLiteral("--name 需要一个值")},
        {s({"--name", "a", "--name", "b"}), QStringLiteral("--name 只能给一次")},
        {s({"--name=甲 乙"}), {}, QStringLiteral("甲 乙")},
        {s({"--name", "甲", "x"}), {}, QStringLiteral("甲"), QStringLiteral("x")},
        {s({"--name", "--flag"}), {}, QStringLiteral("--flag")},  // a value may start with "-"
        {s({"--name="}), {}, QStringLiteral("")},
        {s({"--", "--flag", "-o"}), {}, {}, QStringLiteral("--flag|-o")},
        {s({"a", "--", "b", "c"}), QStringLiteral("多余的参数：c")},
        {s({"--flag=1"}), QStringLiteral("未知选项：--flag=1")},
        {s({"-"}), QStringLiteral("未知选项：-")},
        {s({"-o", ""}), QStringLiteral("-o 的值不能为空")},
        {s({"--tag", "a", "--tag=b", "--tag", "a"}), {}, {}, {}, QStringLiteral("a|b|a")},
        {s({"--count", "10"}), QStringLiteral("--count 的值应为 1 到 9 之间的整数")},
        {s({"--count=3"}), {}, {}, {}, {}, 3},
        {s({"--wait", "2m"}), {}, {}, {}, {}, 120},
        {s({"--wait", "2"}), QStringLiteral("--wait 的值“2”不是时长（例如 24h）")},
        {s({"--help", "--nope"}), {}},  // --help ends the reading
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(u' ').toStdString());
        const qelto::common::ParsedLine p = qelto::common::parse(sample(), c.args);
        EXPECT_EQ(p.problem, c.problem);
        // The argument that was no option, up to its "=": for callers with words of their own.
        EXPECT_EQ(p.unknownOption, c.problem.startsWith(QStringLiteral("未知选项"))
                                       ? c.args.first().section(u'=', 0, 0)
                                       : QString());
        if (!c.problem.isEmpty()) continue;
        EXPECT_EQ(p.value(QStringLiteral("--name")), c.name);
        EXPECT_EQ(p.isSet(QStringLiteral("--name")), !c.name.isNull());
        EXPECT_EQ(p.operands.join(u'|'), c.operands);
        EXPECT_EQ(p.values(QStringLiteral("--tag")).join(u'|'), c.tags);
        EXPECT_EQ(p.number(QStringLiteral("--count")).value_or(0) +
                      p.number(QStringLiteral("--wait")).value_or(0),
                  c.number);
        EXPECT_EQ(p.isSet(QStringLiteral("--flag")), false);
        EXPECT_EQ(p.stoppedAt.isEmpty(), !c.args.contains(QStringLiteral("--help")));
    }
}

// Columns are counted as a terminal shows them: a Chinese character takes two.
TEST(Options, HelpTextAlignsByDisplayWidth) {
    const CommandLine line{
        .sections = {
            {.head = QStringLiteral("用法：示例\n"),
             .options = {{.names = {QStringLiteral("--file")},
                          .valueName = QStringLiteral("文件"),
                          .description = QStringLiteral("读取文件")},
                         {.names = {QStringLiteral("--verbose"), QStringLiteral("-v")},
                          .description = QStringLiteral("详细\n第二行")},
                         {.names = {QStringLiteral("--secret")}, .hidden = true},
                         qelto::common::helpRow(QStringLiteral("备注：同上"))},
             .column = 14},
            {.options = {{.names = {QStringLiteral("--a")},
                          .valueName = QStringLiteral("值"),
                          .description = QStringLiteral("甲")},
                         {.names = {QStringLiteral("--bb")}, .description = QStringLiteral("乙")}},
             .tail = QStringLiteral("完\n")},
        }};
    EXPECT_EQ(line.helpText(), QStringLiteral("用法：示例\n"
                                              "  --file 文件   读取文件\n"
                                              "  -v, --verbose\n"
                                              "                详细\n"
                                              "                第二行\n"
                                              "  备注：同上\n"
                                              "  --a 值  甲\n"
                                              "  --bb    乙\n"
                                              "完\n"));
}

}  // namespace
