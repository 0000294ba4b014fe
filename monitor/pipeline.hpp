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

// The rates per second the calling thread computed in its last pass of the
// LIF (port) at `index`, one per configured counter: NaN for a counter
// without a histogram, and for one whose pass followed a reset (the counter
// went back) or a gap (its first reading, a failed read, a missed pass).
std::span<const double> pipeline_last_rates(talonmon_record_type_e kind, uint32_t index);

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
