// Telemetry lines of LIFs and ports assembled from parts that are escaped
// once: the card's and the entity's identity when the entity is listed (or
// renamed), each counter's name when the configuration is read. A line then
// costs a time stamp, the counter values and a few copies.
#pragma once

#include "aml/aml_card.hpp"
#include "monitor/talonmon_telemetry.hpp"

#include <cstdint>
#include <string>

// The text of an entity's lines around the time stamp, JSON-escaped.
struct talonmon_line_parts_s {
    // {"uuid": "<card uuid>","bdf": "<card bdf>","timestamp":"
    std::string head;
    // ","<kind>": {"id": "<id>","name": "<name>","counters": [
    std::string body;
};

// The parts of the lines of the entity `id`/`name` of `kind` on `card`.
talonmon_line_parts_s talonmon_make_line_parts(const aml_card_handle_s &card, talonmon_record_type_e kind,
                                               const std::string &id, const std::string &name);

// `counter`'s part of a line up to its value: {"name": "<name>","value": 
std::string talonmon_counter_line_part(const std::string &counter_name);

// Renders the counters record `record` of the entity of `parts` at wall
// time `epoch_ns` into `line`, ending with a line feed. A reused `line`
// allocates nothing once it has grown to the longest line.
void talonmon_render_counters_line(const talonmon_line_parts_s &parts, const talonmon_telemetry_record_s &record,
                                   uint64_t epoch_ns, std::string &line);
