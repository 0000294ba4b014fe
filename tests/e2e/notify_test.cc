// What the daemon tells a service manager that started it with a
// notification socket: readiness once it has started, the card counts as a
// status line (again when they change, cards not writing their telemetry
// included), watchdog pings while its health checker runs, and the start of
// a stop. SIGHUP does not end it. Only the main thread takes termination
// signals.
#include "tests/e2e/emulated_daemon.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <string>

namespace {

using test_support::wait_until;

// Each thread of `pid` by id, with the set of signals it blocks.
std::map<int, uint64_t> blocked_signals(pid_t pid) {
    std::map<int, uint64_t> masks;
    for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        const std::string status = test_support::read_file(task.path() / "status");
        std::smatch m;
        if (std::regex_search(status, m, std::regex("\nSigBlk:\\s*([0-9a-f]+)"))) {
            masks[std::stoi(task.path().filename())] = std::stoull(m[1], nullptr, 16);
        }
    }
    return masks;
}

using NotifyTest = e2e::daemon_test;

TEST_F(NotifyTest, ReportsReadinessCardCountsWatchdogPingsAndTheStop) {
    start_emulator(2);
    e2e::notify_socket manager(env_.dir() / "notify");
    constexpr const char *k_watchdog_period = "WATCHDOG_USEC=400000";
    start_daemon(e2e::k_minimal_counters, "", {manager.env(), k_watchdog_period});

    EXPECT_TRUE(manager.received("READY=1")) << manager.all();
    EXPECT_TRUE(manager.received("STATUS=2 cards monitored, 0 down")) << manager.all();
    // At most four pings a period, and they keep coming.
    EXPECT_TRUE(wait_until([&] { return manager.count("WATCHDOG=1") >= 3; })) << manager.all();
    EXPECT_EQ(manager.count("READY=1"), 1u);

    // The main thread takes termination signals; every other thread (the
    // health checker, each card's worker) blocks them, so none of their
    // system calls is cut short by a stop.
    constexpr uint64_t k_termination = (1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1));
    std::map<int, uint64_t> masks;
    EXPECT_TRUE(wait_until([&] {
        masks = blocked_signals(daemon_->pid());
        size_t blocking = 0;
        for (const auto &[tid, mask] : masks) {
            blocking += tid != daemon_->pid() && (mask & k_termination) == k_termination;
        }
        return (masks[daemon_->pid()] & k_termination) == 0 && blocking + 1 == masks.size() && blocking >= 3;
    })) << ::testing::PrintToString(masks);

    // SIGHUP (logrotate, systemctl reload) reopens a file moved away and
    // leaves the daemon running.
    const std::string stats0 = telemetry(0, "stats");
    ASSERT_EQ(std::rename(stats0.c_str(), (stats0 + ".1").c_str()), 0);
    daemon_->signal(SIGHUP);
    EXPECT_TRUE(wait_until([&] { return trace_has("Received SIGHUP, reopened the trace and telemetry files"); }));
    EXPECT_TRUE(wait_until([&] { return lines_of(0, "stats") > 4; })) << "no new file after SIGHUP";

    // Cards whose telemetry directory is gone are monitored but blind, and
    // say so until they write again; the lines lost meanwhile are counted.
    std::filesystem::remove_all(env_.telemetry_dir());
    EXPECT_TRUE(manager.received("STATUS=2 cards monitored, 0 down, 2 not writing telemetry")) << manager.all();
    std::filesystem::create_directory(env_.telemetry_dir());
    EXPECT_TRUE(wait_until([&] { return manager.count("STATUS=2 cards monitored, 0 down") == 2; })) << manager.all();
    EXPECT_TRUE(wait_until([&] { return resumed_after_loss(stats0); })) << test_support::read_file(env_.trace_file());
    EXPECT_EQ(test_support::read_lines(stats0).front(), "*** Boot #7 ***");

    // A card that fails its heartbeat changes the status once, and says so
    // once on standard error (the journal).
    emu_->ctl("heartbeat 0 fail");
    EXPECT_TRUE(manager.received("STATUS=2 cards monitored, 1 down")) << manager.all();
    EXPECT_EQ(manager.count("STATUS=2 cards monitored, 0 down"), 2u) << "an unchanged status is not sent again";
    const std::string down_line = "TALON " + emu_->bdf(0) + " - card down detected: it failed its heartbeat\n";
    EXPECT_TRUE(wait_until([&] { return daemon_->err_so_far().find(down_line) != std::string::npos; }));

    EXPECT_EQ(manager.count("STOPPING=1"), 0u);
    const std::string err = stop_daemon().err;
    EXPECT_EQ(manager.count("STOPPING=1"), 1u) << manager.all();
    // Standard error has each failure once: the card's, and each lost file's.
    for (const std::string &once : {down_line, "Failed opening file " + stats0 + " for writing",
                                    "Failed opening file " + telemetry(1, "stats") + " for writing"}) {
        EXPECT_NE(err.find(once), std::string::npos) << err;
        EXPECT_EQ(err.find(once), err.rfind(once)) << err;
    }
}

}  // namespace
