// talonmon-top: a live view of the cards talonmon watches, from its metrics
// endpoint or, when that is off, from its telemetry files.
#include "top/top_config.hpp"
#include "top/top_format.hpp"
#include "top/top_model.hpp"
#include "top/top_source.hpp"
#include "top/top_view.hpp"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int k_exit_ok = 0;
constexpr int k_exit_failure = 1;
constexpr int k_exit_usage = 2;
constexpr double k_min_delay = 0.1;
constexpr double k_max_delay = 3600;
constexpr double k_default_delay = 1.0;

const char *k_usage =
    "usage: talonmon-top [-c FILE] [--url URL] [--telemetry-dir DIR] [-d SECONDS] [--once | --json]\n"
    "\n"
    "Shows every card talonmon watches: state, LIFs and ports with the rate of\n"
    "every configured counter. Reads the metrics endpoint (prometheus.listen of\n"
    "the configuration, or --url), else the telemetry files (telemetry_dir, or\n"
    "--telemetry-dir).\n"
    "\n"
    "  -c, --config FILE      the daemon's configuration (default /etc/talonmon.json)\n"
    "  -u, --url URL          the metrics endpoint, http://HOST:PORT[/metrics]\n"
    "  -t, --telemetry-dir DIR  the directory of the card_*_stats.log files\n"
    "  -d, --delay SECONDS    seconds between readings (default 1, at least 0.1)\n"
    "      --once             print one table (rates over one delay) and exit\n"
    "      --json             print the same as one JSON document and exit\n"
    "  -h, --help             this text\n"
    "\n"
    "Keys: q quit, s next sort column, / filter by card or name, arrows scroll.\n";

volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int) {
    g_stop = 1;
}

struct options_s {
    std::optional<std::string> config;
    std::optional<std::string> url;
    std::optional<std::string> telemetry_dir;
    double delay = k_default_delay;
    bool once = false;
    bool json = false;
};

int usage_error(const std::string &message) {
    std::cerr << "talonmon-top: " << message << "\n" << k_usage;
    return k_exit_usage;
}

// Returns -1 to go on, else the exit status.
int parse_options(int argc, char **argv, options_s &options) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&](std::optional<std::string> &out) {
            if (i + 1 >= args.size()) {
                return false;
            }
            out = args[++i];
            return true;
        };
        if (a == "-h" || a == "--help") {
            std::cout << k_usage;
            return k_exit_ok;
        } else if (a == "--once") {
            options.once = true;
        } else if (a == "--json") {
            options.json = true;
        } else if (a == "-c" || a == "--config") {
            if (!value(options.config)) {
                return usage_error(a + " needs a file");
            }
        } else if (a == "-u" || a == "--url") {
            if (!value(options.url)) {
                return usage_error(a + " needs a URL");
            }
        } else if (a == "-t" || a == "--telemetry-dir") {
            if (!value(options.telemetry_dir)) {
                return usage_error(a + " needs a directory");
            }
        } else if (a == "-d" || a == "--delay") {
            std::optional<std::string> text;
            if (!value(text)) {
                return usage_error(a + " needs a number of seconds");
            }
            char *end = nullptr;
            const double d = std::strtod(text->c_str(), &end);
            if (text->empty() || *end != '\0' || !std::isfinite(d) || d < k_min_delay || d > k_max_delay) {
                return usage_error("-d takes seconds from 0.1 to 3600, not '" + *text + "'");
            }
            options.delay = d;
        } else {
            return usage_error("unknown argument '" + a + "'");
        }
    }
    if (options.once && options.json) {
        return usage_error("--once and --json exclude each other");
    }
    return -1;
}

struct chosen_s {
    std::unique_ptr<top_source> source;
    top_snapshot_s first;
};

// The endpoint when it answers, else the telemetry files when there are
// any; else every reason, for the message.
std::string choose_source(const options_s &options, chosen_s &chosen) {
    top_config_s config;
    std::string config_error;
    const std::string config_path = options.config.value_or(k_top_default_config);
    const bool config_matters = options.config || !(options.url && options.telemetry_dir);
    if (config_matters) {
        config_error = top_read_config(config_path, config);
        if (!config_error.empty() && options.config) {
            return config_error;
        }
    }
    std::vector<std::string> reasons;
    std::optional<std::string> url = options.url;
    if (!url && !options.telemetry_dir && config.listen) {
        url = top_url_of_listen(*config.listen);
    }
    if (url) {
        top_url_s parsed;
        if (std::string err = top_parse_url(*url, parsed); !err.empty()) {
            return err;
        }
        auto source = top_endpoint_source(parsed, "http://" + (parsed.host.find(':') != std::string::npos
                                                                     ? "[" + parsed.host + "]"
                                                                     : parsed.host) +
                                                      ":" + parsed.port + parsed.path);
        top_snapshot_s snapshot;
        const std::string err = source->read(snapshot);
        if (err.empty()) {
            chosen.source = std::move(source);
            chosen.first = std::move(snapshot);
            return {};
        }
        reasons.push_back("metrics endpoint " + err);
    } else if (!options.telemetry_dir) {
        reasons.push_back(config_error.empty() ? "no metrics endpoint: " + config_path + " has no prometheus.listen"
                                               : "no metrics endpoint: " + config_error);
    }
    if (!options.url || options.telemetry_dir) {
        const std::string dir = options.telemetry_dir.value_or(config.telemetry_dir);
        auto source = top_files_source(dir, config);
        top_snapshot_s snapshot;
        std::string err = source->read(snapshot);
        if (err.empty() && snapshot.cards.empty()) {
            err = "no telemetry files (card_*_stats.log) in " + dir;
        }
        if (err.empty()) {
            chosen.source = std::move(source);
            chosen.first = std::move(snapshot);
            return {};
        }
        reasons.push_back(err);
    }
    std::string message = "nothing to read";
    for (const std::string &r : reasons) {
        message += "\n  " + r;
    }
    return message;
}

void read_into(top_source &source, top_model &model) {
    top_snapshot_s snapshot;
    const std::string err = source.read(snapshot);
    if (err.empty()) {
        model.update(snapshot);
    } else {
        model.update_failed(snapshot.wall, err);
    }
}

void sleep_for_delay(double delay) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(delay);
    while (!g_stop && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int run_interactive(top_source &source, top_model &model, double delay) {
    top_view view;
    top_view_state_s state;
    using clock_type = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(delay));
    auto next = clock_type::now() + period;
    view.draw(source.describe(), model, state);
    while (!state.quit && !g_stop) {
        const auto now = clock_type::now();
        if (now >= next) {
            read_into(source, model);
            next += period;
            if (next < now) {
                next = now + period;
            }
            view.draw(source.describe(), model, state);
            continue;
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now) +
                          std::chrono::milliseconds(1);
        if (view.handle_input(wait, model, state)) {
            view.draw(source.describe(), model, state);
        }
    }
    return k_exit_ok;
}

}  // namespace

int main(int argc, char **argv) {
    options_s options;
    if (const int rc = parse_options(argc, argv, options); rc >= 0) {
        return rc;
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    chosen_s chosen;
    if (std::string err = choose_source(options, chosen); !err.empty()) {
        std::cerr << "talonmon-top: " << err << "\n";
        return k_exit_failure;
    }
    top_model model;
    model.update(chosen.first);
    top_source &source = *chosen.source;

    if (options.once || options.json) {
        // Rates need a second reading one delay later.
        sleep_for_delay(options.delay);
        read_into(source, model);
        std::cout << (options.json ? top_json(source.describe(), model)
                                   : top_plain_table(source.describe(), model, 0, ""));
        return std::cout.good() ? k_exit_ok : k_exit_failure;
    }
    if (!::isatty(STDOUT_FILENO) || !::isatty(STDIN_FILENO)) {
        // Not a terminal: a plain table every delay, until stopped.
        while (!g_stop) {
            sleep_for_delay(options.delay);
            read_into(source, model);
            std::cout << top_plain_table(source.describe(), model, 0, "") << std::endl;
            if (!std::cout.good()) {
                return k_exit_failure;
            }
        }
        return k_exit_ok;
    }
    return run_interactive(source, model, options.delay);
}
