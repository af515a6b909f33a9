#pragma once

// CSV as the archive's lists of people read it and its exports write it.

#include <QString>
#include <QStringList>

namespace qelto::common {

// One line of a CSV file split into its fields ("" inside quotes is one quote).
QStringList csvFields(const QString& line);

// The fields as one CSV line, without its line end: fields quoted where they hold a comma, a
// quote or a line end. A field that a spreadsheet program would take for a formula (it starts
// with =, +, - or @, or with a tab or CR, which some of them skip before looking) gets a leading
// apostrophe: values come from the scanned computers, and a
// cell must not compute what one of them planted.
QString csvLine(const QStringList& fields);

}  // namespace qelto::common
