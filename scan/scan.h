#pragma once

#include "record.h"
#include "rules.h"
#include "tree.h"
#include "wmi/service.h"

#include <QLocale>

#include <vector>

namespace qelto::scan {

// One scan of the connected machine: empties the tree, adds the computer and the 18 categories,
// runs the 24 query groups in their order, then selects every node once (so every category ends
// expanded) and finally the root. Nothing that fails inside is reported in the tree: a line whose
// value cannot be read is missing. Query failures, the values that could not be read and a full
// tree are collected in `problems` when given.
void infoscan(wmi::Service& service, InventoryTree& tree, ScanRecord& record,
              const QLocale& locale = QLocale::system(), std::vector<Problem>* problems = nullptr);

// The categories in the order in which the scan adds them: key, text, image.
struct Category {
    const char* key;
    const char* text;
    const char* image;
};
std::span<const Category> categories();

}  // namespace qelto::scan
