#pragma once

#include <cstddef>

namespace qelto::reach {

// Raises this process's soft limit of open descriptors to its hard limit; returns the limit now
// in force.
std::size_t raiseDescriptorLimit();

}  // namespace qelto::reach
