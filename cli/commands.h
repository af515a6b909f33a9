#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

// The subcommands of qelto-cli. Each takes the arguments after its name and returns the exit
// status: 0 when it did its work, 1 when it failed (the reason on stderr), 2 for a usage error.
namespace qelto::cli {

int scanCommand(const QStringList& args);
int archiveCommand(const QStringList& args);
int dumpCommand(const QStringList& args);

void print(FILE* to, const QByteArray& bytes);
void printLine(FILE* to, const QString& text);

}  // namespace qelto::cli
