#pragma once

#include "gather.h"

#include "wmi/store.h"

#include <memory>

// The Linux source: what it gathers, and the answers of the 25 classes made from what was
// gathered.
namespace qelto::wmi::lnx {

// The batch of files, globs, links, folder listings and probes the 25 classes are made from.
const GatherPlan& linuxPlan();

// The answers of all classes, made from gathered text only.
std::shared_ptr<InstanceStore> buildStore(const Gathered& gathered);

// Gathers this machine (root "/") or a recorded machine's folder and builds its answers.
std::shared_ptr<InstanceStore> scanLocal(const QString& root = QStringLiteral("/"));

}  // namespace qelto::wmi::lnx
