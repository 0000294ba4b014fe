// What the daemon tells about its cards and itself when things are not
// well: a card that cannot start, a stalled daemon, a strict umask.
#include "tests/e2e/emulated_daemon.hpp"
#include "tests/e2e/metrics_helpers.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <thread>

namespace {

using test_support::read_file;
using test_support::read_lines;
using test_support::wait_until;

using HealthTest = e2e::daemon_test;

// A card whose platform start fails is named in the trace log and on
// standard error with the cause, while the other card is monitored. Found cards
// have lines of their own, not a card count. Under umask 077 the trace logs
// and telemetry files are still 0644. A link planted where a card's
// telemetry file goes is refused and left as it is. In sleep mode a stopped
// and continued daemon loses samples but never writes two passes at once.
// Without a metrics endpoint configured nothing listens.
TEST_F(HealthTest, CardThatCannotStartIsNamedAndDownWhileTheOtherRuns) {
    start_emulator(3);
    emu_->ctl("platform 0 setpci");
    const std::string target = env_.dir() / "outside";
    test_support::write_file(target, "precious\n");
    ASSERT_EQ(::symlink(target.c_str(), telemetry(2, "stats").c_str()), 0);
    const mode_t old_umask = ::umask(077);
    start_daemon(R"(
        "card": { "tick_mode": "sleep" },
        "lif": { "poll_interval": 100000, "counters": [
            { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } } ] },
        "port": { "poll_interval": 100000, "counters": [
            { "counter": "frames_tx_ok", "action": { "stats_record": true } } ] })");
    ::umask(old_umask);
    EXPECT_EQ(e2e::listening_sockets_of(daemon_->pid()), 0u);
    ASSERT_TRUE(grows(1, "stats", 6));
    for (int stall = 0; stall < 4; ++stall) {
        daemon_->signal(SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(350));  // the stall itself
        daemon_->signal(SIGCONT);
        ASSERT_TRUE(grows(1, "stats", 6));
    }
    ASSERT_TRUE(wait_until([&] { return trace_has("TALON " + emu_->bdf(0) + " - Failed to initialize PAL"); }));
    ASSERT_TRUE(wait_until([&] {
        return trace_has("logger init failed (logger_stats_" + emu_->bdf(2) + "): Failed opening file " +
                         telemetry(2, "stats") + " for writing: it is a symbolic link, which is not followed");
    }));
    const std::string err = stop_daemon().err;
    EXPECT_NE(err.find("device memenable failed\n"), std::string::npos) << err;
    EXPECT_FALSE(trace_has("Starting to monitor " + emu_->bdf(0)));
    EXPECT_EQ(lines_of(0, "stats"), 1u) << "the banner only";
    EXPECT_FALSE(trace_has("TALON card(s)"));
    EXPECT_EQ(read_file(target), "precious\n");
    const std::regex fields(R"re("timestamp":"([^"]+)".*"id": "([^"]+)")re");
    std::map<std::string, std::set<std::string>> stamps;
    size_t lines = 0;
    for (const auto &line : read_lines(telemetry(1, "stats"))) {
        std::smatch m;
        if (std::regex_search(line, m, fields)) {
            ++lines;
            EXPECT_TRUE(stamps[m[2]].insert(m[1]).second) << "two passes at " << m[1] << " for " << m[2];
        }
    }
    EXPECT_GT(lines, 30u);
    for (const std::string &path : {env_.trace_file(), env_.err_file(), telemetry(0, "stats"), telemetry(1, "event")}) {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 07777, 0644u) << path;
    }
}

}  // namespace
