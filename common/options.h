#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// The command lines of qelto and qelto-cli: each command declares its options in a table, which
// both reads the arguments and writes the command's --help text.
namespace qelto::common {

// What an option's value is. Flag takes none; Duration is read by durationSeconds and Count as a
// whole number between `min` and `max`, both kept as `number`.
enum class ValueKind { Flag, Text, File, Duration, Count };

// What a second occurrence of an option does: Last replaces the earlier value, Each keeps every
// value, Once is a usage error.
enum class Repeat { Last, Each, Once };

// What an empty value ("--snapshot ''") is: a value like any other, the missing value, or refused
// with `emptyMessage`.
enum class Empty { Allowed, Missing, Refused };

struct Option {
    QStringList names{};    // its spellings ("--output", "-o"); the first is its name in ParsedLine
    QString valueName{};    // in the help text: "文件", "N"
    QString description{};  // help text; a "\n" continues it on the next line, in the same column
    ValueKind kind = ValueKind::Flag;
    Repeat repeat = Repeat::Last;
    Empty empty = Empty::Allowed;
    // Messages, "%1" being the option as typed and "%2" the value: the value is missing, empty
    // (Empty::Refused), not a duration or count. The defaults come from the kind.
    QString missingMessage{}, emptyMessage{}, invalidMessage{};
    int min = 0, max = 0;  // Count
    // Only "--option=value" gives a value; the option alone is a flag (and then never takes the
    // next argument, which may be an operand).
    bool valueOnlyInline = false;
    // Ends the reading: the rest is not looked at (--help, --version).
    bool stops = false;
    bool hidden = false;  // not in the help text
    QString label{};      // the help text's left column, when not names and value name
};

// A line of the help text that is not an option: a subcommand and what it does, or (with no
// description) a line of its own.
inline Option helpRow(const QString& label, const QString& description = {}) {
    Option row;
    row.label = label;
    row.description = description;
    return row;
}

// Part of a command line's help text: `head` as it is, then one row for each option that is not
// hidden, the descriptions starting `column` terminal columns after the two spaces that indent
// each row, then `tail`. Column 0 is two more than the widest label of all the sections with
// column 0, which so line up with one another. A label that leaves less than two columns puts
// its description on the next line.
struct Section {
    QString head{};
    std::vector<Option> options{};
    int column = 0;
    QString tail{};
    bool inHelp = true;  // false: the options are read but not described
};

struct CommandLine {
    std::vector<Section> sections;
    QString unknownMessage = QStringLiteral("未知选项：%1");
    // A value given to an option that takes none ("--json=1"), "%1" being the option; when empty,
    // the argument is an unknown option.
    QString unexpectedValueMessage{};
    QString onceMessage = QStringLiteral("%1 只能给一次");
    bool endOfOptions = true;  // "--" makes every later argument an operand
    int maxOperands = -1;      // more than this many operands is a usage error
    QString extraOperandMessage = QStringLiteral("多余的参数：%1");
    // The options that stop are seen wherever they are before "--", even after an error; when
    // several are given, the first in the table wins.
    bool stopsFirst = false;

    QString helpText() const;
};

// What parse found. `problem` is set (and the rest is partial) after a usage error.
class ParsedLine {
  public:
    QString problem;
    // With `problem`, when the argument was no option of the table: as typed, up to any "=".
    QString unknownOption;
    QStringList operands;
    // The option that ended the reading (one that stops), by its first name; empty when none.
    QString stoppedAt;

    bool isSet(const QString& name) const;
    // The last value given; null when the option was not given.
    QString value(const QString& name) const;
    std::optional<QString> optionalValue(const QString& name) const;
    QStringList values(const QString& name) const;
    // How the option was last typed: one of its names, or null when it was not given.
    QString typed(const QString& name) const;
    // The last value of a Duration (in seconds) or Count option.
    std::optional<qint64> number(const QString& name) const;

    struct Given {
        QStringList names;  // the option's names
        QString typed;      // as typed, without "=value"
        QString value;
        qint64 number = 0;
    };
    std::vector<Given> given;  // in the order of the command line

  private:
    const Given* last(const QString& name) const;
};

ParsedLine parse(const CommandLine& line, const QStringList& args);

// A duration as typed: a whole number followed by s, m, h or d ("90s", "24h", "7d"). nullopt for
// anything else, for zero and for more than ten years.
std::optional<qint64> durationSeconds(const QString& text);

// A point in time as typed: "2026-12-01", "2026-12-01 08:00", "2026-12-01 08:00:30" (or with a
// "T"), in local time; or a duration, meaning that long before `now`. Invalid for anything else.
QDateTime timeArgument(const QString& text, const QDateTime& now);

}  // namespace qelto::common
