// Telemetry records and the pipeline's configuration.
#pragma once

#include "monitor/talonmon_config.hpp"
#include "sdk/types.hpp"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

struct talonmon_card_ctxt_s;

enum talonmon_telemetry_type_e : uint32_t {
    TALONMON_TELEMETRY_TYPE_STATS = 1,
    TALONMON_TELEMETRY_TYPE_HEALTH = 2,
    TALONMON_TELEMETRY_TYPE_EVENT = 3,
};

enum talonmon_record_type_e : uint32_t {
    TALONMON_RECORD_TYPE_CARD = 1,
    TALONMON_RECORD_TYPE_LIF = 2,
    TALONMON_RECORD_TYPE_PORT = 3,
};

struct talonmon_telemetry_record_type_s {
    uint32_t type = 0;
    auto operator<=>(const talonmon_telemetry_record_type_s &) const = default;
};

// A validated counter descriptor.
struct talonmon_telemetry_counter_s {
    std::string name;
    uint64_t offset = 0;
    bool cumulative = true;
    uint64_t threshold = 0;
    bool event_record = false;
    bool stats_record = false;
    bool histogram = false;  // its rate over each pass is computed
    // The JSON-escaped start of the counter's entry in a line, up to its
    // value; made when the configuration is read, escaped on every line
    // while empty.
    std::string line_part{};
};

// One counter value in a record.
struct talonmon_counter_s {
    const talonmon_telemetry_counter_s *counter = nullptr;
    uint64_t value = 0;
};

struct talonmon_line_parts_s;

struct talonmon_telemetry_record_s {
    talonmon_telemetry_type_e type{};
    talonmon_telemetry_record_type_s record_type{};
    const std::string *id = nullptr;    // owned by the card context
    const std::string *name = nullptr;  // owned by the card context
    std::vector<talonmon_counter_s> counters;
    std::string description;
    // The entity's escaped line parts (owned by the card context); null
    // for records rendered from their fields alone.
    const talonmon_line_parts_s *parts = nullptr;
};

struct pipeline_monitor_info_s;

// Reads the counters of one entity (by its position in its list and the
// base address of its statistics block) into the two records.
using talonmon_populate_cb_t = sdk::sdk_ret_t (*)(talonmon_card_ctxt_s &card, pipeline_monitor_info_s &info,
                                                   uint32_t index, uint64_t base,
                                                   talonmon_telemetry_record_s *stats_record,
                                                   talonmon_telemetry_record_s *event_record);
using talonmon_export_cb_t = sdk::sdk_ret_t (*)(talonmon_card_ctxt_s &card, talonmon_telemetry_record_s &record);

struct pipeline_init_params_s {
    std::vector<talonmon_telemetry_counter_cfg_s> lif_counters;
    std::vector<talonmon_telemetry_counter_cfg_s> port_counters;
    std::vector<talonmon_telemetry_counter_cfg_s> card_counters;
};

struct pipeline_monitor_info_s {
    std::set<talonmon_telemetry_record_type_s> record_types;
    talonmon_export_cb_t export_cb = nullptr;
    talonmon_populate_cb_t lif_populate_cb = nullptr;
    talonmon_populate_cb_t port_populate_cb = nullptr;
    talonmon_populate_cb_t card_populate_cb = nullptr;
    std::vector<talonmon_telemetry_counter_s> lif_counters;
    std::vector<talonmon_telemetry_counter_s> port_counters;
    std::vector<talonmon_telemetry_counter_s> card_counters;
};
