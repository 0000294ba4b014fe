// What the daemon tells a service manager that started it with a
// notification socket: readiness once it has started, the card counts as a
// status line (again when they change, cards not writing their telemetry
// included), watchdog pings while its health checker runs, and the start of
// a stop. A refused start never says ready. SIGHUP does not end it.
#include "tests/e2e/emulated_daemon.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using test_support::wait_until;

// A datagram socket standing in for the service manager's NOTIFY_SOCKET;
// keeps every message it receives.
class notify_socket {
public:
    explicit notify_socket(const std::string &path)
        : path_(path), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        bound_ = fd_ >= 0 && path.size() < sizeof(addr.sun_path) &&
                 ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    }
    ~notify_socket() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    notify_socket(const notify_socket &) = delete;
    notify_socket &operator=(const notify_socket &) = delete;

    bool bound() const { return bound_; }
    std::string env() const { return "NOTIFY_SOCKET=" + path_; }

    // Every message so far, one per datagram (newline-separated
    // assignments kept as sent).
    const std::vector<std::string> &messages() {
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(fd_, buf, sizeof(buf), MSG_DONTWAIT)) >= 0) {
            messages_.emplace_back(buf, static_cast<size_t>(n));
        }
        return messages_;
    }
    size_t count(const std::string &message) {
        const auto &all = messages();
        return static_cast<size_t>(std::count(all.begin(), all.end(), message));
    }
    bool received(const std::string &message, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return wait_until([&] { return count(message) > 0; }, limit);
    }
    std::string all() {
        std::string text;
        for (const auto &m : messages()) {
            text += "[" + m + "] ";
        }
        return text;
    }

private:
    std::string path_;
    int fd_;
    bool bound_ = false;
    std::vector<std::string> messages_;
};

class NotifyTest : public e2e::daemon_test {};

TEST_F(NotifyTest, ReportsReadinessCardCountsWatchdogPingsAndTheStop) {
    start_emulator(2);
    notify_socket manager(env_.dir() / "notify");
    ASSERT_TRUE(manager.bound());
    constexpr const char *k_watchdog_period = "WATCHDOG_USEC=400000";
    start_daemon(e2e::k_minimal_counters, "", {manager.env(), k_watchdog_period});

    EXPECT_TRUE(manager.received("READY=1")) << manager.all();
    EXPECT_TRUE(manager.received("STATUS=2 cards monitored, 0 down")) << manager.all();
    // At most four pings a period, and they keep coming.
    EXPECT_TRUE(wait_until([&] { return manager.count("WATCHDOG=1") >= 3; })) << manager.all();
    EXPECT_EQ(manager.count("READY=1"), 1u);

    // SIGHUP (logrotate, systemctl reload) reopens a file moved away and
    // leaves the daemon running.
    const std::string stats0 = telemetry(0, "stats");
    ASSERT_EQ(std::rename(stats0.c_str(), (stats0 + ".1").c_str()), 0);
    daemon_->signal(SIGHUP);
    EXPECT_TRUE(wait_until([&] { return trace_has("Received SIGHUP, reopened the trace and telemetry files"); }));
    EXPECT_TRUE(wait_until([&] { return lines_of(0, "stats") > 4; })) << "no new file after SIGHUP";

    // Cards whose telemetry directory is gone are monitored but blind, and
    // say so until they write again.
    std::filesystem::remove_all(env_.telemetry_dir());
    EXPECT_TRUE(manager.received("STATUS=2 cards monitored, 0 down, 2 not writing telemetry")) << manager.all();
    std::filesystem::create_directory(env_.telemetry_dir());
    EXPECT_TRUE(wait_until([&] { return manager.count("STATUS=2 cards monitored, 0 down") == 2; })) << manager.all();

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
    EXPECT_EQ(err.find(down_line), err.rfind(down_line)) << err;
}

TEST_F(NotifyTest, AServiceManagerThatNeverReadsDelaysNeitherTheDaemonNorItsStop) {
    start_emulator(1);
    notify_socket stalled(env_.dir() / "notify-stalled");
    ASSERT_TRUE(stalled.bound());
    // A ping every 50 ms fills the socket's queue (10 datagrams by default)
    // in half a second; the stop comes well after.
    start_daemon(e2e::k_minimal_counters, "", {stalled.env(), "WATCHDOG_USEC=200000"});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    emu_->ctl("heartbeat 0 fail");
    EXPECT_TRUE(wait_until([&] { return trace_has("card down detected"); })) << "the health checker stalled";
    EXPECT_TRUE(trace_has("to the service manager dropped (1 so far)"));
    stop_daemon(std::chrono::seconds(2));
}

TEST_F(NotifyTest, NoPingsWithoutAWatchdogAndNoReadinessForARefusedStart) {
    notify_socket manager(env_.dir() / "notify");
    ASSERT_TRUE(manager.bound());
    start_daemon(e2e::k_minimal_counters, "", {manager.env()});
    EXPECT_TRUE(manager.received("STATUS=0 cards monitored, 0 down")) << manager.all();
    stop_daemon();
    EXPECT_EQ(manager.count("WATCHDOG=1"), 0u) << manager.all();

    notify_socket refused(env_.dir() / "notify-refused");
    ASSERT_TRUE(refused.bound());
    const auto r = test_support::run_process(
        {e2e::k_daemon, "-c", env_.write_config(R"("lif": { "poll_interval": "often" })")},
        [&] {
            auto env = env_.env();
            env.push_back(refused.env());
            return env;
        }());
    EXPECT_EQ(r.exit_status, 255) << r.err;
    EXPECT_EQ(refused.count("READY=1"), 0u) << refused.all();
}

}  // namespace
