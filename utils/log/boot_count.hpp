// Boot number of the host, read from the platform's persistent boot counter.
#pragma once

#include <cstdint>
#include <string>

namespace utils {

// Directory of the counter file when PERSISTENT_LOG_DIR is unset.
inline constexpr const char *k_default_persistent_log_dir = "/obfl";
inline constexpr const char *k_boot_count_file = "boot_count.txt";

// Path of the boot counter file: $PERSISTENT_LOG_DIR (or /obfl) + "/boot_count.txt".
std::string boot_count_path();

// Reads the first line of the counter file as a decimal number. A missing,
// unreadable or empty file, or a first line that is not a number, gives 0.
int32_t boot_count_get();

// "*** Boot #<n> ***\n", the number printed as an unsigned 32-bit value.
std::string boot_banner(int32_t boot_count);

}  // namespace utils
