#include "monitor/talonmon_single_instance.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>

namespace {

constexpr const char *k_proc_dir = "/proc";
// The kernel keeps at most this many characters of a process name.
constexpr size_t k_comm_len = 15;

struct dir_closer {
    void operator()(DIR *dir) const { ::closedir(dir); }
};

bool is_pid(const char *name) {
    if (*name == '\0') {
        return false;
    }
    for (const char *p = name; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    return true;
}

// The process's name as the kernel keeps it; empty when it is gone.
std::string process_name(const std::string &dir) {
    std::ifstream in(dir + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// True when the process runs with effective user id 0.
bool runs_as_root(const std::string &dir) {
    std::ifstream in(dir + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Uid:", 0) == 0) {
            std::istringstream ids(line.substr(4));
            unsigned long real = 0;
            unsigned long effective = 0;
            return static_cast<bool>(ids >> real >> effective) && effective == 0;
        }
    }
    return false;
}

// The process's start time in clock ticks after boot (field 22 of its
// stat file); 0 when it is gone.
unsigned long long start_ticks(const std::string &dir) {
    std::ifstream in(dir + "/stat");
    std::string stat;
    std::getline(in, stat);
    // The name (field 2) may hold spaces and parentheses: count from its end.
    const auto name_end = stat.rfind(')');
    if (name_end == std::string::npos) {
        return 0;
    }
    constexpr int k_fields_after_name = 20;  // fields 3 to 22
    std::istringstream fields(stat.substr(name_end + 1));
    std::string field;
    for (int i = 0; i < k_fields_after_name && fields >> field; ++i) {
    }
    return std::strtoull(field.c_str(), nullptr, 10);
}

}  // namespace

// Only another daemon counts: a process whose name is the program's name
// exactly and that runs as root, like the daemon must. A process of another
// user, or one whose name merely contains the program's, does not.
bool another_instance_running(const std::string &prog) {
    const std::string name = prog.substr(0, k_comm_len);
    const std::string own = std::to_string(::getpid());
    const unsigned long long own_start = start_ticks(std::string(k_proc_dir) + "/self");
    std::unique_ptr<DIR, dir_closer> proc(::opendir(k_proc_dir));
    if (!proc) {
        return false;  // nothing to look at: the check counts as passed
    }
    while (const struct dirent *entry = ::readdir(proc.get())) {
        if (!is_pid(entry->d_name) || own == entry->d_name) {
            continue;
        }
        const std::string dir = std::string(k_proc_dir) + "/" + entry->d_name;
        if (process_name(dir) == name && runs_as_root(dir) && start_ticks(dir) < own_start) {
            return true;
        }
    }
    return false;
}

int talonmon_lock_instance(const std::string &telemetry_dir, utils::unique_fd &lock) {
    utils::unique_fd dir(::open(telemetry_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        return 0;
    }
    if (::flock(dir.get(), LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? -1 : 0;
    }
    lock = std::move(dir);
    return 0;
}
