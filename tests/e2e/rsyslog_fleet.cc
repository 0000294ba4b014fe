// The shipped rsyslog configuration with a real rsyslogd, following a
// statistics file through its rotation.
#include "tests/e2e/emulated_daemon.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <thread>

namespace {

using test_support::child_process;
using test_support::read_lines;
using test_support::wait_until;

constexpr const char *k_rsyslogd = "/usr/sbin/rsyslogd";

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

using RsyslogShipping = e2e::daemon_test;

TEST_F(RsyslogShipping, EveryLineArrivesExactlyOnceAcrossARotation) {
    if (!test_support::file_exists(k_rsyslogd)) {
        GTEST_SKIP() << "the rsyslog package is not installed";
    }
    start_emulator(1, 11, 64);
    const std::string forwarded = env_.dir() / "forwarded.log";
    const std::string work_dir = env_.dir() / "rsyslog";
    ::mkdir(work_dir.c_str(), 0700);
    std::string conf = test_support::read_file(RSYSLOG_CONF);
    conf = e2e::replace_all(conf, "/var/run/talonmon/", env_.telemetry_dir() + "/");
    conf = e2e::replace_all(conf, "/var/log/talonmon-telemetry.log", forwarded);
    const std::string conf_file = env_.dir() / "rsyslog.conf";
    test_support::write_file(conf_file, "global(workDirectory=\"" + work_dir + "\")\n" + conf);
    const std::string pid_file = env_.dir() / "rsyslogd.pid";
    child_process rsyslogd({k_rsyslogd, "-n", "-f", conf_file, "-i", pid_file}, {}, test_support::pid_namespace::shared);
    ASSERT_TRUE(wait_until([&] { return test_support::file_exists(pid_file) || !rsyslogd.running(); }));
    ASSERT_TRUE(rsyslogd.running()) << rsyslogd.err_so_far();

    start_daemon(k_busy_filter);
    const std::string stats = telemetry(0, "stats");
    // Ten mebibytes take the worker seconds on an idle machine and a minute
    // or more on a loaded one.
    ASSERT_TRUE(wait_until([&] { return test_support::file_exists(stats + ".1"); }, std::chrono::seconds(180)))
        << "the statistics file did not rotate";
    stop_daemon();
    // The daemon may have rotated more than once; while the oldest kept
    // copy is not yet reached, the files still hold every line written.
    constexpr int k_oldest_copy = 5;
    ASSERT_FALSE(test_support::file_exists(stats + "." + std::to_string(k_oldest_copy)));

    std::map<std::string, long> expected;
    size_t total = 0;
    std::vector<std::string> files = {stats, telemetry(0, "event")};
    for (int copy = 1; copy < k_oldest_copy; ++copy) {
        files.push_back(stats + "." + std::to_string(copy));
    }
    for (const std::string &file : files) {
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
    EXPECT_TRUE(arrived == expected) << "lines lost, duplicated or forwarded that no file holds: " << arrived.size()
                                     << " distinct lines forwarded, " << expected.size() << " in the files";
}

}  // namespace
