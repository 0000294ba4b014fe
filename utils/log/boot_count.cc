#include "utils/log/boot_count.hpp"

#include "utils/sys/stdio_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace utils {

namespace {

constexpr size_t k_read_chunk = 64;

}  // namespace

std::string boot_count_path() {
    const char *dir = std::getenv("PERSISTENT_LOG_DIR");
    std::string path = dir ? dir : k_default_persistent_log_dir;
    path += '/';
    path += k_boot_count_file;
    return path;
}

int32_t boot_count_get() {
    unique_file in = open_file(boot_count_path(), "r");
    if (!in) {
        return 0;
    }
    std::string line;
    char chunk[k_read_chunk];
    while (std::fgets(chunk, sizeof(chunk), in.get()) != nullptr) {
        line += chunk;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            break;
        }
    }
    if (line.empty() && std::ferror(in.get())) {
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
