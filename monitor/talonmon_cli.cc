#include "monitor/talonmon_cli.hpp"
#include "monitor/metrics/talonmon_metrics_server.hpp"

#include "monitor/stack_trace.hpp"
#include "monitor/talonmon_config.hpp"
#include "monitor/talonmon_refused_start.hpp"
#include "monitor/talonmon_signals.hpp"
#include "monitor/talonmon_single_instance.hpp"
#include "monitor/talonmon_socket_activation.hpp"
#include "monitor/talonmon_state.hpp"
#include "utils/log/error_handler.hpp"

#include <spdlog/spdlog.h>

#include <getopt.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int k_exit_fail = 255;

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

bool is_directory(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads the configuration and checks what the daemon needs before it
// starts: 0, or 255 after a message on standard error. Under socket
// activation `inherited_socket` holds the endpoint's socket; a
// configuration without "prometheus" then serves it with the endpoint's
// defaults.
int check_start_up(const std::string &prog, const std::string &config_path, const utils::unique_fd &inherited_socket,
                   talonmon_init_params_s &params, utils::unique_fd &instance_lock) {
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
    // Of two daemons started at the same moment, the one that gets the
    // lock runs.
    if (talonmon_lock_instance(params.telemetry_dir, instance_lock) != 0) {
        std::fprintf(stderr, "Error - %s is already running\n", prog.c_str());
        return k_exit_fail;
    }
    if (!inherited_socket) {
        return 0;
    }
    const std::string socket_address = talonmon_socket_address_text(inherited_socket.get());
    if (!params.prometheus_listen) {
        // A configuration written before the endpoint existed (kept over an
        // upgrade) runs as it did, and the socket the manager listens on is
        // served rather than left to start the daemon again and again.
        params.prometheus_listen_text = socket_address;
        return 0;
    }
    if (!talonmon_socket_matches(inherited_socket.get(), *params.prometheus_listen)) {
        std::fprintf(stderr,
                     "Error - prometheus.listen: %s differs from the address of the socket passed by the "
                     "service manager (%s); make the two agree\n",
                     params.prometheus_listen_text.c_str(), socket_address.c_str());
        return k_exit_fail;
    }
    return 0;
}

}  // namespace

int talonmon_main(int argc, char **argv) {
    const std::string prog = program_name(argv[0]);
    talonmon_install_signal_handlers();

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
            return k_talonmon_exit_ok;
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

    // Under socket activation the endpoint's socket comes from the service
    // manager, bound where the configuration says the endpoint listens.
    utils::unique_fd inherited_socket;
    std::string socket_error;
    if (talonmon_take_listen_socket(inherited_socket, socket_error) != 0) {
        std::fprintf(stderr, "Error - prometheus.listen: %s\n", socket_error.c_str());
        return k_exit_fail;
    }

    talonmon_init_params_s params{};
    utils::unique_fd instance_lock;
    {
        std::optional<talonmon_stderr_capture> capture;
        if (inherited_socket) {
            capture.emplace();
        }
        if (check_start_up(prog, config_path, inherited_socket, params, instance_lock) != 0) {
            if (capture) {
                talonmon_answer_refused_start(inherited_socket.get(), capture->finish());
            }
            return k_exit_fail;
        }
    }

    std::optional<talonmon_metrics_server> metrics_server;
    if (params.prometheus_listen || inherited_socket) {
        std::vector<std::string> lif_counters;
        std::vector<std::string> port_counters;
        for (const auto &counter : params.lif_counters) {
            lif_counters.push_back(counter.counter);
        }
        for (const auto &counter : params.port_counters) {
            port_counters.push_back(counter.counter);
        }
        g_talonmon_metrics.enable(std::move(lif_counters), std::move(port_counters),
                                  talonmon_histogram_positions(params.lif_counters),
                                  talonmon_histogram_positions(params.port_counters));
        metrics_server.emplace(g_talonmon_metrics);
        std::string error;
        int rc;
        {
            const talonmon_termination_signal_block block;
            rc = inherited_socket ? metrics_server->start_on_socket(inherited_socket.release(), error)
                                  : metrics_server->start(*params.prometheus_listen, error);
        }
        if (rc != 0) {
            std::fprintf(stderr, "Error - prometheus.listen: cannot listen on %s: %s\n",
                         params.prometheus_listen_text.c_str(), error.c_str());
            return k_exit_fail;
        }
    }

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
    talonmon_print_exiting();
    return k_talonmon_exit_ok;
}
