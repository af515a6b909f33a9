#pragma once

#include "software.h"

#include "scan/record.h"
#include "scan/tree.h"

#include <QByteArray>
#include <QLocale>

namespace qelto::cli {

// One scan as a JSON object: {"tree": [{"key","parent","image","text"}…], "record": {…}} with the
// nodes in order of adding (the root's parent null) and the 19 public fields plus computername.
// With programs, also "software" and "updates": arrays of objects keyed by the classes' property
// names, or null where the source cannot tell.
QByteArray scanToJson(const scan::InventoryTree& tree, const scan::ScanRecord& record,
                      const Programs* programs = nullptr);

// The tree as an indented outline, one node per line: control characters in a node's text
// become blanks, as in the report, so that no value starts a line of its own.
QByteArray scanToOutline(const scan::InventoryTree& tree);

}  // namespace qelto::cli
