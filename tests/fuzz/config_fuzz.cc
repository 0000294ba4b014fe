// The configuration reader on arbitrary files: it gives 0 or 255, never crashes
// (deep nesting included), and what it accepts is usable: intervals of a tick at
// least, no NUL in a path or counter name, every counter writes some record.
#include "monitor/talonmon_config.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "testkit/process.hpp"

#include <cstdint>
#include <fstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const test_support::temp_dir dir;
    static const std::string path = dir.path() + "/talonmon.json";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    const auto has_nul = [](const std::string &s) { return s.find('\0') != std::string::npos; };
    talonmon_init_params_s params;
    const int rc = fuzz_support::quietly([&] { return parse_config_from_json(path, params); });
    FUZZ_CHECK(rc == 0 || rc == 255, "result %d", rc);
    if (rc != 0) {
        return 0;
    }
    for (uint64_t interval : {params.card_liveness_poll_interval, params.lif_poll_interval, params.port_poll_interval}) {
        FUZZ_CHECK(interval >= k_min_interval_us, "interval of %llu accepted", static_cast<unsigned long long>(interval));
    }
    FUZZ_CHECK(!has_nul(params.log_dir) && !has_nul(params.telemetry_dir), "path with a NUL accepted");
    for (const auto *counters : {&params.lif_counters, &params.port_counters}) {
        for (const auto &c : *counters) {
            FUZZ_CHECK((c.event_record || c.stats_record) && !has_nul(c.counter), "counter '%s' accepted", c.counter.c_str());
        }
    }
    return 0;
}
