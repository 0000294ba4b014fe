#include "monitor/pipeline.hpp"

#include "monitor/counter_catalogue.hpp"
#include "monitor/talonmon_card.hpp"
#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/talonmon_jsonl.hpp"
#include "monitor/talonmon_line_parts.hpp"
#include "monitor/talonmon_oper_logger.hpp"
#include "monitor/talonmon_worker.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "utils/log/trace.hpp"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

namespace {

constexpr uint64_t k_ns_per_s = 1000000000;

constexpr double k_no_rate = std::numeric_limits<double>::quiet_NaN();

uint64_t monotonic_ns() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * k_ns_per_s + static_cast<uint64_t>(ts.tv_nsec);
}

// The lines of the calling worker's current pass, per file, while a
// telemetry_pass_batch is open: written at its end, one write(2) per file.
struct pass_lines_s {
    talonmon_card_ctxt_s *card = nullptr;
    std::string stats;
    std::string event;
};

thread_local pass_lines_s t_pass_lines;

std::vector<uint64_t> &previous_readings(talonmon_sampling_kind_s &kind, uint32_t index, size_t counters) {
    if (index >= kind.readings.size()) {
        kind.readings.resize(static_cast<size_t>(index) + 1);
        kind.rates.resize(static_cast<size_t>(index) + 1);
    }
    auto &slot = kind.readings[index];
    if (slot.size() < counters) {
        slot.resize(counters, 0);
        kind.rates[index].rates.resize(counters, k_no_rate);
        kind.rates[index].primed.resize(counters, 0);
    }
    return slot;
}

// Reads one counter; false (with `value` untouched) when the read fails.
bool read_counter(uint64_t addr, uint64_t &value) {
    uint8_t bytes[k_counter_size] = {};
    if (sdk::lib::pal_mem_read(addr, bytes, sizeof(bytes), 0) != sdk::lib::PAL_RET_OK) {
        return false;
    }
    std::memcpy(&value, bytes, sizeof(value));  // card memory is little-endian, like the host
    return true;
}

// A failed read is counted, and logged at most once a report period per
// card (the calling worker serves one card).
void report_failed_read(talonmon_card_ctxt_s &card, const talonmon_telemetry_counter_s &counter, uint64_t addr) {
    thread_local uint64_t t_next_log_ns = 0;
    ++card.sampling.failed_reads;
    const uint64_t now_ns = monotonic_ns();
    if (now_ns < t_next_log_ns) {
        return;
    }
    t_next_log_ns = now_ns + g_sampling_report_period_ns;
    TRACE_ERR("TALON {} - Failed to read counter {} at 0x{:x}; it is left out until it reads again", card.bdf,
              counter.name, addr);
}

sdk::sdk_ret_t validate(const std::vector<talonmon_telemetry_counter_cfg_s> &configured,
                        const talonmon_counter_map_t &catalogue, const char *kind,
                        std::vector<talonmon_telemetry_counter_s> &out) {
    for (const auto &cfg : configured) {
        auto found = catalogue.find(cfg.counter);
        if (found == catalogue.end()) {
            std::fprintf(stderr, "Error - %s is not a valid %s counter\n", cfg.counter.c_str(), kind);
            return sdk::SDK_RET_ERR;
        }
        out.push_back({cfg.counter, found->second, cfg.cumulative, cfg.threshold, cfg.event_record, cfg.stats_record,
                       cfg.histogram, talonmon_counter_line_part(cfg.counter)});
    }
    return sdk::SDK_RET_OK;
}

// The rate of a counter over the pass from `last` to `current`, or NaN
// when the pass gives none: its previous reading is not from the entity's
// previous pass (first sample, failed read, missed pass), or the counter
// went back (a reset).
double pass_rate(bool primed, uint64_t last, uint64_t current, double per_second) {
    return primed && current >= last ? static_cast<double>(current - last) * per_second : k_no_rate;
}

sdk::sdk_ret_t populate(talonmon_card_ctxt_s &card, const std::vector<talonmon_telemetry_counter_s> &counters,
                        talonmon_sampling_kind_s &kind, uint32_t index, uint64_t base, talonmon_telemetry_record_s *stats_record,
                        talonmon_telemetry_record_s *event_record) {
    if (counters.empty()) {
        return sdk::SDK_RET_OK;
    }
    if (index == 0) {
        ++kind.passes;
        kind.pass_ns = 0;
    }
    auto &previous = previous_readings(kind, index, counters.size());
    talonmon_entity_rates_s &rates = kind.rates[index];
    const bool follows = rates.pass + 1 == kind.passes;
    rates.pass = kind.passes;
    // Rate per unit of change (1 s over the time since the entity's last
    // sample), from the clock read at the first counter with a histogram;
    // 0 until then, negative when this pass gives no rates.
    double per_second = 0;
    for (size_t i = 0; i < counters.size(); ++i) {
        const auto &counter = counters[i];
        uint64_t current = 0;
        if (!read_counter(base + counter.offset, current)) {
            // Left out of this pass; the previous reading stays, so the
            // next delta spans the gap (and gives no rate).
            report_failed_read(card, counter, base + counter.offset);
            rates.rates[i] = k_no_rate;
            rates.primed[i] = 0;
            continue;
        }
        const uint64_t last = previous[i];
        previous[i] = current;
        if (counter.histogram) {
            if (per_second == 0) {
                if (kind.pass_ns == 0) {
                    kind.pass_ns = monotonic_ns();
                }
                const uint64_t now_ns = kind.pass_ns;
                const bool timed = follows && now_ns > rates.sampled_ns;
                per_second = timed ? static_cast<double>(k_ns_per_s) / static_cast<double>(now_ns - rates.sampled_ns)
                                   : -1;  // no rate in this pass
                rates.sampled_ns = now_ns;
            }
            rates.rates[i] = pass_rate(per_second > 0 && rates.primed[i] != 0, last, current, per_second);
            rates.primed[i] = 1;
        }
        const uint64_t change = current >= last ? current - last : last - current;
        if (counter.threshold != 0 && change < counter.threshold) {
            continue;
        }
        const uint64_t value = counter.cumulative ? current : current - last;  // wraps modulo 2^64
        if (counter.event_record) {
            event_record->counters.push_back({&counter, value});
        }
        if (counter.stats_record) {
            stats_record->counters.push_back({&counter, value});
        }
    }
    return sdk::SDK_RET_OK;
}

}  // namespace

sdk::sdk_ret_t pipeline_init(pipeline_init_params_s *params, pipeline_monitor_info_s *info) {
    info->record_types = {{TALONMON_RECORD_TYPE_LIF}, {TALONMON_RECORD_TYPE_PORT}};
    info->export_cb = telemetry_export_cb;
    info->lif_populate_cb = lif_telemetry_populate_cb;
    info->port_populate_cb = port_telemetry_populate_cb;
    info->card_populate_cb = card_telemetry_populate_cb;
    sdk::sdk_ret_t rc = validate(params->lif_counters, lif_counter_map, "lif", info->lif_counters);
    if (rc == sdk::SDK_RET_OK) {
        rc = validate(params->port_counters, port_counter_map, "port", info->port_counters);
    }
    if (rc == sdk::SDK_RET_OK) {
        rc = validate(params->card_counters, card_counter_map, "card", info->card_counters);
    }
    return rc;
}

void pipeline_reinit(talonmon_card_ctxt_s &card) { card.sampling = talonmon_sampling_memory_s{}; }

std::span<const uint64_t> pipeline_last_readings(const talonmon_card_ctxt_s &card, talonmon_record_type_e kind,
                                                 uint32_t index) {
    const auto &slots = (kind == TALONMON_RECORD_TYPE_LIF ? card.sampling.lif : card.sampling.port).readings;
    if (index >= slots.size()) {
        return {};
    }
    return slots[index];
}

std::span<const double> pipeline_last_rates(const talonmon_card_ctxt_s &card, talonmon_record_type_e kind,
                                           uint32_t index) {
    const auto &slots = (kind == TALONMON_RECORD_TYPE_LIF ? card.sampling.lif : card.sampling.port).rates;
    if (index >= slots.size()) {
        return {};
    }
    return slots[index].rates;
}

uint64_t pipeline_failed_reads(const talonmon_card_ctxt_s &card) { return card.sampling.failed_reads; }

sdk::sdk_ret_t lif_telemetry_populate_cb(talonmon_card_ctxt_s &card, pipeline_monitor_info_s &info, uint32_t index,
                                         uint64_t base, talonmon_telemetry_record_s *stats_record,
                                         talonmon_telemetry_record_s *event_record) {
    return populate(card, info.lif_counters, card.sampling.lif, index, base, stats_record, event_record);
}

sdk::sdk_ret_t port_telemetry_populate_cb(talonmon_card_ctxt_s &card, pipeline_monitor_info_s &info,
                                          uint32_t index, uint64_t base, talonmon_telemetry_record_s *stats_record,
                                          talonmon_telemetry_record_s *event_record) {
    return populate(card, info.port_counters, card.sampling.port, index, base, stats_record, event_record);
}

sdk::sdk_ret_t card_telemetry_populate_cb(talonmon_card_ctxt_s &card, pipeline_monitor_info_s &info, uint32_t,
                                          uint64_t base, talonmon_telemetry_record_s *stats_record,
                                          talonmon_telemetry_record_s *event_record) {
    for (const auto &counter : info.card_counters) {
        uint64_t value = 0;
        if (!read_counter(base + counter.offset, value)) {
            report_failed_read(card, counter, base + counter.offset);
            continue;
        }
        (counter.event_record ? event_record : stats_record)->counters.push_back({&counter, value});
    }
    return sdk::SDK_RET_OK;
}

sdk::sdk_ret_t telemetry_export_cb(talonmon_card_ctxt_s &card, talonmon_telemetry_record_s &record) {
    // Reused line after line by the calling thread: once grown to the
    // longest line, exporting allocates nothing.
    thread_local std::string line;
    const bool stats = record.type == TALONMON_TELEMETRY_TYPE_STATS;
    if (record.parts != nullptr && (stats || record.type == TALONMON_TELEMETRY_TYPE_EVENT)) {
        talonmon_render_counters_line(*record.parts, record, talonmon_wall_clock_ns(), line);
    } else {
        sdk::sdk_ret_t rc = generate_jsonl_from_telemetry_record(card, record, line);
        if (rc != sdk::SDK_RET_OK) {
            return rc;
        }
        line += '\n';
    }
    if (t_pass_lines.card == &card) {
        (stats ? t_pass_lines.stats : t_pass_lines.event) += line;
    } else {
        talonmon_oper_write_line(stats ? card.stats_logger : card.event_logger, line);
    }
    if (card.metrics) {
        card.metrics->count_line(stats ? talonmon_metrics_file_e::stats : talonmon_metrics_file_e::event);
    }
    return sdk::SDK_RET_OK;
}

telemetry_pass_batch::telemetry_pass_batch(talonmon_card_ctxt_s &card) : card_(card) {
    if (t_pass_lines.card == nullptr) {
        t_pass_lines.card = &card_;
        owner_ = true;
    }
}

telemetry_pass_batch::~telemetry_pass_batch() {
    if (!owner_) {
        return;
    }
    t_pass_lines.card = nullptr;
    talonmon_oper_write_lines(card_.stats_logger, t_pass_lines.stats);
    talonmon_oper_write_lines(card_.event_logger, t_pass_lines.event);
    // Cleared, not freed: the next pass reuses the memory.
    t_pass_lines.stats.clear();
    t_pass_lines.event.clear();
}
