#include "monitor/talonmon_process.hpp"

#include "monitor/metrics/talonmon_metrics_server.hpp"
#include "monitor/talonmon_config.hpp"
#include "monitor/talonmon_state.hpp"
#include "utils/log/error_handler.hpp"
#include "utils/log/trace.hpp"
#include "utils/sys/stdio_file.hpp"

#include <spdlog/spdlog.h>

#include <cxxabi.h>
#include <execinfo.h>
#include <getopt.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace {

constexpr int k_exit_ok = 0;
constexpr int k_exit_fail = 255;
constexpr int k_max_frames = 64;
constexpr size_t k_ps_line_len = 256;

std::atomic<int> g_received_signal{0};
// Where the handler ran: its trace line is written later, outside the handler.
std::atomic<const spdlog::source_loc *> g_signal_handler_loc{nullptr};

const char *const k_usage =
    "Usage: %s [OPTIONS]\n"
    "  -h, --help           show this help message\n"
    "  -c, --config-file    specify config file\n";

void print_usage(const char *argv0) {
    std::printf(k_usage, argv0);
    std::fflush(stdout);
}

// POSIX basename of argv[0], on a copy (basename may modify its argument).
std::string program_name(const char *argv0) {
    std::string copy = argv0 ? argv0 : "";
    return ::basename(copy.data());
}

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

// True when `ps` lists another process whose line names the program.
bool another_instance_running(const std::string &prog) {
    // The own process is left out by its PID column, so that another
    // instance whose PID merely contains ours is still seen.
    const std::string command = "ps -eo pid,comm | grep -v grep | grep " + shell_quote(prog) +
                                " | grep -v '^ *" + std::to_string(::getpid()) + " '";
    utils::command_pipe pipe(command);
    char line[k_ps_line_len];
    return pipe.read_line(line, sizeof(line));
}

bool is_directory(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void print_exiting() {
    std::printf("Exiting TALON monitor ...\n");
    std::fflush(stdout);
}

}  // namespace

void talonmon_signal_handler(int signo) {
    static constexpr spdlog::source_loc k_here{__FILE__, __LINE__, __func__};
    g_signal_handler_loc.store(&k_here);
    g_received_signal.store(signo);
    g_talonmon_state.set_running(false);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}
static_assert(decltype(g_signal_handler_loc)::is_always_lock_free, "stored from a signal handler");

void talonmon_log_received_signal() {
    int signo = g_received_signal.load();
    const spdlog::source_loc *where = g_signal_handler_loc.load();
    if (signo != 0 && where != nullptr) {
        utils::trace_msg(trace_level_info, *where, "received signal {}, exiting ...", signo);
    }
}

void print_stack_trace(std::FILE *out) {
    std::fprintf(out, "stack trace:\n");
    void *addresses[k_max_frames];
    int count = ::backtrace(addresses, k_max_frames);
    if (count == 0) {
        std::fprintf(out, "  <empty, possibly corrupt>\n");
        return;
    }
    std::unique_ptr<char *, decltype(&std::free)> symbols(::backtrace_symbols(addresses, count), &std::free);
    if (!symbols || count < 2) {
        return;
    }
    size_t name_size = 256;
    std::unique_ptr<char, decltype(&std::free)> name_buf(static_cast<char *>(std::malloc(name_size)), &std::free);
    for (int i = 1; i < count; ++i) {
        std::string line = symbols.get()[i];
        size_t begin_name = line.find('(');
        size_t end_offset = (begin_name == std::string::npos) ? std::string::npos : line.find(')', begin_name);
        size_t begin_offset =
            (end_offset == std::string::npos) ? std::string::npos : line.rfind('+', end_offset);
        if (begin_name == std::string::npos || end_offset == std::string::npos ||
            begin_offset == std::string::npos || begin_offset <= begin_name) {
            std::fprintf(out, "  %s\n", line.c_str());
            continue;
        }
        std::string module = line.substr(0, begin_name);
        std::string mangled = line.substr(begin_name + 1, begin_offset - begin_name - 1);
        std::string offset = line.substr(begin_offset + 1, end_offset - begin_offset - 1);
        int status = 0;
        char *demangled = abi::__cxa_demangle(mangled.c_str(), name_buf.get(), &name_size, &status);
        if (status == 0 && demangled != nullptr) {
            name_buf.release();
            name_buf.reset(demangled);  // the demangler may have grown the buffer
            std::fprintf(out, "  %s : %s+%s\n", module.c_str(), demangled, offset.c_str());
        } else {
            std::fprintf(out, "  %s : %s()+%s\n", module.c_str(), mangled.c_str(), offset.c_str());
        }
    }
}

int talonmon_main(int argc, char **argv) {
    const std::string prog = program_name(argv[0]);

    if (::geteuid() != 0) {
        std::fprintf(stderr,
                     "Error - TALON monitor requires root privileges, please login as superuser or use sudo\n");
        return k_exit_fail;
    }
    if (another_instance_running(prog)) {
        std::fprintf(stderr, "Error - %s is already running\n", prog.c_str());
        return k_exit_fail;
    }

    spdlog::set_error_handler(&utils::log_error_handler);
    utils::set_format_error_hook(&print_stack_trace);

    static const struct option k_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"config-file", required_argument, nullptr, 'c'},
        {nullptr, 0, nullptr, 0},
    };
    std::string config_path;
    int opt;
    while ((opt = ::getopt_long(argc, argv, "hc:", k_options, nullptr)) != -1) {
        switch (opt) {
        case 'c':
            config_path = optarg;
            break;
        case 'h':
            print_usage(argv[0]);
            return k_exit_ok;
        default:
            print_usage(argv[0]);
            return k_exit_fail;
        }
    }
    if (config_path.empty()) {
        std::fprintf(stderr, "Error - \"config-file\" is mandatory\n");
        print_usage(argv[0]);
        return k_exit_fail;
    }

    talonmon_init_params_s params{};
    if (parse_config_from_json(config_path, params) != 0) {
        return k_exit_fail;
    }
    if (!is_directory(params.log_dir)) {
        std::fprintf(stderr, "Log directory %s doesn't exist or not accessible\n", params.log_dir.c_str());
        return k_exit_fail;
    }
    if (!is_directory(params.telemetry_dir)) {
        std::fprintf(stderr, "Telemetry directory %s doesn't exist or not accessible\n",
                     params.telemetry_dir.c_str());
        return k_exit_fail;
    }

    std::optional<talonmon_metrics_server> metrics_server;
    if (params.prometheus_listen) {
        std::vector<std::string> lif_counters;
        std::vector<std::string> port_counters;
        for (const auto &counter : params.lif_counters) {
            lif_counters.push_back(counter.counter);
        }
        for (const auto &counter : params.port_counters) {
            port_counters.push_back(counter.counter);
        }
        g_talonmon_metrics.enable(std::move(lif_counters), std::move(port_counters));
        metrics_server.emplace(g_talonmon_metrics);
        std::string error;
        if (metrics_server->start(*params.prometheus_listen, error) != 0) {
            std::fprintf(stderr, "Error - prometheus.listen: cannot listen on %s: %s\n",
                         params.prometheus_listen_text.c_str(), error.c_str());
            return k_exit_fail;
        }
    }

    std::signal(SIGINT, talonmon_signal_handler);
    std::signal(SIGTERM, talonmon_signal_handler);

    if (talonmon_init(&params) != 0) {
        std::fprintf(stderr, "Failed to initiate TALON monitor ...\n");
        return k_exit_fail;
    }
    talonmon_log_received_signal();
    while (g_talonmon_state.running()) {
        ::sleep(1);
    }
    // A scrape in progress ends within the endpoint's time-outs.
    metrics_server.reset();
    // Close the card files now: at static destruction the logging
    // library's registry may already be gone.
    g_talonmon_state.teardown();
    print_exiting();
    return k_exit_ok;
}

void talonmon_exit_without_health_checker() {
    talonmon_log_received_signal();
    // Every record is flushed as it is written; this covers the trace log.
    spdlog::apply_all([](const std::shared_ptr<spdlog::logger> &logger) { logger->flush(); });
    print_exiting();
    std::_Exit(k_exit_ok);
}
