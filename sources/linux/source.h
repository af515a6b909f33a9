#pragma once

#include "gather.h"

#include "wmi/store.h"

#include <memory>

// The Linux source: what it gathers, and the answers of the 25 classes made from what was
// gathered, wherever that was gathered (this machine: local.h; a remote one: stream.h).
namespace qelto::wmi::lnx {

// The batch of files, globs, links, folder listings and probes the 25 classes are made from.
const GatherPlan& linuxPlan();

// The answers of all classes, made from gathered text only.
std::shared_ptr<InstanceStore> buildStore(const Gathered& gathered);

}  // namespace qelto::wmi::lnx
