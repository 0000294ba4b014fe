// The shipped rsyslog configuration with a real rsyslogd, following a
// statistics file through its rotation.
#include "tests/e2e/emulated_daemon.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <sys/stat.h>

#include <map>
#include <thread>

namespace {

using test_support::child_process;
using test_support::read_lines;
using test_support::wait_until;

constexpr const char *k_rsyslogd = "/usr/sbin/rsyslogd";

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// A full LIF record at every tick: the statistics file reaches its rotation
// size within seconds.
const std::string k_busy_filter = R"(
        "lif": { "poll_interval": 100, "counters": [
            { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } },
            { "counter": "tx_rdma_unicast_packets", "action": { "stats_record": true } },
            { "counter": "rx_rdma_unicast_bytes", "action": { "stats_record": true } },
            { "counter": "rx_rdma_unicast_packets", "action": { "stats_record": true } } ] },
        "port": { "poll_interval": 100, "counters": [
            { "counter": "frames_tx_ok", "action": { "stats_record": true } },
            { "counter": "frames_rx_ok", "action": { "stats_record": true } } ] })";

TEST(RsyslogShipping, EveryLineArrivesExactlyOnceAcrossARotation) {
    if (!test_support::file_exists(k_rsyslogd)) {
        GTEST_SKIP() << "the rsyslog package is not installed";
    }
    e2e::daemon_env env;
    e2e::emulator_process emu(env, 1, 11, 64);
    const std::string forwarded = env.dir() / "forwarded.log";
    const std::string work_dir = env.dir() / "rsyslog";
    ::mkdir(work_dir.c_str(), 0700);
    std::string conf = test_support::read_file(RSYSLOG_CONF);
    conf = replace_all(conf, "/var/run/talonmon/", env.telemetry_dir() + "/");
    conf = replace_all(conf, "/var/log/talonmon-telemetry.log", forwarded);
    const std::string conf_file = env.dir() / "rsyslog.conf";
    test_support::write_file(conf_file, "global(workDirectory=\"" + work_dir + "\")\n" + conf);
    const std::string pid_file = env.dir() / "rsyslogd.pid";
    child_process rsyslogd({k_rsyslogd, "-n", "-f", conf_file, "-i", pid_file}, {}, test_support::pid_namespace::shared);
    ASSERT_TRUE(wait_until([&] { return test_support::file_exists(pid_file) || !rsyslogd.running(); }));
    ASSERT_TRUE(rsyslogd.running()) << rsyslogd.err_so_far();

    child_process daemon({e2e::k_daemon, "-c", env.write_config(k_busy_filter)}, emu.env());
    ASSERT_TRUE(e2e::wait_for_start(env, daemon)) << daemon.err_so_far();
    const std::string stats = e2e::telemetry_file(env, emu.bdf(0), "stats");
    // Ten mebibytes take the worker seconds on an idle machine and a minute
    // or more on a loaded one.
    ASSERT_TRUE(wait_until([&] { return test_support::file_exists(stats + ".1"); }, std::chrono::seconds(180)))
        << "the statistics file did not rotate";
    daemon.signal(SIGTERM);
    ASSERT_EQ(daemon.wait(std::chrono::seconds(5)).exit_status, 0);
    // The daemon may have rotated more than once; while the oldest kept
    // copy is not yet reached, the files still hold every line written.
    constexpr int k_oldest_copy = 5;
    ASSERT_FALSE(test_support::file_exists(stats + "." + std::to_string(k_oldest_copy)));

    std::map<std::string, long> expected;
    size_t total = 0;
    std::vector<std::string> files = {stats, e2e::telemetry_file(env, emu.bdf(0), "event")};
    for (int copy = 1; copy < k_oldest_copy; ++copy) {
        files.push_back(stats + "." + std::to_string(copy));
    }
    for (const std::string &file : files) {
        if (!test_support::file_exists(file)) {
            continue;
        }
        for (const auto &line : read_lines(file)) {
            ++expected[line];
            ++total;
        }
    }
    ASSERT_TRUE(wait_until([&] { return read_lines(forwarded).size() >= total; }, std::chrono::seconds(60)))
        << read_lines(forwarded).size() << " of " << total << " lines forwarded; " << rsyslogd.err_so_far();
    // Late duplicates would arrive after the count is reached.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::map<std::string, long> arrived;
    for (const auto &line : read_lines(forwarded)) {
        ++arrived[line];
    }
    EXPECT_EQ(read_lines(forwarded).size(), total);
    size_t differing = 0;
    for (const auto &[line, count] : expected) {
        differing += arrived[line] != count;
    }
    EXPECT_EQ(differing, 0u) << "lines lost or duplicated";
    EXPECT_EQ(arrived.size(), expected.size()) << "lines forwarded that no file holds";
}

}  // namespace
