// talonmon-top: a live view of the cards talonmon watches, from its metrics
// endpoint or, when that is off, from its telemetry files.
#include "top/top_config.hpp"
#include "top/top_format.hpp"
#include "top/top_model.hpp"
#include "top/top_reader.hpp"
#include "top/top_source.hpp"
#include "top/top_view.hpp"

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
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
constexpr double k_default_share_alarm = 1.0;  // per cent
// How long the keyboard is waited on before readings are looked at again.
constexpr std::chrono::milliseconds k_input_wait{50};
// How often the screen is drawn without a key or a reading (ages move).
constexpr std::chrono::milliseconds k_redraw_period{500};
// The daemon flushes its telemetry files about once a second: lines reach
// the files up to this much after their time stamps.
constexpr double k_flush_allowance = 1.0;
constexpr int k_periods_before_stale = 2;

const char *k_usage =
    "usage: talonmon-top [-c FILE] [--url URL] [--telemetry-dir DIR] [-d SECONDS] [--bits]\n"
    "       talonmon-top [options] --once | --json | --batch [-n COUNT] [--format csv|jsonl]\n"
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
    "  -b, --batch            print one record per counter every delay\n"
    "  -n, --iterations COUNT with --batch: stop after COUNT intervals\n"
    "      --format FORMAT    with --batch: csv (default) or jsonl\n"
    "      --bits             byte rates in bits per second\n"
    "      --retx-alarm PCT   highlight RETX% above PCT (default 1)\n"
    "  -V, --version          print the version and exit\n"
    "  -h, --help             this text\n"
    "\n"
    "Keys: q quit, h help, p pause, v view, Enter open a card, s sort, r reverse,\n"
    "b bits/bytes, / filter, arrows scroll.\n";

// Set by SIGINT, SIGTERM and SIGHUP; a lock-free atomic is safe to store to
// from a signal handler.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void on_stop_signal(int) {
    g_stop.store(true, std::memory_order_relaxed);
}

enum long_only_e : int { k_opt_once = 256, k_opt_json, k_opt_format, k_opt_bits, k_opt_alarm };

struct options_s {
    std::optional<std::string> config;
    std::optional<std::string> url;
    std::optional<std::string> telemetry_dir;
    double delay = k_default_delay;
    bool once = false;
    bool json = false;
    bool batch = false;
    std::optional<unsigned long> iterations;
    top_batch_format_e format = top_batch_format_e::csv;
    bool format_given = false;
    bool bits = false;
    double share_alarm = k_default_share_alarm / 100;
};

int usage_error(const std::string &message) {
    std::cerr << "talonmon-top: " << message << "\n" << k_usage;
    return k_exit_usage;
}

std::optional<double> number_in(const char *text, double low, double high) {
    char *end = nullptr;
    const double d = std::strtod(text, &end);
    if (*text == '\0' || *end != '\0' || !std::isfinite(d) || d < low || d > high) {
        return std::nullopt;
    }
    return d;
}

// Returns -1 to go on, else the exit status.
int parse_options(int argc, char **argv, options_s &options) {
    static const option k_long[] = {
        {"config", required_argument, nullptr, 'c'},    {"url", required_argument, nullptr, 'u'},
        {"telemetry-dir", required_argument, nullptr, 't'}, {"delay", required_argument, nullptr, 'd'},
        {"once", no_argument, nullptr, k_opt_once},      {"json", no_argument, nullptr, k_opt_json},
        {"batch", no_argument, nullptr, 'b'},           {"iterations", required_argument, nullptr, 'n'},
        {"format", required_argument, nullptr, k_opt_format}, {"bits", no_argument, nullptr, k_opt_bits},
        {"retx-alarm", required_argument, nullptr, k_opt_alarm}, {"version", no_argument, nullptr, 'V'},
        {"help", no_argument, nullptr, 'h'},            {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    optind = 1;
    for (;;) {
        const int opt = getopt_long(argc, argv, ":c:u:t:d:bn:Vh", k_long, nullptr);
        if (opt == -1) {
            break;
        }
        switch (opt) {
        case 'h':
            std::cout << k_usage;
            return k_exit_ok;
        case 'V':
            std::cout << "talonmon-top " << TALONMON_TOP_VERSION << "\n";
            return k_exit_ok;
        case 'c':
            options.config = optarg;
            break;
        case 'u':
            options.url = optarg;
            break;
        case 't':
            options.telemetry_dir = optarg;
            break;
        case 'd':
            if (const auto d = number_in(optarg, k_min_delay, k_max_delay)) {
                options.delay = *d;
            } else {
                return usage_error(std::string("-d takes seconds from 0.1 to 3600, not '") + optarg + "'");
            }
            break;
        case 'n': {
            char *end = nullptr;
            const unsigned long n = std::strtoul(optarg, &end, 10);
            if (*optarg == '\0' || *optarg == '-' || *end != '\0' || n == 0) {
                return usage_error(std::string("-n takes a count of at least 1, not '") + optarg + "'");
            }
            options.iterations = n;
            break;
        }
        case 'b':
            options.batch = true;
            break;
        case k_opt_once:
            options.once = true;
            break;
        case k_opt_json:
            options.json = true;
            break;
        case k_opt_bits:
            options.bits = true;
            break;
        case k_opt_format:
            options.format_given = true;
            if (std::strcmp(optarg, "csv") == 0) {
                options.format = top_batch_format_e::csv;
            } else if (std::strcmp(optarg, "jsonl") == 0) {
                options.format = top_batch_format_e::jsonl;
            } else {
                return usage_error(std::string("--format takes csv or jsonl, not '") + optarg + "'");
            }
            break;
        case k_opt_alarm:
            if (const auto pct = number_in(optarg, 0, 100)) {
                options.share_alarm = *pct / 100;
            } else {
                return usage_error(std::string("--retx-alarm takes a percentage from 0 to 100, not '") + optarg + "'");
            }
            break;
        case ':':
            return usage_error(std::string(argv[optind - 1]) + " needs a value");
        default:
            return usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (optind < argc) {
        return usage_error(std::string("unexpected argument '") + argv[optind] + "'");
    }
    if (options.once + options.json + options.batch > 1) {
        return usage_error("--once, --json and --batch exclude each other");
    }
    if (!options.batch && (options.iterations || options.format_given)) {
        return usage_error("-n and --format go with --batch");
    }
    if (options.url) {
        top_url_s parsed;
        if (std::string err = top_parse_url(*options.url, parsed); !err.empty()) {
            return usage_error(err);
        }
    }
    return -1;
}

struct chosen_s {
    std::unique_ptr<top_source> source;
    top_snapshot_s first;
};

// The endpoint when it answers, else the telemetry files when there are
// any; else every reason, for the message.
std::string choose_source(const options_s &options, top_config_s &config, chosen_s &chosen) {
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
        const std::string err = source->read(snapshot, &g_stop);
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

void apply(const top_reading_s &reading, top_model &model) {
    if (reading.error.empty()) {
        model.update(reading.snapshot);
    } else {
        model.update_failed(reading.snapshot.wall, reading.error);
    }
}

void read_into(top_source &source, top_model &model) {
    top_reading_s reading;
    reading.error = source.read(reading.snapshot, &g_stop);
    apply(reading, model);
}

void sleep_for_delay(double delay) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(delay);
    while (!g_stop && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

double monotonic_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Readings come from a thread of their own; this loop only waits on the
// keyboard (a short while at a time), so a key is answered whatever the
// source does.
int run_interactive(top_source &source, top_model &model, const options_s &options) {
    using clock_type = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(options.delay));
    top_view view(options.share_alarm);
    top_view_state_s state;
    state.bits = options.bits;
    top_reader reader(source, period);
    auto drawn = clock_type::now();
    bool dirty = true;
    while (!state.quit && !g_stop) {
        if (!state.paused) {
            if (auto reading = reader.take()) {
                apply(*reading, model);
                dirty = true;
            }
            model.age(monotonic_seconds());
        }
        const auto busy = reader.busy_since();
        const auto now = clock_type::now();
        state.reading_for.reset();
        if (busy && now - *busy > period) {
            state.reading_for = std::chrono::duration<double>(now - *busy).count();
        }
        if (dirty || now - drawn >= k_redraw_period) {
            view.draw(source.describe(), model, state);
            drawn = now;
            dirty = false;
        }
        dirty = view.handle_input(k_input_wait, model, state);
    }
    return k_exit_ok;
}

int run_batch(top_source &source, top_model &model, const options_s &options) {
    for (unsigned long i = 0; !g_stop && (!options.iterations || i < *options.iterations); ++i) {
        sleep_for_delay(options.delay);
        if (g_stop) {
            break;
        }
        read_into(source, model);
        model.age(monotonic_seconds());
        std::cout << top_batch_records(model, options.format, i == 0) << std::flush;
        if (!std::cout.good()) {
            return k_exit_failure;
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

    top_config_s config;
    chosen_s chosen;
    if (std::string err = choose_source(options, config, chosen); !err.empty()) {
        std::cerr << "talonmon-top: " << err << "\n";
        return k_exit_failure;
    }
    top_model model;
    model.set_periods(config.lif_period, config.port_period);
    // A card is stale once it has had no new sample for two of its periods,
    // two readings and the daemon's flush of its files.
    model.set_stale_after(k_periods_before_stale * std::max({config.lif_period, config.port_period, options.delay}) +
                          k_flush_allowance);
    model.update(chosen.first);
    top_source &source = *chosen.source;
    top_style_s style;
    style.bits = options.bits;
    style.share_alarm = options.share_alarm;

    if (options.once || options.json) {
        // Rates need a second reading one delay later.
        sleep_for_delay(options.delay);
        read_into(source, model);
        std::cout << (options.json ? top_json(source.describe(), model)
                                   : top_plain_table(source.describe(), model, 0, "", style));
        return std::cout.good() ? k_exit_ok : k_exit_failure;
    }
    if (options.batch) {
        return run_batch(source, model, options);
    }
    if (!::isatty(STDOUT_FILENO) || !::isatty(STDIN_FILENO)) {
        // Not a terminal: a plain table every delay, until stopped.
        while (!g_stop) {
            sleep_for_delay(options.delay);
            read_into(source, model);
            std::cout << top_plain_table(source.describe(), model, 0, "", style) << std::endl;
            if (!std::cout.good()) {
                return k_exit_failure;
            }
        }
        return k_exit_ok;
    }
    return run_interactive(source, model, options);
}
