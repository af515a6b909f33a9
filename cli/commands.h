#pragma once

#include "common/options.h"

#include <QString>
#include <QStringList>

#include <cstdio>
#include <optional>

// The subcommands of qelto-cli. Each takes the arguments after its name and returns the exit
// status: 0 when it did its work, 1 when it failed (the reason on stderr), 2 for a usage error.
namespace qelto::cli {

int scanCommand(const QStringList& args);
int archiveCommand(const QStringList& args);
int dumpCommand(const QStringList& args);
int probeCommand(const QStringList& args);
int queueCommand(const QStringList& args);
int workerCommand(const QStringList& args);

// --help and -h, which end the reading: the command's help text.
common::Option helpOption();
// The help text's row for "--", which ends the options: `examples` of operands that may start
// with "-".
common::Option endOfOptionsRow(const QString& examples);

// Options that several commands take; an empty description hides the option from the help text.
// --report alone (the home directory) or --report=目录, which never takes the next argument.
common::Option reportOption(const QString& description, const QString& label = {});
common::Option reportDirOption(const QString& description);
// --archive 连接字符串 and --archive-password-file 文件.
common::Option archiveOption(const QString& description, const QString& label = {});
common::Option archivePasswordFileOption(const QString& description);
// An option whose value is a file name; hidden from --help when it has no description.
common::Option fileOption(const char* name, const QString& description = {});
// Whether a report was asked for by --report or --report-dir, and into which directory (empty:
// the home directory); the last one given counts.
bool reportDirectory(const common::ParsedLine& parsed, QString& directory);

// Reads `args` by `line`. nullopt when the command ends here, with its exit `status`: 0 after
// --help (the help text on stdout), 2 after a usage error (the problem, then the help text, on
// stderr).
std::optional<common::ParsedLine> readArguments(const common::CommandLine& line,
                                                const QStringList& args, int& status);

// A usage error found after reading: `problem` (when there is one) and the help text on stderr.
// Returns 2.
int usageError(const common::CommandLine& line, const QString& problem);

// Writes to stdout or stderr. A failed write to stdout is remembered: the program then ends
// with a message and status 1 even when the command itself succeeded. print writes bytes as
// they are (the tree, JSON, a snapshot: UTF-8); printText and printLine write text for the user
// (messages, help) in the character set of the locale, as the report is written, and give bytes
// of a file name that were not UTF-8 back as they came.
void print(FILE* to, const QByteArray& bytes);
void printText(FILE* to, const QString& text);
void printLine(FILE* to, const QString& text);

// A name typed on the command line (a department, a person) as text: UTF-8 when its bytes are,
// else read in the locale's character set, as a terminal in that set wrote them. File names are
// not text and stay as main() took them (bytes that are not UTF-8 kept as they are).
QString textArgument(const QString& argument);

// The archive's connection string: `option` (the value of --archive) when given, else
// QELTO_ARCHIVE, else the default. A server's string that names no password takes the first
// line of `passwordFile` when one is given, else QELTO_ARCHIVE_PASSWORD. Warns on stderr when
// `option` holds a password, which other users can read on the command line. nullopt, with
// `problem`, when the password file cannot be read.
std::optional<QString> archiveConnection(const std::optional<QString>& option,
                                         const QString& passwordFile, QString& problem);

}  // namespace qelto::cli
