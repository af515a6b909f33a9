#pragma once

#include "archive/export.h"

#include <QString>

#include <vector>

namespace qelto::cli {

// The most characters (code points) one cell of a workbook holds.
inline constexpr qsizetype kXlsxCellLimit = 32767;

// A value longer than a cell holds: its row (from 1, after the header), its column's title and
// its length in characters. The cell holds its beginning and a mark that says so.
struct CutCell {
    qsizetype sheet = 0;  // its sheet, from 0
    qsizetype row = 0;
    QString column;
    qsizetype length = 0;
};

// `value` as a cell holds it: as it is when it fits; else its beginning followed by the mark
// "…［已截断：原有 N 个字符］", the whole no longer than kXlsxCellLimit characters.
QString fittedCell(const QString& value);

// One sheet of a workbook: its name and its table.
struct XlsxSheet {
    const char* name;  // UTF-8
    const archive::ExportTable* table;
};

// Writes the tables as an XLSX workbook, a sheet each (the header bold and frozen, every cell a
// text), to `path`: to a new file beside it, renamed over it only when complete. Values too long
// for a cell are cut as fittedCell says and listed in `cut`. False, with the reason in `problem`,
// when it could not be written.
bool writeXlsx(const std::vector<XlsxSheet>& sheets, const QString& path, std::vector<CutCell>& cut,
               QString& problem);

}  // namespace qelto::cli
