// The daemon's command line, start-up checks and orderly stop, seen from outside.
#include "tests/e2e/emulated_daemon.hpp"
#include "tests/e2e/metrics_helpers.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

using test_support::child_process;
using test_support::run_process;

namespace {

// A start that does not run the daemon says why on standard error, with
// the usage (whole argv[0]) where the command line is at fault, and never
// tells a service manager it is ready.
TEST(Startup, EveryStartThatDoesNotRunSaysWhyAndNeverReportsReady) {
    e2e::daemon_env env;
    e2e::notify_socket manager(env.dir() / "notify");
    int configs = 0;
    auto config = [&](const std::string &log_dir, const std::string &telemetry_dir,
                      const std::string &filter = e2e::k_minimal_counters, const std::string &top_level = "") {
        const std::string path = env.dir() / ("c" + std::to_string(++configs) + ".json");
        test_support::write_file(path, "{" + top_level + "\"log_dir\": \"" + log_dir + "\", \"telemetry_dir\": \"" +
                                           telemetry_dir + "\", \"filter\": {" + filter + "}}");
        return path;
    };
    std::vector<std::string> daemon_env = env.env();
    daemon_env.push_back(manager.env());

    // A listen value of the metrics endpoint that cannot be served refuses
    // the start before anything is logged.
    const int busy_port = e2e::free_local_port();
    httplib::Server holder;
    ASSERT_TRUE(holder.bind_to_port("127.0.0.1", busy_port));
    const std::string busy = "127.0.0.1:" + std::to_string(busy_port);
    const std::pair<std::string, std::string> listen_cases[] = {
        {"localhost:9417", "prometheus.listen: \"localhost:9417\" is not HOST:PORT (HOST an IPv4 address or a "
                           "bracketed IPv6 address, PORT 1-65535)"},
        {"127.0.0.1:9417\", \"port\": \"1", "prometheus: unknown key \"port\" (the only key is \"listen\")"},
        {busy, "prometheus.listen: cannot listen on " + busy + ": Address already in use"},
        // TEST-NET-1 is on no interface of the host.
        {"192.0.2.1:9417", "prometheus.listen: cannot listen on 192.0.2.1:9417: Cannot assign requested address"},
        // No connection can be accepted there (every form of broadcast and
        // multicast is a case of the endpoint's own tests).
        {"[::ffff:255.255.255.255]:9417", "prometheus.listen: \"[::ffff:255.255.255.255]:9417\" names the broadcast "
                                          "address, on which no connection can be accepted"},
    };
    for (const auto &[listen, error] : listen_cases) {
        const std::string path =
            config(env.log_dir(), env.telemetry_dir(), e2e::k_minimal_counters, e2e::prometheus_key(listen));
        const auto r = run_process({e2e::k_daemon, "-c", path}, daemon_env);
        EXPECT_EQ(r.exit_status, 255) << listen;
        EXPECT_EQ(r.err, "Error - " + error + "\n");
    }
    EXPECT_EQ(test_support::read_file(env.trace_file()), "");

    const std::string missing = env.dir() / "nowhere";
    const std::string regular = env.dir() / "regular";
    test_support::write_file(regular, "x");
    // talonmon.log is a directory: the logging library cannot open it.
    const std::string blocked = env.dir() / "blocked";
    std::filesystem::create_directories(blocked + "/talonmon.log");
    const std::string no_logs = "Failed to create log files, abort...\nFailed to initiate TALON monitor ...\n";
    const std::string usage = "Usage: " + e2e::k_daemon +
                              " [OPTIONS]\n"
                              "  -h, --help           show this help message\n"
                              "  -c, --config-file    specify config file\n";
    const std::string mandatory = "Error - \"config-file\" is mandatory\n";
    const struct {
        std::vector<std::string> argv;
        std::string err;  // a regular expression for the whole of standard error
        int status = 255;
        std::string out = "";
    } cases[] = {
        {{e2e::k_daemon, "-h", "--bogus"}, "", 0, usage},
        {{e2e::k_daemon, "--help"}, "", 0, usage},
        {{e2e::k_daemon, "-x"}, "[^\n]*invalid option[^\n]*\n", 255, usage},
        {{e2e::k_daemon, "-c"}, "[^\n]*requires an argument[^\n]*\n", 255, usage},
        {{e2e::k_daemon}, mandatory, 255, usage},
        {{e2e::k_daemon, "-c", ""}, mandatory, 255, usage},
        {{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", e2e::k_daemon, "-h"},
         "Error - TALON monitor requires root privileges, please login as superuser or use sudo\n"},
        // The last configuration file named wins.
        {{e2e::k_daemon, "-c", env.write_config(), "--config-file", missing}, missing + ": cannot open file\n"},
        {{e2e::k_daemon, "-c", config(missing, missing + "2")},
         "Log directory " + missing + " doesn't exist or not accessible\n"},
        {{e2e::k_daemon, "-c", config(regular, env.telemetry_dir())},
         "Log directory " + regular + " doesn't exist or not accessible\n"},
        {{e2e::k_daemon, "-c", config(env.log_dir(), regular)},
         "Telemetry directory " + regular + " doesn't exist or not accessible\n"},
        {{e2e::k_daemon, "-c", config(blocked, env.telemetry_dir())},
         "spdlog error: Failed opening file " + blocked + "/talonmon.log for writing[^\n]*\n" + no_logs},
        // A read-only mount refuses writes even to root.
        {{"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
          "mount -t tmpfs -o ro tmpfs \"$1\" && exec \"$2\" -c \"$3\"", "sh", env.log_dir(), e2e::k_daemon,
          env.write_config()},
         "No permissions to create log file in " + env.log_dir() + "\n" + no_logs},
        {{e2e::k_daemon, "-c", config(env.log_dir(), env.telemetry_dir(),
                                          R"("card": { "tick_mode": "nap" },)" + e2e::k_minimal_counters)},
         "Error - filter\\.card\\.tick_mode must be \"spin\" or \"sleep\", not \"nap\"\n"},
        // Last: its error log is checked below.
        {{e2e::k_daemon, "-c", config(env.log_dir(), env.telemetry_dir(), R"(
            "lif": { "counters": [ { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } },
                                   { "counter": "frames_tx_ok", "action": { "stats_record": true } } ] },
            "port": { "counters": [ { "counter": "bogus", "action": { "stats_record": true } } ] })")},
         "Error - frames_tx_ok is not a valid lif counter\nFailed to initiate TALON monitor \\.\\.\\.\n"},
    };
    for (const auto &c : cases) {
        const auto r = run_process(c.argv, daemon_env);
        const std::string what = c.argv.size() > 1 ? c.argv[c.argv.size() - 1] : "(no option)";
        EXPECT_EQ(r.exit_status, c.status) << what;
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << what << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << what;
    }
    const std::string err_log = test_support::read_file(env.err_file());
    EXPECT_TRUE(std::regex_search(err_log, std::regex("\nE [^\n]*Pipeline initialization failed\n$"))) << err_log;
    EXPECT_EQ(manager.count("READY=1"), 0u) << manager.all();
}

// Started as the package's maintainer script starts it (its command name
// "talonmon.postin"), beside other users' processes named like it and an
// operator's talonmon-top, the daemon starts: none of them is another
// instance. The last configuration file named wins. A second daemon is
// refused, whether it sees the first in its process table or only shares
// its telemetry directory. An error log another user owns is refused and
// left as it is. A card that cannot be listed (its functions carry no vital
// product data) is named on standard error in whole lines, and the host
// without cards it leaves is told once in the trace log.
using InstanceTest = e2e::daemon_test;

TEST_F(InstanceTest, LookAlikesAreNoInstanceButASecondDaemonIsRefused) {
    // The system's interpreter: one a user installed under /root is not
    // for nobody to run.
    const std::string python = "/usr/bin/python3";
    if (!std::filesystem::exists(python)) {
        GTEST_SKIP() << python << " is not installed";
    }
    const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    auto named = [&](const std::string &name, const std::string &user_prefix) {
        return user_prefix + python + " -c 'import ctypes, time; ctypes.CDLL(None).prctl(15, b\"" + name +
               "\", 0, 0, 0); time.sleep(120)' &\n";
    };
    const std::string script = env_.dir() / "talonmon.postinst";
    test_support::write_file(
        script, "#!/bin/sh\n" + named("talonmon_helper", as_nobody) + named("talonmon", as_nobody) +
                    named("talonmon-top", "") +
                    "until [ \"$(ps -eo user=,comm= | grep -cE '^(nobody +talonmon(_helper)?|root +talonmon-top)$')\" "
                    "= 3 ]; do sleep 0.05; done\n\"$@\" &\nchild=$!\ntrap 'kill -TERM $child' TERM\n"
                    "wait $child\nwait $child\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    test_support::write_file(env_.err_file(), "forged\n");
    ASSERT_EQ(::chown(env_.err_file().c_str(), 65534, 65534), 0);
    start_emulator(1);
    for (const auto &fn : std::filesystem::directory_iterator(env_.dir() / "emu/sys/bus/pci/devices")) {
        if (std::filesystem::exists(fn.path() / "vpd")) {
            test_support::write_file(fn.path() / "vpd", "");
        }
    }
    e2e::notify_socket manager(env_.dir() / "notify");
    std::vector<std::string> daemon_env = emu_->env();
    daemon_env.push_back(manager.env());
    daemon_ = std::make_unique<child_process>(
        std::vector<std::string>{script, e2e::k_daemon, "-c", env_.dir() / "missing.json", "-c", env_.write_config()},
        daemon_env);
    ASSERT_TRUE(e2e::wait_for_start(env_, *daemon_)) << daemon_->err_so_far();
    EXPECT_TRUE(manager.received("STATUS=0 cards monitored, 0 down")) << manager.all();
    ASSERT_TRUE(test_support::wait_until([&] { return trace_has("Monitoring 0 TALON card(s)"); }));

    // One with a process table of its own is refused by the lock on the
    // telemetry directory.
    // One entered into the first's PID and mount namespaces sees it in its process table.
    const std::vector<std::string> beside = {"/usr/bin/nsenter", "--target", std::to_string(daemon_->pid()),
                                             "--pid", "--mount", "--", e2e::k_daemon, "-h"};
    for (const auto &r : {child_process(beside, {}, test_support::pid_namespace::shared).wait(),
                          run_process({e2e::k_daemon, "-c", env_.write_config()}, env_.env())}) {
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(r.err, "Error - talonmon is already running\n");
        EXPECT_EQ(r.out, "");
    }

    const std::string err = stop_daemon().err;
    const std::string foreign = "Failed opening file " + env_.err_file() + " for writing: it belongs to another user";
    // Both the refusal and the card's error, and nothing but their lines.
    EXPECT_TRUE(std::regex_match(err, std::regex("(?=[\\s\\S]*" + foreign + ")(?=[\\s\\S]*Error )(([^\n]*" + foreign +
                                                 "[^\n]*|Error [^\n]*" + emu_->bdf(0) + "[^\n]*)\n)+")))
        << err;
    EXPECT_EQ(e2e::count_containing(test_support::read_lines(env_.trace_file()), "TALON card(s)"), 1u);
    EXPECT_EQ(test_support::read_file(env_.err_file()), "forged\n");
    EXPECT_EQ(manager.count("READY=1"), 1u) << manager.all();
    EXPECT_EQ(manager.count("WATCHDOG=1"), 0u) << "no pings without a watchdog period: " << manager.all();
}

}  // namespace
