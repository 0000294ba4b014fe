#include "monitor/talonmon_single_instance.hpp"

#include "utils/sys/stdio_file.hpp"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t k_ps_line_len = 256;
// The kernel keeps a process's command name to this many bytes.
constexpr size_t k_comm_len = 15;

}  // namespace

bool another_instance_running(const std::string &prog) {
    // Only a process whose command name is the program's own counts: a
    // process whose name merely contains it (the package's maintainer
    // script "talonmon.postinst" starting the unit, a "talonmon-backup"
    // script) is not another instance.
    const std::string name = prog.substr(0, k_comm_len);
    const pid_t self = ::getpid();
    utils::command_pipe pipe("ps -eo pid=,comm=");
    char line[k_ps_line_len];
    while (pipe.read_line(line, sizeof(line))) {
        char *rest = nullptr;
        const long pid = std::strtol(line, &rest, 10);
        if (rest == line || pid == self) {
            continue;
        }
        while (*rest == ' ') {
            ++rest;
        }
        rest[std::strcspn(rest, "\n")] = '\0';
        if (name == rest) {
            return true;
        }
    }
    return false;
}
