#include "monitor/talonmon_single_instance.hpp"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

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

}  // namespace

// Only another daemon counts: a process whose name is the program's name
// exactly and that runs as root, like the daemon must. A process of another
// user, or one whose name merely contains the program's, does not.
bool another_instance_running(const std::string &prog) {
    const std::string name = prog.substr(0, k_comm_len);
    const std::string own = std::to_string(::getpid());
    std::unique_ptr<DIR, dir_closer> proc(::opendir(k_proc_dir));
    if (!proc) {
        return false;  // nothing to look at: the check counts as passed
    }
    while (const struct dirent *entry = ::readdir(proc.get())) {
        if (!is_pid(entry->d_name) || own == entry->d_name) {
            continue;
        }
        const std::string dir = std::string(k_proc_dir) + "/" + entry->d_name;
        if (process_name(dir) == name && runs_as_root(dir)) {
            return true;
        }
    }
    return false;
}
