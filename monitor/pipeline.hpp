// The telemetry pipeline: validated counter descriptors, the sampling of
// counters into records with thresholds and deltas, and the export of
// records to the card's files.
#pragma once

#include "monitor/talonmon_telemetry.hpp"

#include <span>

// Validates the configured counters against the catalogue and fills `info`.
// 0, or 255 after "Error - <name> is not a valid <kind> counter" on standard error.
sdk::sdk_ret_t pipeline_init(pipeline_init_params_s *params, pipeline_monitor_info_s *info);

// Forgets the calling thread's previous counter readings; returns 0.
sdk::sdk_ret_t pipeline_reinit();

// The raw readings the calling thread took of the LIF (port) at `index` in
// its last pass, one per configured counter; empty before the first.
std::span<const uint64_t> pipeline_last_readings(talonmon_record_type_e kind, uint32_t index);

// The counter reads of the calling thread that failed (each left out of its
// pass) since the thread started or last forgot its readings.
uint64_t pipeline_failed_reads();

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
