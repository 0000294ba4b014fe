// Whole-daemon test helpers: a configuration in a temporary directory and
// the daemon binary started against it.
//
// Every process these tests start runs in a PID namespace of its own (see
// test_support::pid_namespace) and, unless a test points it at talon-emu,
// against an emulated host with no cards: TALON_SYSFS_DIR and TALON_DEV_DIR
// name an empty tree and the emulator's lspci and setpci come first on PATH.
// Meanwhile a process named after the daemon runs in the test's own
// namespace, where a daemon that could see it would refuse to start. A
// global test environment sets all this up once per test process.
#pragma once

#include "testkit/process.hpp"

#include <string>
#include <vector>

namespace e2e {

inline const std::string k_daemon = TALONMON_BIN;
inline const std::string k_emulator = TALON_EMU_BIN;

inline const std::string k_minimal_counters = R"(
        "lif": { "counters": [ { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } } ] },
        "port": { "counters": [ { "counter": "frames_tx_ok", "action": { "stats_record": true } } ] })";

// A temporary tree with log/, telemetry/ and obfl/boot_count.txt.
class daemon_env {
public:
    daemon_env();
    const test_support::temp_dir &dir() const { return dir_; }
    std::string log_dir() const { return dir_ / "log"; }
    std::string telemetry_dir() const { return dir_ / "telemetry"; }
    std::string trace_file() const { return log_dir() + "/talonmon.log"; }
    std::string err_file() const { return log_dir() + "/talonmon-err.log"; }
    // Writes a configuration with the given "filter" members and returns its path.
    std::string write_config(const std::string &filter_members = k_minimal_counters,
                             const std::string &extra_top_level = "") const;
    std::vector<std::string> env() const;

private:
    test_support::temp_dir dir_;
};

// Starts the daemon and waits for its health checker to log its start line.
bool wait_for_start(const daemon_env &env, test_support::child_process &daemon);

}  // namespace e2e
