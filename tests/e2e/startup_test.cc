// The daemon's command line, start-up checks and orderly stop, seen from outside.
#include "tests/e2e/emulated_daemon.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

using test_support::child_process;
using test_support::run_process;

namespace {

const std::string k_root_error =
    "Error - TALON monitor requires root privileges, please login as superuser or use sudo\n";

TEST(Startup, NormalUserIsRefusedEvenForHelp) {
    auto r = run_process({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", e2e::k_daemon, "-h"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, k_root_error);
    EXPECT_EQ(r.out, "");
}

TEST(Startup, CommandLinePrintsUsageWithWholeArgv0) {
    const std::string usage = "Usage: " + e2e::k_daemon + e2e::k_usage_suffix;
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;  // what stderr holds
    } cases[] = {
        {{"-h", "--bogus"}, 0, ""},
        {{"--help"}, 0, ""},
        {{"-x"}, 255, "invalid option"},
        {{"-c"}, 255, "requires an argument"},
        {{}, 255, "Error - \"config-file\" is mandatory\n"},
        {{"-c", ""}, 255, "Error - \"config-file\" is mandatory\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv{e2e::k_daemon};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = run_process(argv);
        const std::string what = argv.size() > 1 ? argv[1] : "(no option)";
        EXPECT_EQ(r.exit_status, c.status) << what;
        EXPECT_EQ(r.out, usage) << what;
        if (c.err.empty()) {
            EXPECT_EQ(r.err, "") << what;
        } else {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << what << ": " << r.err;
        }
    }
}

TEST(Startup, LastConfigFileOptionWins) {
    e2e::daemon_env env;
    const std::string good = env.write_config();
    auto r = run_process({e2e::k_daemon, "-c", good, "--config-file", env.dir() / "missing.json"}, env.env());
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, env.dir() / "missing.json" + ": cannot open file\n");

    child_process daemon({e2e::k_daemon, "-c", env.dir() / "missing.json", "-c", good}, env.env());
    ASSERT_TRUE(e2e::wait_for_start(env, daemon)) << daemon.err_so_far();
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait().exit_status, 0);
}

TEST(Startup, UnknownCounterStopsTheMonitor) {
    e2e::daemon_env env;
    auto r = run_process({e2e::k_daemon, "-c", env.write_config(R"(
        "lif": { "counters": [ { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } },
                               { "counter": "frames_tx_ok", "action": { "stats_record": true } } ] },
        "port": { "counters": [ { "counter": "bogus", "action": { "stats_record": true } } ] })")},
                         env.env());
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "Error - frames_tx_ok is not a valid lif counter\nFailed to initiate TALON monitor ...\n");
    const std::string err_log = test_support::read_file(env.err_file());
    EXPECT_TRUE(std::regex_search(err_log, std::regex(R"(\nE \[7 [^\]]+\] \(\d+\) \[init:\d+\] Pipeline initialization failed\n$)")))
        << err_log;
}

TEST(Startup, DirectoryChecks) {
    e2e::daemon_env env;
    const std::string config_path = env.dir() / "c.json";
    auto config = [&](const std::string &log_dir, const std::string &telemetry_dir) {
        test_support::write_file(config_path, "{\"log_dir\": \"" + log_dir + "\", \"telemetry_dir\": \"" +
                                                  telemetry_dir + "\", \"filter\": {" + e2e::k_minimal_counters +
                                                  "}}");
        return config_path;
    };
    const std::string missing = env.dir() / "nowhere";
    const std::string regular = env.dir() / "regular";
    test_support::write_file(regular, "x");

    auto r = run_process({e2e::k_daemon, "-c", config(missing, missing + "2")}, env.env());
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "Log directory " + missing + " doesn't exist or not accessible\n");

    r = run_process({e2e::k_daemon, "-c", config(regular, env.telemetry_dir())}, env.env());
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "Log directory " + regular + " doesn't exist or not accessible\n");

    r = run_process({e2e::k_daemon, "-c", config(env.log_dir(), regular)}, env.env());
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "Telemetry directory " + regular + " doesn't exist or not accessible\n");
}

TEST(Startup, SecondInstanceIsRefused) {
    e2e::daemon_env env;
    child_process first({e2e::k_daemon, "-c", env.write_config()}, env.env());
    ASSERT_TRUE(e2e::wait_for_start(env, first)) << first.err_so_far();

    auto r = first.run_beside({e2e::k_daemon, "-h"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "Error - talonmon is already running\n");
    EXPECT_EQ(r.out, "");
    // One that cannot see the first (a process table of its own) but would
    // write the same telemetry directory is refused by the lock on it.
    r = run_process({e2e::k_daemon, "-c", env.write_config()}, env.env());
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "Error - talonmon is already running\n");

    first.signal(SIGTERM);
    EXPECT_EQ(first.wait().exit_status, 0);
}

// The package's maintainer script (command name "talonmon.postin") starts
// the unit and waits for it: a name that merely contains the program's is
// not another instance.
TEST(Startup, AProcessWhoseNameContainsTheProgramNameIsNotAnInstance) {
    e2e::daemon_env env;
    const std::string script = env.dir() / "talonmon.postinst";
    test_support::write_file(script,
                             "#!/bin/sh\n\"$@\" &\nchild=$!\ntrap 'kill -TERM $child' TERM\n"
                             "wait $child\nwait $child\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    child_process postinst({script, e2e::k_daemon, "-c", env.write_config()}, env.env());
    ASSERT_TRUE(e2e::wait_for_start(env, postinst)) << postinst.err_so_far();
    postinst.signal(SIGTERM);
    const auto r = postinst.wait();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Exiting TALON monitor ...\n");
}

TEST(Startup, TalonmonOutsideTheDaemonsNamespaceIsNotSeen) {
    const std::string ps = "/usr/bin/ps";
    // PIDs of the processes named talonmon in a "ps -eo pid=,ppid=,comm="
    // listing, leaving out those whose parent is `parent_left_out`: a child
    // the daemon is starting (lspci, setpci) carries its name until it execs.
    auto named_talonmon = [](const std::string &listing, int parent_left_out) {
        std::vector<int> pids;
        std::istringstream in(listing);
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            int pid = 0;
            int ppid = 0;
            std::string comm;
            if (fields >> pid >> ppid && std::getline(fields >> std::ws, comm) && comm == "talonmon" &&
                ppid != parent_left_out) {
                pids.push_back(pid);
            }
        }
        return pids;
    };
    auto host = child_process({ps, "-eo", "pid=,ppid=,comm="}, {}, test_support::pid_namespace::shared).wait();
    ASSERT_FALSE(named_talonmon(host.out, -1).empty())
        << "the test environment runs a talonmon on the host\n" << host.out;

    e2e::daemon_env env;
    child_process daemon({e2e::k_daemon, "-c", env.write_config()}, env.env());
    ASSERT_TRUE(e2e::wait_for_start(env, daemon)) << daemon.err_so_far();
    auto beside = daemon.run_beside({ps, "-eo", "pid=,ppid=,comm="});
    EXPECT_EQ(named_talonmon(beside.out, 1), std::vector<int>{1}) << "only itself, as PID 1:\n" << beside.out;
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait().exit_status, 0);
}

// Each thread of `pid` by id, with the set of signals it blocks.
std::map<int, uint64_t> blocked_signals(pid_t pid) {
    std::map<int, uint64_t> masks;
    for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::istringstream status(test_support::read_file(task.path() / "status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("SigBlk:", 0) == 0) {
                masks[std::stoi(task.path().filename())] = std::stoull(line.substr(7), nullptr, 16);
            }
        }
    }
    return masks;
}

using StopTest = e2e::daemon_test;

TEST_F(StopTest, TerminationSignalsReachTheMainThreadAndStopTheDaemonCleanly) {
    constexpr uint64_t k_termination = (1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1));
    start_emulator(1);
    for (int signo : {SIGTERM, SIGINT}) {
        std::filesystem::remove(env_.trace_file());
        start_daemon();
        ASSERT_TRUE(grows(0, "stats", 0)) << "the card's worker runs";
        // The main thread takes termination signals; every other thread (the
        // health checker, the card's worker) blocks them, so none of their
        // system calls is cut short by a stop.
        std::map<int, uint64_t> masks;
        EXPECT_TRUE(test_support::wait_until([&] {
            masks = blocked_signals(daemon_->pid());
            size_t blocking = 0;
            for (const auto &[tid, mask] : masks) {
                blocking += tid != daemon_->pid() && (mask & k_termination) == k_termination;
            }
            return (masks[daemon_->pid()] & k_termination) == 0 && blocking + 1 == masks.size() && blocking >= 2;
        })) << ::testing::PrintToString(masks);
        daemon_->signal(signo);
        auto r = daemon_->wait(std::chrono::seconds(3));
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, "Exiting TALON monitor ...\n");
        EXPECT_EQ(r.err, "");

        const std::string trace = test_support::read_file(env_.trace_file());
        const std::string line = "received signal " + std::to_string(signo) + ", exiting ...";
        size_t first = trace.find(line);
        ASSERT_NE(first, std::string::npos) << trace;
        EXPECT_EQ(trace.find(line, first + 1), std::string::npos) << "logged twice:\n" << trace;
        EXPECT_TRUE(std::regex_search(trace, std::regex(R"(\n?I \[7 [-0-9]{10} [:.0-9]{15}\] \(\d+\) )"
                                                        R"(\[talonmon_signal_handler:\d+\] received signal)")))
            << trace;
    }
}

TEST(Startup, TraceLogThatCannotStartIsReported) {
    e2e::daemon_env env;
    // talonmon.log is a directory: the logging library cannot open it.
    ::mkdir(env.trace_file().c_str(), 0755);
    auto r = run_process({e2e::k_daemon, "-c", env.write_config()}, env.env());
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_NE(r.err.find("spdlog error: Failed opening file " + env.trace_file() + " for writing"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Failed to create log files, abort...\nFailed to initiate TALON monitor ...\n"),
              std::string::npos)
        << r.err;
}

TEST(Startup, ReadOnlyLogDirectoryIsReported) {
    e2e::daemon_env env;
    const std::string config = env.write_config();
    // A read-only mount refuses writes even to root.
    auto r = run_process({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                          "mount -t tmpfs -o ro tmpfs \"$1\" && exec \"$2\" -c \"$3\"", "sh", env.log_dir(),
                          e2e::k_daemon, config},
                         env.env());
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "No permissions to create log file in " + env.log_dir() +
                         "\nFailed to create log files, abort...\nFailed to initiate TALON monitor ...\n");
}

}  // namespace
