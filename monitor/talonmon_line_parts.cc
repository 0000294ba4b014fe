#include "monitor/talonmon_line_parts.hpp"

#include "monitor/talonmon_jsonl.hpp"
#include "utils/log/utf8.hpp"

#include <fmt/format.h>

namespace {

const char *entity_key(talonmon_record_type_e kind) {
    switch (kind) {
    case TALONMON_RECORD_TYPE_LIF:
        return "lif";
    case TALONMON_RECORD_TYPE_PORT:
        return "port";
    case TALONMON_RECORD_TYPE_CARD:
        return "card";
    }
    return "unknown";
}

constexpr std::string_view k_counters_end = "]}}\n";
constexpr std::string_view k_counter_separator = ", ";

}  // namespace

talonmon_line_parts_s talonmon_make_line_parts(const aml_card_handle_s &card, talonmon_record_type_e kind,
                                               const std::string &id, const std::string &name) {
    talonmon_line_parts_s parts;
    std::string &head = parts.head;
    head = "{\"uuid\": \"";
    utils::append_json_escaped(head, card.uuid);
    head += "\",\"bdf\": \"";
    utils::append_json_escaped(head, card.bdf);
    head += "\",\"timestamp\":\"";

    // Id and name are each left out when empty, with the comma between and
    // after them only where both sides are present.
    std::string &body = parts.body;
    body = "\",\"";
    body += entity_key(kind);
    body += "\": {";
    if (!id.empty()) {
        body += "\"id\": \"";
        utils::append_json_escaped(body, id);
        body += '"';
    }
    if (!id.empty() && !name.empty()) {
        body += ',';
    }
    if (!name.empty()) {
        body += "\"name\": \"";
        utils::append_json_escaped(body, name);
        body += '"';
    }
    if (!id.empty() || !name.empty()) {
        body += ',';
    }
    body += "\"counters\": [";
    return parts;
}

std::string talonmon_counter_line_part(const std::string &counter_name) {
    std::string part = "{\"name\": \"";
    utils::append_json_escaped(part, counter_name);
    part += "\",\"value\": ";
    return part;
}

void talonmon_render_counters_line(const talonmon_line_parts_s &parts, const talonmon_telemetry_record_s &record,
                                   uint64_t epoch_ns, std::string &line) {
    const talonmon_timestamp_s stamp = talonmon_format_timestamp(epoch_ns);
    line.clear();
    line += parts.head;
    line += stamp.view();
    line += parts.body;
    bool first = true;
    for (const auto &entry : record.counters) {
        if (!first) {
            line += k_counter_separator;
        }
        first = false;
        if (entry.counter == nullptr) {
            static const std::string k_unnamed = talonmon_counter_line_part(std::string());
            line += k_unnamed;
        } else if (entry.counter->line_part.empty()) {
            // A descriptor made without the configuration reader.
            line += talonmon_counter_line_part(entry.counter->name);
        } else {
            line += entry.counter->line_part;
        }
        const fmt::format_int value(entry.value);
        line.append(value.data(), value.size());
        line += '}';
    }
    line += k_counters_end;
}
