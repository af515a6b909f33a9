#pragma once

#include <QDateTime>
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

// A duration as typed: a whole number followed by s, m, h or d ("90s", "24h", "7d"). nullopt for
// anything else, for zero and for more than ten years.
std::optional<qint64> durationSeconds(const QString& text);

// A point in time as typed: "2026-12-01", "2026-12-01 08:00", "2026-12-01 08:00:30" (or with a
// "T"), in local time; or a duration, meaning that long before `now`. Invalid for anything else.
QDateTime timeArgument(const QString& text, const QDateTime& now);

// The archive's connection string: `option` (the value of --archive) when given, else
// QELTO_ARCHIVE, else the default. A server's string that names no password takes the first
// line of `passwordFile` when one is given, else QELTO_ARCHIVE_PASSWORD. Warns on stderr when
// `option` holds a password, which other users can read on the command line. nullopt, with
// `problem`, when the password file cannot be read.
std::optional<QString> archiveConnection(const std::optional<QString>& option,
                                         const QString& passwordFile, QString& problem);

}  // namespace qelto::cli
