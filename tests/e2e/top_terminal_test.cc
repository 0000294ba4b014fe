// talonmon-top as an operator uses it: in a real terminal (tmux) against the
// daemon and the emulator, with counters at known rates, reading the screen
// with capture-pane; and its one-shot outputs.
#include "tests/e2e/emulated_daemon.hpp"
#include "tests/e2e/metrics_helpers.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <regex>
#include <sstream>
#include <tuple>

namespace {

using namespace std::chrono_literals;
using test_support::run_process;
using test_support::shell_quote;
using test_support::wait_until;
namespace pt = boost::property_tree;

const std::string k_top = TALONMON_TOP_BIN;
constexpr const char *k_tmux = "/usr/bin/tmux";

// Known rates set on LIF 0 and port 0 of card 0.
constexpr double k_tx_bytes_rate = 3 * 1024 * 1024;  // 3.00MiB/s
constexpr double k_retransmit_rate = 31457.28;       // 1.00 % of it (set as 31457)
constexpr double k_frames_rate = 2500;                // 2.50kpkt/s
// A rate is the change between two samples over their time. The emulator
// moves its counters every 5 ms and the daemon samples every 10 ms: over a
// one-second interval a few per cent cover a sample that lags its time by
// up to a pass at either end.
constexpr double k_tolerance = 0.05;

const std::string k_counters = R"(
        "card": { "liveness_poll_interval": 100000, "tick_mode": "sleep" },
        "lif": { "poll_interval": 10000, "counters": [
            { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } },
            { "counter": "rx_rdma_unicast_bytes", "action": { "stats_record": true } },
            { "counter": "tx_rdma_retransmit_bytes", "cumulative": false, "action": { "stats_record": true } },
            { "counter": "rx_rdma_responder_dup_requests", "action": { "stats_record": true } },
            { "counter": "tx_rdma_unicast_packets", "action": { "stats_record": true } },
            { "counter": "rx_rdma_unicast_packets", "action": { "stats_record": true } } ] },
        "port": { "poll_interval": 10000, "counters": [
            { "counter": "frames_tx_ok", "action": { "stats_record": true } } ] })";

// Runs a command in the test's own PID namespace: a tmux server must outlive
// the client that starts it, and ps must see the test's processes.
test_support::process_result run_here(const std::vector<std::string> &argv,
                                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    return test_support::child_process(argv, {}, test_support::pid_namespace::shared).wait(limit);
}

// A tmux server of the test's own with one window running a command.
class tmux_session {
public:
    tmux_session(const std::string &dir, const std::string &command, int width, int height) : socket_(dir + "/tmux.sock") {
        EXPECT_EQ(run_here({k_tmux, "-S", socket_, "-f", "/dev/null", "new-session", "-d", "-s", "top", "-x",
                            std::to_string(width), "-y", std::to_string(height), command})
                      .exit_status,
                  0);
    }
    ~tmux_session() { run_here({k_tmux, "-S", socket_, "kill-server"}); }

    std::string screen(bool escapes = false) const {
        std::vector<std::string> argv{k_tmux, "-S", socket_, "capture-pane", "-p", "-t", "top"};
        if (escapes) {
            argv.push_back("-e");
        }
        return run_here(argv).out;
    }
    void keys(const std::vector<std::string> &keys) const {
        std::vector<std::string> argv{k_tmux, "-S", socket_, "send-keys", "-t", "top"};
        argv.insert(argv.end(), keys.begin(), keys.end());
        EXPECT_EQ(run_here(argv).exit_status, 0);
    }
    void resize(int width, int height) const {
        const auto r = run_here({k_tmux, "-S", socket_, "resize-window", "-t", "top", "-x", std::to_string(width),
                                 "-y", std::to_string(height)});
        EXPECT_EQ(r.exit_status, 0) << r.err;
    }
    bool alive() const { return run_here({k_tmux, "-S", socket_, "has-session", "-t", "top"}).exit_status == 0; }
    // Waits (bounded) until the screen contains `text`.
    bool shows(const std::string &text, std::chrono::milliseconds limit = 10s) const {
        return wait_until([&] { return screen().find(text) != std::string::npos; }, limit);
    }

private:
    std::string socket_;
};

std::vector<std::string> screen_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A shown rate ("3.00MiB/s", "2.50kpkt/s", "999B/s", "1.00KiB/s*" when held)
// in units per second.
double shown_rate(std::string cell) {
    static const std::map<std::string, double> k_scales{
        {"B/s", 1},     {"KiB/s", 1024}, {"MiB/s", 1048576}, {"GiB/s", 1073741824}, {"pkt/s", 1},
        {"kpkt/s", 1e3}, {"Mpkt/s", 1e6}, {"req/s", 1},        {"kreq/s", 1e3}};
    if (cell.ends_with("*")) {
        cell.pop_back();
    }
    size_t pos = 0;
    const double number = std::stod(cell, &pos);
    const auto scale = k_scales.find(cell.substr(pos));
    EXPECT_NE(scale, k_scales.end()) << "unknown unit in '" << cell << "'";
    return scale == k_scales.end() ? -1 : number * scale->second;
}

// The cells of the row whose name is `name`, cut at the columns of the
// header row above it.
std::vector<std::string> row_cells(const std::string &screen, const std::string &name) {
    const auto lines = screen_lines(screen);
    std::string header;
    for (const std::string &line : lines) {
        if (line.rfind("  LIF ", 0) == 0 || line.rfind("  PORT ", 0) == 0) {
            header = line;
        }
        if (line.rfind("  " + name + " ", 0) == 0 && !header.empty()) {
            std::vector<std::string> cells;
            for (size_t x = 14; x + 11 <= line.size() + 11 && x < header.size(); x += 11) {
                std::string cell = x < line.size() ? line.substr(x, 10) : "";
                cells.push_back(cell.erase(cell.find_last_not_of(' ') + 1));
            }
            return cells;
        }
    }
    return {};
}

// A foreground colour (SGR 30-37) in a screen captured with its escapes.
const std::regex k_colour("\x1b\\[3[0-7]m");

bool near(double shown, double expected) {
    return std::fabs(shown - expected) <= expected * k_tolerance;
}

// Whether a RETX% cell shows 1.00 % (not a lower bound), up to a pass of
// the retransmit counter read before the emulator moved it.
bool exact_share(const std::string &cell) {
    return !cell.empty() && std::isdigit(static_cast<unsigned char>(cell[0])) && std::fabs(std::stod(cell) - 1.0) <= 0.05;
}

// Whether a cell shows a rate (not "-" nor blank) near `expected`.
bool shows_near(const std::vector<std::string> &cells, size_t cell, double expected) {
    return cells.size() > cell && !cells[cell].empty() && cells[cell] != "-" && near(shown_rate(cells[cell]), expected);
}

// Runs a one-shot reading until the row of `name` shows its TX bytes rate.
// Right after a start, or on a slow (sanitizer) build, a reading may not
// span two samples of the entity yet; and the emulator, starved of the CPU
// on a loaded machine, can update its counters late: the sample taken
// meanwhile lags its time and spoils the intervals it bounds. A sound rate
// is shown by the next reading whose ends are on time; a wrong one never.
test_support::process_result reading_near(const std::vector<std::string> &argv, const std::string &name) {
    test_support::process_result result;
    EXPECT_TRUE(wait_until(
        [&] {
            result = run_process(argv, {}, std::chrono::seconds(20));
            return result.exit_status != 0 || shows_near(row_cells(result.out, name), 1, k_tx_bytes_rate);
        },
        std::chrono::seconds(60)))
        << result.out;
    return result;
}

class TopTerminal : public e2e::daemon_test {
protected:
    void SetUp() override {
        if (!test_support::file_exists(k_tmux)) {
            GTEST_SKIP() << "tmux is not installed";
        }
        port_ = e2e::free_local_port();
    }

    void start(unsigned cards = 1) {
        start_emulator(cards);
        emu_->ctl("rate 0 lif 0 tx_rdma_unicast_bytes " + std::to_string(static_cast<uint64_t>(k_tx_bytes_rate)));
        emu_->ctl("rate 0 lif 0 tx_rdma_retransmit_bytes 31457");
        emu_->ctl("rate 0 lif 0 rx_rdma_responder_dup_requests 0");
        emu_->ctl("rate 0 port 0 frames_tx_ok " + std::to_string(static_cast<uint64_t>(k_frames_rate)));
        const std::string listen = e2e::prometheus_key("127.0.0.1:" + std::to_string(port_));
        config_ = env_.write_config(k_counters, listen);
        start_daemon(k_counters, listen);
        // The card's LIFs are found (and sampled) after the daemon's start.
        httplib::Client client("127.0.0.1", port_);
        ASSERT_TRUE(wait_until([&] {
            auto res = client.Get("/metrics");
            return res && res->body.find("talon_lif_tx_rdma_unicast_bytes_total{") != std::string::npos;
        }));
    }

    // The name of a card's LIF or port ("lifs", "ports") by its index.
    std::string name_of(unsigned card, const char *kind, unsigned index) const {
        return std::next(emu_->card(card).get_child(kind).begin(), index)->second.get<std::string>("name");
    }
    std::string top_command(const std::string &extra_env = "") const {
        return "env TERM=screen LANG=C.UTF-8 " + extra_env + " " + shell_quote(k_top) + " -c " + shell_quote(config_);
    }

    int port_ = 0;
    std::string config_;
};

TEST_F(TopTerminal, ShowsKnownRatesInEveryOutputAndACardGoingDownAndBack) {
    start();
    const std::string lif = name_of(0, "lifs", 0);
    // The one-shot outputs first, with no terminal reading at the same time:
    // a plain table from the endpoint, and from the telemetry files when no
    // endpoint is named. Every pass writes the delta retransmit counter's
    // change to the files, so RETX% from them is exact.
    for (const auto &[argv, title, files] :
         {std::tuple{std::vector<std::string>{k_top, "-c", config_, "--once"}, "CARD " + emu_->bdf(0) + " up", false},
          std::tuple{std::vector<std::string>{k_top, "-c", config_, "--telemetry-dir", env_.telemetry_dir(), "--once",
                                              "-d", "1.5"},
                     "talonmon-top  " + env_.telemetry_dir(), true}}) {
        auto once = reading_near(argv, lif);
        ASSERT_EQ(once.exit_status, 0) << once.err;
        EXPECT_EQ(once.out.find('\x1b'), std::string::npos);
        EXPECT_NE(once.out.find(title), std::string::npos) << once.out;
        if (files) {
            EXPECT_TRUE(exact_share(row_cells(once.out, lif).at(0))) << once.out;
        }
    }

    // The JSON document: RETX% is the share of two counters the emulator
    // moves together and the daemon samples in one pass, so it is exact
    // whenever the samples are taken.
    auto json = run_process({k_top, "--url", "127.0.0.1:" + std::to_string(port_), "--json"}, {}, 20s);
    ASSERT_EQ(json.exit_status, 0) << json.err;
    pt::ptree doc;
    std::istringstream in(json.out);
    ASSERT_NO_THROW(pt::read_json(in, doc)) << json.out;
    const auto &card = doc.get_child("cards").begin()->second;
    const auto &first_lif = card.get_child("entities").begin()->second;
    EXPECT_EQ(card.get<std::string>("bdf") + " " + card.get<std::string>("state") + " " + card.get<std::string>("lifs") +
                  " " + first_lif.get<std::string>("name") + " " +
                  std::to_string(std::lround(first_lif.get<double>("retransmit_share") * 1e4)),
              emu_->bdf(0) + " up 2 " + lif + " 100")
        << json.out;

    // Batch records (GNU short forms): every interval's rate is the change
    // between two samples over their own time (the lines' time stamps,
    // whenever the lines reach the files). A late update of the emulator
    // spoils the two intervals around its sample.
    const std::string lif_prefix = "\"" + emu_->bdf(0) + "\",lif,\"" + lif + "\",\"tx_rdma_unicast_bytes\",";
    const std::string port_prefix = "\"" + emu_->bdf(0) + "\",port,\"" + name_of(0, "ports", 0) + "\",\"frames_tx_ok\",";
    constexpr int k_intervals = 8;
    auto batch = run_process({k_top, "--batch", "-n", std::to_string(k_intervals), "-d0.5", "--format=csv", "-c", config_,
                              "-t", env_.telemetry_dir()},
                             {}, 30s);
    ASSERT_EQ(batch.exit_status, 0) << batch.err;
    EXPECT_EQ(batch.out.rfind("time,card,kind,entity,counter,rate,unit,lower_bound\n", 0), 0u) << batch.out;
    for (const auto &[prefix, expected] : {std::pair{&lif_prefix, k_tx_bytes_rate}, std::pair{&port_prefix, k_frames_rate}}) {
        int seen = 0;
        int within = 0;
        for (const std::string &record : screen_lines(batch.out)) {
            const size_t at = record.find(*prefix);
            if (at != std::string::npos) {
                ++seen;
                const std::string rest = record.substr(at + prefix->size());  // "<rate>,<unit>,..."
                within += !rest.starts_with(",") && near(std::stod(rest), expected);
            }
        }
        EXPECT_EQ(seen, k_intervals) << batch.out;
        EXPECT_GE(within, k_intervals - 2) << *prefix << "\n" << batch.out;
    }

    // GNU-style options and the exit statuses of the manual: a wrong command
    // line is 2; nothing to read (both sources named) and a configuration
    // named but unreadable are 1, with nothing on standard output.
    const std::string closed = "127.0.0.1:" + std::to_string(e2e::free_local_port());
    const std::string missing = env_.dir() / "missing";
    for (const auto &[argv, status, shown] : {
             std::tuple{std::vector<std::string>{k_top, "--version"}, 0, std::string("talonmon-top ")},
             {{k_top, "--url", "ftp://x", "--once"}, 2, "talonmon-top: only http:// URLs are supported: ftp://x\n"},
             {{k_top, "-d", "0", "--once"}, 2, "talonmon-top: -d takes seconds from 0.1 to 3600, not '0'\n"},
             {{k_top, "--url", closed, "--telemetry-dir", missing, "--once"}, 1,
              "talonmon-top: nothing to read\n  metrics endpoint http://" + closed +
                  "/metrics: Connection refused\n  telemetry directory " + missing + ":"},
             {{k_top, "-c", missing, "--once"}, 1, "talonmon-top: " + missing + ": cannot be read\n"}}) {
        const auto r = run_process(argv);
        EXPECT_EQ(r.exit_status, status) << argv[1];
        EXPECT_EQ((r.out + r.err).substr(0, shown.size()), shown) << argv[1];
    }

    tmux_session tmux(env_.dir().path(), top_command(), 100, 30);
    // Readings are taken (each a second after the one before, the time in
    // the title changes) until two show every rate within bounds: a sample
    // taken while the emulator's update was late spoils the two intervals it
    // bounds, a wrong rate shows in all of them. RETX% and the duplicate
    // requests hold in every reading.
    std::string screen;
    int good = 0;
    for (int reading = 0; reading < 8 && good < 2; ++reading) {
        const std::string title = screen.substr(0, screen.find('\n'));
        ASSERT_TRUE(wait_until([&] {
            screen = tmux.screen();
            const auto c = row_cells(screen, lif);
            return screen.substr(0, screen.find('\n')) != title && c.size() >= 5 && !c[1].empty() && c[1] != "-";
        }, 10s)) << screen;
        const auto cells = row_cells(screen, lif);
        EXPECT_TRUE(exact_share(cells[0]) && cells[4] == "0req/s") << screen;
        good += shows_near(cells, 1, k_tx_bytes_rate) && shows_near(cells, 3, k_retransmit_rate) &&
                shows_near(row_cells(screen, name_of(0, "ports", 0)), 1, k_frames_rate);
    }
    EXPECT_EQ(good, 2) << screen;
    // The header names the columns: RETX%, then the configured counters (the
    // card's line is the plain table's); a card's passes and overruns of the
    // last interval are numbers.
    EXPECT_NE(screen.find("\n  LIF         RETX%      TX bytes   RX bytes   RETX bytes DUP reqs"), std::string::npos)
        << screen;
    EXPECT_EQ(screen.find("passes -"), std::string::npos) << screen;
    // Colour on a terminal that has it.
    EXPECT_TRUE(std::regex_search(tmux.screen(true), k_colour));

    emu_->ctl("heartbeat 0 fail");
    ASSERT_TRUE(tmux.shows("CARD " + emu_->bdf(0) + " DOWN since ", 10s)) << tmux.screen();
    // A down card is not measured: "-", never a rate of 0 (nor a negative one).
    ASSERT_TRUE(wait_until([&] { auto c = row_cells(tmux.screen(), lif); return c.size() >= 5 && c[0] == "-" && c[1] == "-" && c[4] == "-"; }, 5s))
        << tmux.screen();
    EXPECT_NE(tmux.screen().find("1 card, 1 down"), std::string::npos) << tmux.screen();
    EXPECT_EQ(tmux.screen().find("-1"), std::string::npos);
    emu_->ctl("heartbeat 0 ok");
    // Back at the daemon's next discovery pass (every 30 s).
    ASSERT_TRUE(tmux.shows("CARD " + emu_->bdf(0) + " up since ", 45s)) << tmux.screen();
    ASSERT_TRUE(wait_until([&] { return shows_near(row_cells(tmux.screen(), lif), 1, k_tx_bytes_rate); }, 5s))
        << tmux.screen();
    stop_daemon();
}

TEST_F(TopTerminal, SixteenCardsFilterSortResizeHangRestartAndQuit) {
    start(16);
    emu_->ctl("heartbeat 12 fail");
    tmux_session tmux(env_.dir().path(), top_command("NO_COLOR=1"), 80, 24);
    const std::string lif0 = name_of(0, "lifs", 0);
    const std::string lif1 = name_of(0, "lifs", 1);
    // One line per card: the down card first, every card on the first
    // screen, no colour with NO_COLOR.
    ASSERT_TRUE(tmux.shows("16 cards, 1 down, 0 stale", 20s)) << tmux.screen();
    const auto lines = screen_lines(tmux.screen());
    ASSERT_EQ(lines.size(), 24u);
    EXPECT_EQ(lines[3].rfind("CARD          STATE      TX         RX         RETX%      OVERRUNS   FAILED", 0), 0u)
        << tmux.screen();
    EXPECT_EQ(lines[4].rfind(emu_->bdf(12) + "  DOWN       -          -          -", 0), 0u) << tmux.screen();
    for (unsigned card = 0; card < 16; ++card) {
        EXPECT_NE(tmux.screen().find(emu_->bdf(card) + "  "), std::string::npos) << emu_->bdf(card);
    }
    EXPECT_FALSE(std::regex_search(tmux.screen(true), k_colour));

    // Filter by a card's address: the other cards disappear. Cleared again.
    tmux.keys({"/"});
    ASSERT_TRUE(tmux.shows("\nfilter:")) << tmux.screen();  // the prompt (capture-pane drops trailing blanks)
    tmux.keys({"-l", emu_->bdf(1)});
    tmux.keys({"Enter"});
    ASSERT_TRUE(tmux.shows("\nfilter: " + emu_->bdf(1) + "  q quit")) << tmux.screen();
    ASSERT_TRUE(wait_until([&] { return tmux.screen().find(emu_->bdf(0)) == std::string::npos; }, 5s))
        << tmux.screen();
    EXPECT_NE(tmux.screen().find(emu_->bdf(1) + "  "), std::string::npos);
    tmux.keys({"/"});
    tmux.keys(std::vector<std::string>(emu_->bdf(1).size(), "BSpace"));
    tmux.keys({"Enter"});

    // Enter opens the selected card's LIFs and ports.
    tmux.keys({"Down"});
    tmux.keys({"Enter"});
    ASSERT_TRUE(tmux.shows("CARD " + emu_->bdf(0) + " up since")) << tmux.screen();
    ASSERT_TRUE(tmux.shows("sort: name")) << tmux.screen();
    // Sort by throughput: the LIF with the set rate (far above the
    // emulator's default rates) comes first.
    tmux.keys({"s"});
    ASSERT_TRUE(tmux.shows("sort: throughput")) << tmux.screen();
    ASSERT_TRUE(wait_until([&] {
        const auto lines = screen_lines(tmux.screen());
        const auto first = std::find_if(lines.begin(), lines.end(), [](const std::string &l) { return l.rfind("  LIF ", 0) == 0; });
        return first != lines.end() && std::next(first) != lines.end() && std::next(first)->rfind("  " + lif0 + " ", 0) == 0;
    }, 5s)) << tmux.screen();
    // Filter by a LIF name: only that LIF's rows remain. Escape leaves the
    // prompt and keeps the filter.
    tmux.keys({"/"});
    tmux.keys({"-l", lif1});
    tmux.keys({"Enter"});
    ASSERT_TRUE(tmux.shows("filter: " + lif1 + "  q quit")) << tmux.screen();
    std::string screen = tmux.screen();
    EXPECT_EQ(screen.find("  " + lif0 + " "), std::string::npos) << screen;
    EXPECT_NE(screen.find("  " + lif1 + " "), std::string::npos) << screen;
    tmux.keys({"/"});
    tmux.keys({"-l", "zzz"});
    ASSERT_TRUE(tmux.shows("\nfilter: " + lif1 + "zzz")) << tmux.screen();
    tmux.keys({"Escape"});
    ASSERT_TRUE(tmux.shows("filter: " + lif1 + "  q quit")) << tmux.screen();

    // At 80 columns the last counter columns do not fit; Right scrolls to
    // them. Larger, the whole terminal is used and they all show.
    auto header = [&] {
        const auto lines = screen_lines(tmux.screen());
        const auto at = std::find_if(lines.begin(), lines.end(), [](const std::string &l) { return l.starts_with("  LIF "); });
        return at == lines.end() ? std::string() : *at;
    };
    EXPECT_EQ(header().find("RX pkts"), std::string::npos) << tmux.screen();
    tmux.keys({"Right", "Right"});
    ASSERT_TRUE(wait_until([&] { return header().find("RX pkts") != std::string::npos; }, 5s)) << tmux.screen();
    EXPECT_EQ(header().find("RETX%"), std::string::npos) << tmux.screen();
    tmux.keys({"Left", "Left"});
    tmux.resize(160, 50);
    ASSERT_TRUE(wait_until([&] {
        return screen_lines(tmux.screen()).size() == 50 && header().find("RETX%") != std::string::npos &&
               header().find("RX pkts") != std::string::npos;
    }, 5s)) << tmux.screen();
    tmux.resize(80, 24);
    ASSERT_TRUE(wait_until([&] {
        const auto lines = screen_lines(tmux.screen());
        return lines.size() == 24 && header().find("RX pkts") == std::string::npos &&
               std::all_of(lines.begin(), lines.end(), [](const std::string &l) {
                   // Columns, not bytes: a sparkline cell is three bytes of UTF-8.
                   return std::count_if(l.begin(), l.end(), [](char c) { return (c & 0xC0) != 0x80; }) <= 80;
               });
    }, 5s)) << tmux.screen();
    // Escape goes back to all cards (the filter stays: no card matches).
    tmux.keys({"Escape"});
    ASSERT_TRUE(tmux.shows("CARD          STATE")) << tmux.screen();

    // The endpoint hangs (the daemon stopped): keys are still answered at
    // once, the wait shows on the status line and the cards turn stale.
    daemon_->signal(SIGSTOP);
    ASSERT_TRUE(tmux.shows("reading for ", 10s)) << tmux.screen();
    tmux.keys({"h"});
    ASSERT_TRUE(tmux.shows("talonmon-top keys", 2s)) << tmux.screen();
    tmux.keys({"h"});
    ASSERT_TRUE(tmux.shows(", 15 stale", 15s)) << tmux.screen();
    daemon_->signal(SIGCONT);

    // The daemon stops: shown as such, and its restart too.
    stop_daemon();
    ASSERT_TRUE(tmux.shows("no reading since ")) << tmux.screen();
    EXPECT_TRUE(tmux.alive());
    start_daemon(k_counters, e2e::prometheus_key("127.0.0.1:" + std::to_string(port_)));
    ASSERT_TRUE(tmux.shows("daemon restarted at ", 15s)) << tmux.screen();
    tmux.keys({"q"});
    EXPECT_TRUE(wait_until([&] { return !tmux.alive(); }, 5s));
    stop_daemon();
}

}  // namespace
