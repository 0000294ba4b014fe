#include "monitor/metrics/talonmon_rate_histogram.hpp"

#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/metrics/talonmon_metrics_render.hpp"

#include <fmt/format.h>

#include <iterator>

namespace {

void append_label(std::string &out, std::string_view name, std::string_view value) {
    if (!out.empty()) {
        out += ',';
    }
    out += name;
    out += "=\"";
    talonmon_metrics_append_label_value(out, value);
    out += '"';
}

// The labels of an entity's series: its card's and its own.
std::string entity_labels(const talonmon_card_metrics &card, std::string_view kind,
                          const talonmon_entity_metrics &entity) {
    std::string labels;
    append_label(labels, "bdf", card.bdf());
    append_label(labels, "card_uuid", card.uuid());
    append_label(labels, kind, entity.name());
    append_label(labels, fmt::format("{}_uuid", kind), entity.uuid());
    return labels;
}

void append_kind(std::string &out, const std::vector<std::shared_ptr<const talonmon_card_metrics>> &cards,
                 std::string_view kind, const std::vector<std::string> &counters, const std::vector<size_t> &positions,
                 bool is_lif) {
    if (positions.empty()) {
        return;
    }
    const std::string family = fmt::format("talon_{}_counter_rate_per_second", kind);
    talonmon_rate_histogram_append_family(
        out, family,
        fmt::format("Rates (per second) of {} counters over each sampling pass; passes after a reset or a gap "
                    "are left out.",
                    is_lif ? "LIF" : "port"));
    for (const auto &card : cards) {
        for (const auto &entity : is_lif ? card->lifs() : card->ports()) {
            const std::string labels = entity_labels(*card, kind, *entity);
            const auto &held = entity->histogram_positions();
            for (size_t h = 0; h < held.size(); ++h) {
                std::string series = labels;
                append_label(series, "counter", counters.at(held[h]));
                talonmon_rate_histogram_append(out, family, series, entity->histogram(h).snapshot());
            }
        }
    }
}

}  // namespace

static_assert(k_rate_histogram_ladder.front() == 1.0 && k_rate_histogram_ladder.back() == 1e11);

talonmon_rate_histogram_snapshot_s talonmon_rate_histogram::snapshot() const {
    talonmon_rate_histogram_snapshot_s snapshot;
    for (size_t i = 0; i < k_rate_histogram_buckets; ++i) {
        snapshot.counts[i] = counts_[i].load(std::memory_order_relaxed);
    }
    snapshot.sum = sum_.load(std::memory_order_relaxed);
    return snapshot;
}

void talonmon_rate_histogram::restore(const talonmon_rate_histogram_snapshot_s &from) {
    for (size_t i = 0; i < k_rate_histogram_buckets; ++i) {
        counts_[i].store(from.counts[i], std::memory_order_relaxed);
    }
    sum_.store(from.sum, std::memory_order_relaxed);
}

void talonmon_rate_histogram_append_family(std::string &out, std::string_view family, std::string_view help) {
    fmt::format_to(std::back_inserter(out), "# HELP {} {}\n# TYPE {} histogram\n", family, help, family);
}

void talonmon_rate_histogram_append(std::string &out, std::string_view family, std::string_view labels,
                                    const talonmon_rate_histogram_snapshot_s &snapshot) {
    const std::string_view separator = labels.empty() ? "" : ",";
    auto inserter = std::back_inserter(out);
    uint64_t cumulative = 0;
    for (size_t i = 0; i < k_rate_histogram_bounds; ++i) {
        cumulative += snapshot.counts[i];
        fmt::format_to(inserter, "{}_bucket{{{}{}le=\"{}\"}} {}\n", family, labels, separator,
                       k_rate_histogram_ladder[i], cumulative);
    }
    cumulative += snapshot.counts[k_rate_histogram_bounds];
    fmt::format_to(inserter, "{}_bucket{{{}{}le=\"+Inf\"}} {}\n", family, labels, separator, cumulative);
    fmt::format_to(inserter, "{}_sum{{{}}} {}\n", family, labels, snapshot.sum);
    fmt::format_to(inserter, "{}_count{{{}}} {}\n", family, labels, cumulative);
}

void talonmon_rate_histograms_append(std::string &out, const talonmon_metrics_registry &registry,
                                     const std::vector<std::shared_ptr<const talonmon_card_metrics>> &cards) {
    append_kind(out, cards, "lif", registry.lif_counters(), registry.lif_histograms(), true);
    append_kind(out, cards, "port", registry.port_counters(), registry.port_histograms(), false);
}
