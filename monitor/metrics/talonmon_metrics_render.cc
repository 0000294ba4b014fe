#include "monitor/metrics/talonmon_metrics_render.hpp"

#include "monitor/metrics/talonmon_rate_histogram.hpp"
#include "utils/log/error_handler.hpp"
#include "utils/log/utf8.hpp"

#include <fmt/format.h>

#include <iterator>
#include <type_traits>

namespace {

constexpr std::string_view k_total_suffix = "_total";
constexpr uint64_t k_ns_per_second = 1000000000;
constexpr uint64_t k_ns_per_us = 1000;

struct label_s {
    std::string_view name;
    std::string_view value;
};

void append_family(std::string &out, std::string_view name, std::string_view type, std::string_view help) {
    fmt::format_to(std::back_inserter(out), "# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

template <typename Value>
void append_value(std::string &out, Value value) {
    if constexpr (std::is_integral_v<Value>) {
        const fmt::format_int text(value);
        out += ' ';
        out.append(text.data(), text.size());
        out += '\n';
    } else {
        fmt::format_to(std::back_inserter(out), " {}\n", value);
    }
}

// A sample whose labels were escaped when their owner was made; `extra`
// (escaped too) follows them.
template <typename Value>
void append_escaped_sample(std::string &out, std::string_view name, std::string_view labels, Value value,
                           std::string_view extra = {}) {
    out += name;
    out += '{';
    out += labels;
    out += extra;
    out += '}';
    append_value(out, value);
}

template <typename Value>
void append_sample(std::string &out, std::string_view name, std::initializer_list<label_s> labels, Value value) {
    out += name;
    if (labels.size() > 0) {
        out += '{';
        bool first = true;
        for (const auto &label : labels) {
            if (!first) {
                out += ',';
            }
            first = false;
            out += label.name;
            out += "=\"";
            talonmon_metrics_append_label_value(out, label.value);
            out += '"';
        }
        out += '}';
    }
    append_value(out, value);
}

std::string counter_metric_name(std::string_view kind, const std::string &counter) {
    std::string name = fmt::format("talon_{}_{}", kind, counter);
    if (!counter.ends_with(k_total_suffix)) {
        name += k_total_suffix;
    }
    return name;
}

using card_list_t = std::vector<std::shared_ptr<const talonmon_card_metrics>>;
using entity_list_t = std::vector<std::shared_ptr<const talonmon_entity_metrics>>;

// The entity lists of one card, taken once per scrape.
struct card_entities_s {
    entity_list_t lifs;
    entity_list_t ports;
};

// One family per distinct counter name; a name configured twice reads the
// same memory, so its first position stands for both.
void append_entity_counters(std::string &out, const std::vector<card_entities_s> &cards, std::string_view kind,
                            const std::vector<std::string> &counters, bool is_lif) {
    for (size_t i = 0; i < counters.size(); ++i) {
        bool seen_before = false;
        for (size_t j = 0; j < i && !seen_before; ++j) {
            seen_before = counters[j] == counters[i];
        }
        if (seen_before) {
            continue;
        }
        const std::string name = counter_metric_name(kind, counters[i]);
        append_family(out, name, "counter",
                      fmt::format("Raw reading of the {} counter {} (exact up to 2^53 as float64).",
                                  is_lif ? "LIF" : "port", counters[i]));
        for (const auto &card : cards) {
            for (const auto &entity : is_lif ? card.lifs : card.ports) {
                if (i >= entity->num_counters()) {
                    continue;
                }
                append_escaped_sample(out, name, entity->labels(), entity->reading(i));
            }
        }
    }
}

// Nanoseconds since the epoch as seconds, to the microsecond.
std::string seconds_text(uint64_t ns) {
    return fmt::format("{}.{:06}", ns / k_ns_per_second, ns % k_ns_per_second / k_ns_per_us);
}

template <typename Read>
void append_card_family(std::string &out, const card_list_t &cards, std::string_view name, std::string_view type,
                        std::string_view help, Read read) {
    append_family(out, name, type, help);
    for (const auto &card : cards) {
        append_escaped_sample(out, name, card->labels(), read(*card));
    }
}

}  // namespace

void talonmon_metrics_append_label_value(std::string &out, std::string_view value) {
    while (!value.empty()) {
        size_t bad_length = 0;
        const size_t length = utils::utf8_sequence_length(value, bad_length);
        if (length == 0) {
            out += utils::k_utf8_replacement;
            value.remove_prefix(bad_length);
            continue;
        }
        const char c = value.front();
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else if (utils::is_control_character(value.substr(0, length))) {
            // Shown as the trace log shows it (an escaped backslash, then
            // xHH per byte): no exposition line carries a control byte.
            for (const char byte : value.substr(0, length)) {
                fmt::format_to(std::back_inserter(out), "\\\\x{:02x}", static_cast<unsigned char>(byte));
            }
        } else {
            out.append(value.substr(0, length));
        }
        value.remove_prefix(length);
    }
}

std::string talonmon_metrics_render(const talonmon_metrics_registry &registry,
                                    const talonmon_process_metrics_s &process, std::string_view version) {
    std::string out;
    talonmon_metrics_render_to(out, registry, process, version);
    return out;
}

void talonmon_metrics_render_to(std::string &out, const talonmon_metrics_registry &registry,
                                const talonmon_process_metrics_s &process, std::string_view version) {
    out.clear();
    const card_list_t cards = registry.cards();
    std::vector<card_entities_s> entities;
    entities.reserve(cards.size());
    for (const auto &card : cards) {
        entities.push_back({card->lifs(), card->ports()});
    }

    append_entity_counters(out, entities, "lif", registry.lif_counters(), true);
    append_entity_counters(out, entities, "port", registry.port_counters(), false);
    talonmon_rate_histograms_append(out, registry, cards);

    append_card_family(out, cards, "talon_card_up", "gauge", "1 while the card answers its heartbeat, 0 while it is down.",
                       [](const talonmon_card_metrics &card) { return card.up() ? 1 : 0; });
    append_card_family(out, cards, "talon_card_last_sample_timestamp_seconds", "gauge",
                       "Wall-clock time of the card's last sampling pass, in seconds since the epoch; 0 before it.",
                       [](const talonmon_card_metrics &card) { return seconds_text(card.last_sample_ns()); });
    constexpr std::string_view k_kind_sample = "talon_card_last_sample_by_kind_timestamp_seconds";
    append_family(out, k_kind_sample, "gauge",
                  "Wall-clock time of the card's last pass that sampled the kind (of those configured), in seconds "
                  "since the epoch; 0 before it.");
    for (const auto &card : cards) {
        if (!registry.lif_counters().empty()) {
            append_escaped_sample(out, k_kind_sample, card->labels(), seconds_text(card->last_lif_sample_ns()),
                                  ",kind=\"lif\"");
        }
        if (!registry.port_counters().empty()) {
            append_escaped_sample(out, k_kind_sample, card->labels(), seconds_text(card->last_port_sample_ns()),
                                  ",kind=\"port\"");
        }
    }
    append_card_family(out, cards, "talon_card_down_transitions_total", "counter",
                       "Times the card was marked down.",
                       [](const talonmon_card_metrics &card) { return card.down_transitions(); });
    append_card_family(out, cards, "talon_card_telemetry_write_errors_total", "counter",
                       "Telemetry lines of the card that could not be written and its telemetry files that could "
                       "not be opened.",
                       [](const talonmon_card_metrics &card) { return card.telemetry_write_errors(); });
    append_card_family(out, cards, "talonmon_sampling_passes_total", "counter",
                       "Ticks of the card's worker on which some counter kind was due and sampled.",
                       [](const talonmon_card_metrics &card) { return card.passes(); });
    append_card_family(out, cards, "talonmon_sampling_overruns_total", "counter",
                       "Ticks of the card's worker whose work took longer than the tick.",
                       [](const talonmon_card_metrics &card) { return card.overruns(); });
    append_card_family(out, cards, "talonmon_sampling_failed_reads_total", "counter",
                       "Counter reads of the card's worker that failed; each is left out of its pass.",
                       [](const talonmon_card_metrics &card) { return card.failed_reads(); });

    constexpr std::string_view k_lines = "talonmon_telemetry_lines_total";
    append_family(out, k_lines, "counter", "Lines handed to the card's telemetry file, by file.");
    for (const auto &card : cards) {
        for (auto [file, file_label] : {std::pair{talonmon_metrics_file_e::stats, ",file=\"stats\""},
                                        std::pair{talonmon_metrics_file_e::event, ",file=\"event\""}}) {
            append_escaped_sample(out, k_lines, card->labels(), card->lines(file), file_label);
        }
    }

    append_family(out, "talonmon_logging_errors_total", "counter", "Errors reported by the logging library.");
    append_sample(out, "talonmon_logging_errors_total", {}, utils::log_error_count());
    append_family(out, "talonmon_discovery_passes_total", "counter", "Card discovery passes of the health checker.");
    append_sample(out, "talonmon_discovery_passes_total", {}, registry.discovery_passes());
    append_family(out, "talonmon_build_info", "gauge", "The daemon's version; always 1.");
    append_sample(out, "talonmon_build_info", {{"version", version}}, 1);

    append_family(out, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
    append_sample(out, "process_cpu_seconds_total", {}, process.cpu_seconds);
    append_family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    append_sample(out, "process_resident_memory_bytes", {}, process.resident_memory_bytes);
    append_family(out, "process_open_fds", "gauge", "Number of open file descriptors.");
    append_sample(out, "process_open_fds", {}, process.open_fds);
    append_family(out, "process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.");
    append_sample(out, "process_start_time_seconds", {}, process.start_time_seconds);
}
