// The telemetry pipeline: validated counter descriptors, the sampling of
// counters into records with thresholds and deltas, and the export of
// records to the card's files.
#pragma once

#include "monitor/talonmon_telemetry.hpp"

#include <span>

// Validates the configured counters against the catalogue and fills `info`.
// 0, or 255 after "Error - <name> is not a valid <kind> counter" on standard error.
sdk::sdk_ret_t pipeline_init(pipeline_init_params_s *params, pipeline_monitor_info_s *info);

// Forgets the card's previous counter readings and failed reads. Called
// while no worker of the card runs, before its next worker starts.
void pipeline_reinit(talonmon_card_ctxt_s &card);

// The raw readings the card's worker took of the LIF (port) at `index` in
// its last pass, one per configured counter; empty before the first.
std::span<const uint64_t> pipeline_last_readings(const talonmon_card_ctxt_s &card, talonmon_record_type_e kind,
                                                 uint32_t index);

// The rates per second the card's worker computed in its last pass of the
// LIF (port) at `index`, one per configured counter: NaN for a counter
// without a histogram, and for one whose pass followed a reset (the counter
// went back) or a gap (its first reading, a failed read, a missed pass).
std::span<const double> pipeline_last_rates(const talonmon_card_ctxt_s &card, talonmon_record_type_e kind,
                                           uint32_t index);

// The counter reads of the card that failed (each left out of its pass)
// since its readings were last forgotten.
uint64_t pipeline_failed_reads(const talonmon_card_ctxt_s &card);

// Callbacks reached through pipeline_monitor_info_s.
sdk::sdk_ret_t lif_telemetry_populate_cb(talonmon_card_ctxt_s &card, pipeline_monitor_info_s &info, uint32_t index,
                                         uint64_t base, talonmon_telemetry_record_s *stats_record,
                                         talonmon_telemetry_record_s *event_record);
sdk::sdk_ret_t port_telemetry_populate_cb(talonmon_card_ctxt_s &card, pipeline_monitor_info_s &info, uint32_t index,
                                          uint64_t base, talonmon_telemetry_record_s *stats_record,
                                          talonmon_telemetry_record_s *event_record);
sdk::sdk_ret_t card_telemetry_populate_cb(talonmon_card_ctxt_s &card, pipeline_monitor_info_s &info, uint32_t index,
                                          uint64_t base, talonmon_telemetry_record_s *stats_record,
                                          talonmon_telemetry_record_s *event_record);
sdk::sdk_ret_t telemetry_export_cb(talonmon_card_ctxt_s &card, talonmon_telemetry_record_s &record);

// While one is open on the calling thread, the lines telemetry_export_cb
// exports for `card` are kept and written when it closes, one write(2) per
// file (files rotate before the same lines as when written one by one).
// Opened around one sampling pass, so that nothing is held past the pass.
// A batch opened inside another is a no-op.
class telemetry_pass_batch {
public:
    explicit telemetry_pass_batch(talonmon_card_ctxt_s &card);
    ~telemetry_pass_batch();
    telemetry_pass_batch(const telemetry_pass_batch &) = delete;
    telemetry_pass_batch &operator=(const telemetry_pass_batch &) = delete;

private:
    talonmon_card_ctxt_s &card_;
    bool owner_ = false;
};
