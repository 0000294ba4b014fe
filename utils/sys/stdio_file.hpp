// Standard I/O streams opened without a window in which a concurrently
// started child could inherit their descriptor.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace utils {

struct file_closer {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};
using unique_file = std::unique_ptr<std::FILE, file_closer>;

// Opens path as fopen does for mode ("r", "w", "a", optionally with "b" and
// "+"), with O_CLOEXEC set by the open itself. Null with errno set on
// failure, EINVAL for a mode it does not know.
unique_file open_file(const std::string &path, const char *mode);

// A command run by /bin/sh -c with its standard output read through a pipe,
// as popen(command, "re") does, except that the command inherits no
// descriptor beyond the standard streams.
class command_pipe {
public:
    explicit command_pipe(const std::string &command);
    // argv[0], found on PATH, run with argv directly, without a shell.
    explicit command_pipe(const std::vector<std::string> &argv);
    ~command_pipe() { close(); }
    command_pipe(const command_pipe &) = delete;
    command_pipe &operator=(const command_pipe &) = delete;

    bool ok() const noexcept { return f_ != nullptr; }
    std::FILE *get() const noexcept { return f_; }
    // One line (fgets), false at the end of output or when not open.
    bool read_line(char *buf, size_t size);
    // Waits for the command; true when it exited normally with status 0.
    bool close();

private:
    void start(const char *file, const char *const argv[], bool search_path);

    std::FILE *f_ = nullptr;
    pid_t pid_ = -1;
};

// Runs argv[0] (found on PATH) with argv, passing on only the standard
// streams, and waits for it; true when it exited with status 0.
bool run_program(const std::vector<std::string> &argv);

}  // namespace utils
