#pragma once

#include "wmi/store.h"

#include <memory>

namespace qelto::bench {

// A made-up machine whose size grows with `scale`: 1000 accounts, 500 shares, 100 disks and 20
// network adapters (each with its IP-enabled configuration) per unit, plus one object of every
// other class. Scale 4 gives a tree of about 10,000 nodes.
std::shared_ptr<wmi::InstanceStore> generateMachine(int scale);

}  // namespace qelto::bench
