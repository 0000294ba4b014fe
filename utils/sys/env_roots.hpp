// Where the daemon finds PCI sysfs and device nodes. Both roots come from
// the environment on every call, so a test can point them at a fake tree.
#pragma once

#include <string>

namespace utils {

// ${TALON_SYSFS_DIR:-/sys}
std::string sysfs_root();

// ${TALON_DEV_DIR:-/dev}
std::string dev_root();

}  // namespace utils
