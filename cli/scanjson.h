#pragma once

#include "scan/record.h"
#include "scan/tree.h"

#include <QByteArray>
#include <QLocale>

namespace qelto::cli {

// One scan as a JSON object: {"tree": [{"key","parent","image","text"}…], "record": {…}} with the
// nodes in order of adding (the root's parent null) and the 19 public fields plus computername.
QByteArray scanToJson(const scan::InventoryTree& tree, const scan::ScanRecord& record);

// The tree as an indented outline, one node per line: control characters in a node's text
// become blanks, as in the report, so that no value starts a line of its own.
QByteArray scanToOutline(const scan::InventoryTree& tree);

}  // namespace qelto::cli
