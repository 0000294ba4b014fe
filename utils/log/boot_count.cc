#include "utils/log/boot_count.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace utils {

std::string boot_count_path() {
    const char *dir = std::getenv("PERSISTENT_LOG_DIR");
    std::string path = dir ? dir : k_default_persistent_log_dir;
    path += '/';
    path += k_boot_count_file;
    return path;
}

int32_t boot_count_get() {
    std::ifstream in(boot_count_path());
    if (!in) {
        return 0;
    }
    std::string line;
    if (!std::getline(in, line)) {
        return 0;
    }
    const char *begin = line.c_str();
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE) {
        return 0;
    }
    return static_cast<int32_t>(value);
}

std::string boot_banner(int32_t boot_count) {
    return "*** Boot #" + std::to_string(static_cast<uint32_t>(boot_count)) + " ***\n";
}

}  // namespace utils
