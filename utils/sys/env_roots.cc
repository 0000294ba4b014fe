#include "utils/sys/env_roots.hpp"

#include <cstdlib>

namespace utils {

namespace {

std::string env_or(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? std::string(value) : std::string(fallback);
}

}  // namespace

std::string sysfs_root()
{
    return env_or("TALON_SYSFS_DIR", "/sys");
}

std::string dev_root()
{
    return env_or("TALON_DEV_DIR", "/dev");
}

}  // namespace utils
