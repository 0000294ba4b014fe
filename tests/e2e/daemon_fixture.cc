#include "tests/e2e/daemon_fixture.hpp"

#include <sys/stat.h>

namespace e2e {

daemon_env::daemon_env() {
    ::mkdir(log_dir().c_str(), 0755);
    ::mkdir(telemetry_dir().c_str(), 0755);
    ::mkdir((dir_ / "obfl").c_str(), 0755);
    test_support::write_file(dir_ / "obfl/boot_count.txt", "7\n");
}

std::string daemon_env::write_config(const std::string &filter_members, const std::string &extra_top_level) const {
    std::string config = "{\n    \"log_dir\": \"" + log_dir() + "\",\n    \"telemetry_dir\": \"" + telemetry_dir() +
                         "\",\n" + extra_top_level + "    \"filter\": {" + filter_members + "\n    }\n}\n";
    const std::string path = dir_ / "talonmon.json";
    test_support::write_file(path, config);
    return path;
}

std::vector<std::string> daemon_env::env() const {
    return {"PERSISTENT_LOG_DIR=" + (dir_ / "obfl")};
}

bool wait_for_start(const daemon_env &env, test_support::child_process &daemon) {
    return test_support::wait_until([&] {
        return !daemon.running() ||
               test_support::read_file(env.trace_file()).find("Starting health monitoring") != std::string::npos;
    }) && daemon.running();
}

}  // namespace e2e
