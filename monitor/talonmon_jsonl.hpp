// Rendering of one telemetry record as one JSON line.
#pragma once

#include "aml/aml_card.hpp"
#include "monitor/talonmon_telemetry.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Status of a record that cannot be rendered.
inline constexpr sdk::sdk_ret_t k_jsonl_unrenderable = sdk::SDK_RET_INVALID_ARG;

// Renders `record` of `card` into `line` (no line terminator): 0, or 2 with
// `line` untouched for a record of unknown type or a counters record of
// unknown entity kind.
sdk::sdk_ret_t generate_jsonl_from_telemetry_record(const aml_card_handle_s &card,
                                                    const talonmon_telemetry_record_s &record, std::string &line);

inline constexpr size_t k_time_buf_size = 32;

// A time stamp's text in a buffer of its own.
struct talonmon_timestamp_s {
    char text[k_time_buf_size];
    size_t length = 0;
    std::string_view view() const { return {text, length}; }
};

// The wall clock (CLOCK_REALTIME) in nanoseconds since the Unix epoch.
uint64_t talonmon_wall_clock_ns();

// Local time of `epoch_ns` as "YYYY-MM-DD HH:MM:SS.mmm", without the heap.
talonmon_timestamp_s talonmon_format_timestamp(uint64_t epoch_ns);

// The same as a string.
std::string talonmon_timestamp_text(uint64_t epoch_ns);
