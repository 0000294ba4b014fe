#include "monitor/talonmon_trace.hpp"

#include "logger/logger.hpp"
#include "utils/log/error_handler.hpp"
#include "utils/log/trace.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

std::string talonmon_log_path(const char *dir, const char *file) {
    if (dir == nullptr) {
        return file;
    }
    if (::mkdir(dir, 0755) == 0) {
        return std::string(dir) + file;
    }
    struct stat st {};
    if (errno == EEXIST && ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) {
        if (::access(dir, W_OK) != 0) {
            std::fprintf(stderr, "No permissions to create log file in %s\n", dir);
            return {};
        }
        return std::string(dir) + file;
    }
    std::fprintf(stderr, "Error: failed to create log dir %s\n", dir);
    return {};
}

int talonmon_trace_init(const talonmon_init_params_s *params) {
    // The lower layers' messages are of no use in the daemon's files.
    logger_init(null_logger_cb_);
    const std::string trace_file = talonmon_log_path(params->log_dir.c_str(), k_trace_file);
    const std::string err_file = trace_file.empty() ? std::string() : talonmon_log_path(params->log_dir.c_str(), k_trace_err_file);
    if (trace_file.empty() || err_file.empty()) {
        std::fprintf(stderr, "Failed to create log files, abort...\n");
        return 255;
    }
    utils::trace_params_s trace_params{};
    trace_params.name = k_trace_logger_name;
    trace_params.cpu_mask = 0;
    trace_params.sync = true;
    trace_params.err_file = err_file.c_str();
    trace_params.trace_file = trace_file.c_str();
    trace_params.file_size = k_trace_file_size;
    trace_params.num_files = k_trace_num_files;
    trace_params.trace_level = trace_level_debug;
    try {
        g_trace_logger = utils::trace_init(&trace_params);
    } catch (const spdlog::spdlog_ex &e) {
        // The files exist in a writable directory but cannot be opened.
        utils::log_error_handler(e.what());
        std::fprintf(stderr, "Failed to create log files, abort...\n");
        return 255;
    }
    return 0;
}
