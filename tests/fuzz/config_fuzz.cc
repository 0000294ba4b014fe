// The configuration reader on arbitrary file contents: it returns 0 or 255,
// never crashes (deep nesting included), and what it accepts is usable:
// intervals of at least one tick, no NUL inside a path or counter name, and
// every counter writes at least one kind of record.
#include "monitor/talonmon_config.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/support/process.hpp"

#include <cstdint>
#include <cstring>
#include <fstream>

namespace {

constexpr int k_config_ok = 0;
constexpr int k_config_err = 255;

bool has_nul(const std::string &s) { return s.find('\0') != std::string::npos; }

void check_counters(const std::vector<talonmon_telemetry_counter_cfg_s> &counters) {
    for (const auto &c : counters) {
        FUZZ_CHECK(c.event_record || c.stats_record, "counter '%s' selects no record", c.counter.c_str());
        FUZZ_CHECK(!has_nul(c.counter), "counter name with a NUL accepted");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const test_support::temp_dir dir;
    static const std::string path = dir.path() + "/talonmon.json";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    }
    talonmon_init_params_s params;
    int rc;
    {
        const fuzz_support::quiet_stderr quiet;
        rc = parse_config_from_json(path, params);
    }
    FUZZ_CHECK(rc == k_config_ok || rc == k_config_err, "result %d", rc);
    if (rc != k_config_ok) {
        return 0;
    }
    FUZZ_CHECK(params.card_liveness_poll_interval >= k_min_interval_us, "liveness interval %llu",
               static_cast<unsigned long long>(params.card_liveness_poll_interval));
    FUZZ_CHECK(params.lif_poll_interval >= k_min_interval_us, "lif interval too short");
    FUZZ_CHECK(params.port_poll_interval >= k_min_interval_us, "port interval too short");
    FUZZ_CHECK(!has_nul(params.log_dir) && !has_nul(params.telemetry_dir), "path with a NUL accepted");
    check_counters(params.lif_counters);
    check_counters(params.port_counters);
    return 0;
}
