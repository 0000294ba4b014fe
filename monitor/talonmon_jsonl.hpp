// Rendering of one telemetry record as one JSON line.
#pragma once

#include "aml/aml_card.hpp"
#include "monitor/talonmon_telemetry.hpp"

#include <string>

// Status of a record that cannot be rendered.
inline constexpr sdk::sdk_ret_t k_jsonl_unrenderable = sdk::SDK_RET_INVALID_ARG;

// Renders `record` of `card` into `line` (no line terminator): 0, or 2 with
// `line` untouched for a record of unknown type or a counters record of
// unknown entity kind.
sdk::sdk_ret_t generate_jsonl_from_telemetry_record(const aml_card_handle_s &card,
                                                    const talonmon_telemetry_record_s &record, std::string &line);

// Local time of `epoch_ns` as "YYYY-MM-DD HH:MM:SS.mmm".
std::string talonmon_timestamp_text(uint64_t epoch_ns);
