#pragma once

#include "archive/export.h"

#include <QString>

namespace qelto::cli {

// Writes the table as an XLSX workbook of one sheet (the header bold and frozen, every cell a
// text) to `path`: to a new file beside it, renamed over it only when complete. False, with the
// reason in `problem`, when it could not be written.
bool writeXlsx(const archive::ExportTable& table, const QString& path, QString& problem);

}  // namespace qelto::cli
