#include "monitor/talonmon_single_instance.hpp"

#include "utils/sys/stdio_file.hpp"

#include <unistd.h>

namespace {

constexpr size_t k_ps_line_len = 256;

// Wraps `text` in single quotes for /bin/sh.
std::string shell_quote(const std::string &text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

}  // namespace

bool another_instance_running(const std::string &prog) {
    // The own process is left out by its PID column, so that another
    // instance whose PID merely contains ours is still seen.
    const std::string command = "ps -eo pid,comm | grep -v grep | grep " + shell_quote(prog) +
                                " | grep -v '^ *" + std::to_string(::getpid()) + " '";
    utils::command_pipe pipe(command);
    char line[k_ps_line_len];
    return pipe.read_line(line, sizeof(line));
}
