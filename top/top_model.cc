#include "top/top_model.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_map>

namespace {

constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();
constexpr const char *k_tx_bytes = "tx_rdma_unicast_bytes";
constexpr const char *k_rx_bytes = "rx_rdma_unicast_bytes";
constexpr const char *k_tx_packets = "tx_rdma_unicast_packets";
constexpr const char *k_rx_packets = "rx_rdma_unicast_packets";
constexpr const char *k_retransmit_bytes = "tx_rdma_retransmit_bytes";
constexpr const char *k_frames_tx = "frames_tx_ok";
constexpr const char *k_frames_rx = "frames_rx_ok";

// A value older than this many of its periods (and the slack) behind its
// card's newest sample is no longer current. The slack covers a reading
// that catches the lines of one pass half written, and a late pass.
constexpr double k_old_periods = 2;
constexpr double k_old_slack_seconds = 0.05;

enum : size_t { k_column_name, k_column_throughput, k_column_share, k_first_counter_column };

// Counter names are mostly views of the same static storage: equal views
// are found without comparing their bytes.
bool same_name(std::string_view a, std::string_view b) {
    return (a.data() == b.data() && a.size() == b.size()) || a == b;
}

top_card_view_state_e view_state(top_card_state_e s) {
    switch (s) {
    case top_card_state_e::up:
        return top_card_view_state_e::up;
    case top_card_state_e::down:
        return top_card_view_state_e::down;
    case top_card_state_e::unknown:
        break;
    }
    return top_card_view_state_e::unknown;
}

// The change of a running count, unless it went back.
std::optional<uint64_t> forward_delta(std::optional<uint64_t> before, std::optional<uint64_t> now) {
    if (!before || !now || *now < *before) {
        return std::nullopt;
    }
    return *now - *before;
}

// The sum of the rates of the two counters that exist, NaN where one has no
// rate; nullopt when neither is configured.
std::optional<double> sum_of(const top_entity_view_s &e, const char *a, const char *b) {
    const top_counter_view_s *ca = e.counter(a);
    const top_counter_view_s *cb = e.counter(b);
    if (!ca && !cb) {
        return std::nullopt;
    }
    double sum = 0;
    for (const top_counter_view_s *c : {ca, cb}) {
        if (c) {
            if (!c->rate) {
                return k_nan;
            }
            sum += *c->rate;
        }
    }
    return sum;
}

// The card line of the compact view: byte rates of its LIFs, worst share.
void summarise(top_card_view_s &card) {
    card.tx_bytes.reset();
    card.rx_bytes.reset();
    card.worst_share.reset();
    card.worst_share_lower_bound = false;
    for (const top_entity_view_s &e : card.entities) {
        if (e.kind != top_entity_kind_e::lif) {
            continue;
        }
        for (auto [name, total] : {std::pair{k_tx_bytes, &card.tx_bytes}, std::pair{k_rx_bytes, &card.rx_bytes}}) {
            const top_counter_view_s *c = e.counter(name);
            if (c && c->rate) {
                *total = total->value_or(0) + *c->rate;
            }
        }
        if (e.retransmit_share && (!card.worst_share || *e.retransmit_share > *card.worst_share)) {
            card.worst_share = e.retransmit_share;
            card.worst_share_lower_bound = e.share_lower_bound;
        }
    }
}

std::string lower(std::string s) {
    for (char &c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

std::optional<double> column_value(const top_entity_view_s &e, size_t column, const std::vector<std::string> &names) {
    if (column == k_column_throughput) {
        return e.throughput && !std::isnan(*e.throughput) ? e.throughput : std::nullopt;
    }
    if (column == k_column_share) {
        return e.retransmit_share;
    }
    const size_t index = column - k_first_counter_column;
    if (index >= names.size()) {
        return std::nullopt;
    }
    const top_counter_view_s *c = e.counter(names[index]);
    if (!c) {
        return std::nullopt;
    }
    return c->rate;
}

}  // namespace

const top_counter_view_s *top_entity_view_s::counter(std::string_view counter_name) const {
    for (const top_counter_view_s &c : counters) {
        if (same_name(c.name, counter_name)) {
            return &c;
        }
    }
    return nullptr;
}

void top_model::set_periods(double lif_seconds, double port_seconds) {
    lif_period_ = lif_seconds;
    port_period_ = port_seconds;
}

size_t top_model::remembered_entities() const {
    size_t n = 0;
    for (const auto &[bdf, memory] : memory_) {
        n += memory.entities.size();
    }
    return n;
}

void top_model::align(const top_card_s &card, card_memory_s &memory) {
    std::vector<top_entity_view_s> &views = memory.views;
    std::vector<entity_memory_s> &entities = memory.entities;
    if (views.size() != entities.size()) {
        views.clear();
        entities.clear();
    }
    const auto same = [](const top_entity_s &e, const top_entity_view_s &v) {
        return e.kind == v.kind && e.name == v.name && e.uuid == v.uuid;
    };
    // Most readings report the entities of the last one, in its order.
    if (std::equal(card.entities.begin(), card.entities.end(), views.begin(), views.end(), same)) {
        return;
    }
    std::unordered_map<top_entity_ref_s, size_t, top_entity_ref_hash> index;
    index.reserve(views.size());
    for (size_t i = 0; i < views.size(); ++i) {
        index.emplace(top_entity_ref_s{views[i].kind, views[i].name, views[i].uuid}, i);
    }
    // Where each entity of the reading was, looked up before anything moves.
    constexpr size_t k_new = SIZE_MAX;
    std::vector<size_t> from(card.entities.size(), k_new);
    for (size_t i = 0; i < card.entities.size(); ++i) {
        const top_entity_s &e = card.entities[i];
        if (const auto it = index.find(top_entity_ref_s{e.kind, e.name, e.uuid}); it != index.end()) {
            from[i] = it->second;
            index.erase(it);
        }
    }
    std::vector<top_entity_view_s> next_views(card.entities.size());
    std::vector<entity_memory_s> next_entities(card.entities.size());
    for (size_t i = 0; i < card.entities.size(); ++i) {
        if (from[i] != k_new) {
            next_views[i] = std::move(views[from[i]]);
            next_entities[i] = std::move(entities[from[i]]);
        } else {
            next_views[i].kind = card.entities[i].kind;
            next_views[i].name = card.entities[i].name;
            next_views[i].uuid = card.entities[i].uuid;
        }
    }
    views = std::move(next_views);
    entities = std::move(next_entities);
}

void top_model::entity_view(const top_card_s &card, const top_entity_s &entity, top_entity_view_s &view,
                            entity_memory_s &memory, bool measured, bool resumed, double card_newest,
                            double taken_at) {
    const bool lif = entity.kind == top_entity_kind_e::lif;
    const double period = lif ? lif_period_ : port_period_;
    // The time of the card's last pass that sampled this kind, else of its
    // last pass of any kind.
    const std::optional<double> &own_kind_sample = lif ? card.last_lif_sample : card.last_port_sample;
    const std::optional<double> kind_sample = own_kind_sample ? own_kind_sample : card.last_sample;
    view.counters.resize(entity.counters.size());
    for (size_t i = 0; i < entity.counters.size(); ++i) {
        const top_counter_s &c = entity.counters[i];
        top_counter_view_s &cv = view.counters[i];
        cv = {c.name, c.value, c.cumulative, std::nullopt, false, false};
        // Counters keep their order from one reading to the next: look where
        // this one was first.
        auto slot = i < memory.readings.size() && same_name(memory.readings[i].first, c.name)
                        ? memory.readings.begin() + static_cast<std::ptrdiff_t>(i)
                        : std::find_if(memory.readings.begin(), memory.readings.end(),
                                       [&](const auto &r) { return same_name(r.first, c.name); });
        // The sample's own time where the source says, else the reading's.
        const std::optional<double> sampled = c.sampled_at ? c.sampled_at : kind_sample;
        const double at = sampled.value_or(taken_at);
        // Sample times and reading times are on different clocks: a series
        // moving from one to the other starts again.
        const uint64_t epoch = c.epoch * 2 + (sampled ? 1 : 0);
        if (slot == memory.readings.end()) {
            memory.readings.emplace_back(c.name, reading_s{c.value, at, epoch, c.missed, std::nullopt, false});
        } else {
            reading_s &before = slot->second;
            if (resumed || before.epoch != epoch || c.value < before.value) {
                before = {c.value, at, epoch, c.missed, std::nullopt, false};
            } else if (at > before.at) {
                const bool lower = c.missed != before.missed;
                const double rate = static_cast<double>(c.value - before.value) / (at - before.at);
                before = {c.value, at, epoch, c.missed, rate, lower};
                cv.rate = rate;
                cv.lower_bound = lower;
            } else {
                // No new sample: the last rate, marked.
                cv.rate = before.rate;
                cv.held = before.rate.has_value();
                cv.lower_bound = before.lower_bound;
            }
        }
        // A value left behind by its card's newer samples is no rate of now.
        if (!measured || (c.sampled_at && card_newest - *c.sampled_at > k_old_periods * period + k_old_slack_seconds)) {
            cv.rate.reset();
        }
    }
    view.retransmit_share.reset();
    view.share_lower_bound = false;
    const top_counter_view_s *retransmitted = view.counter(k_retransmit_bytes);
    const top_counter_view_s *transmitted = view.counter(k_tx_bytes);
    if (retransmitted && transmitted && retransmitted->rate && transmitted->rate && *transmitted->rate > 0) {
        view.retransmit_share = *retransmitted->rate / *transmitted->rate;
        view.share_lower_bound = retransmitted->lower_bound;
        if (view.share_lower_bound && *view.retransmit_share == 0) {
            view.retransmit_share.reset();  // proves nothing
        }
    }
    if (entity.kind == top_entity_kind_e::lif) {
        view.throughput = sum_of(view, k_tx_bytes, k_rx_bytes);
        view.throughput_in_bytes = view.throughput.has_value();
        if (!view.throughput) {
            view.throughput = sum_of(view, k_tx_packets, k_rx_packets);
        }
    } else {
        view.throughput = sum_of(view, k_frames_tx, k_frames_rx);
        view.throughput_in_bytes = false;
    }
    if (view.throughput) {
        if (view.history.size() == k_top_history) {
            view.history.erase(view.history.begin());
        }
        view.history.push_back(*view.throughput);
    }
}

void top_model::update(const top_snapshot_s &snapshot) {
    updated_at_ = snapshot.wall;
    last_monotonic_ = snapshot.monotonic;
    ++generation_;
    error_.clear();
    error_since_.reset();
    if (snapshot.daemon_start) {
        if (daemon_start_ && *daemon_start_ != *snapshot.daemon_start) {
            // A new daemon: its readings start a new series.
            restarted_at_ = snapshot.wall;
            for (auto &[bdf, memory] : memory_) {
                memory.passes.reset();
                memory.overruns.reset();
                memory.failed_reads.reset();
                memory.entities.clear();
            }
            cards_.clear();
        }
        daemon_start_ = snapshot.daemon_start;
    }
    // The entity views of the last update are brought up to date in place.
    for (top_card_view_s &view : cards_) {
        if (const auto it = memory_.find(view.bdf); it != memory_.end()) {
            it->second.views = std::move(view.entities);
        }
    }
    std::vector<top_card_view_s> next;
    next.reserve(cards_.size());
    for (const top_card_s &card : snapshot.cards) {
        top_card_view_s view;
        view.bdf = card.bdf;
        view.uuid = card.uuid;
        view.state = view_state(card.state);
        card_memory_s &memory = memory_[card.bdf];
        memory.seen = generation_;
        if (card.state_since) {
            view.since = card.state_since;
            view.since_exact = true;
        } else if (memory.state == view.state && memory.since) {
            view.since = memory.since;
            view.since_exact = memory.since_exact;
        } else {
            // A change seen now is exact to one interval; a state first seen
            // has lasted at least since now.
            view.since = snapshot.wall;
            view.since_exact = memory.state != top_card_view_state_e::unknown;
        }
        // A card back from down (or from gone) resumes with readings that
        // grew while it was not read: that growth is no rate of one interval.
        const bool resumed = view.state == top_card_view_state_e::up &&
                             (memory.state == top_card_view_state_e::down ||
                              memory.state == top_card_view_state_e::absent);
        view.passes = forward_delta(memory.passes, card.passes);
        view.overruns = forward_delta(memory.overruns, card.overruns);
        view.failed_reads = forward_delta(memory.failed_reads, card.failed_reads);
        // The card's newest sample: its own time stamp, else its newest line.
        double newest = card.last_sample.value_or(0);
        for (const top_entity_s &entity : card.entities) {
            for (const top_counter_s &c : entity.counters) {
                newest = std::max(newest, c.sampled_at.value_or(0));
            }
        }
        if (memory.state == top_card_view_state_e::unknown || newest > memory.newest_sample || newest == 0 ||
            view.state != memory.state) {
            memory.advanced_at = snapshot.monotonic;
        }
        memory.newest_sample = std::max(memory.newest_sample, newest);
        view.stale = view.state == top_card_view_state_e::up && snapshot.monotonic - memory.advanced_at > stale_after_;
        memory.state = view.state;
        memory.since = view.since;
        memory.since_exact = view.since_exact;
        memory.passes = card.passes;
        memory.overruns = card.overruns;
        memory.failed_reads = card.failed_reads;
        align(card, memory);
        view.entities = std::move(memory.views);
        for (size_t i = 0; i < card.entities.size(); ++i) {
            const top_entity_s &entity = card.entities[i];
            (entity.kind == top_entity_kind_e::lif ? view.lifs : view.ports) += 1;
            entity_view(card, entity, view.entities[i], memory.entities[i], view.measured(), resumed, newest,
                        snapshot.monotonic);
        }
        if (!view.measured()) {
            drop_rates(view);
        }
        next.push_back(std::move(view));
    }
    // Cards the daemon no longer reports (a restarted daemon that has not
    // found them yet) stay listed as absent.
    for (auto &[bdf, memory] : memory_) {
        if (memory.seen == generation_) {
            continue;
        }
        // The readings and histories of a card no longer reported are
        // forgotten.
        memory.views.clear();
        memory.entities.clear();
        if (memory.state != top_card_view_state_e::absent) {
            memory.state = top_card_view_state_e::absent;
            memory.since = snapshot.wall;
            memory.since_exact = true;
            memory.passes.reset();
            memory.overruns.reset();
            memory.failed_reads.reset();
        }
        top_card_view_s view;
        view.bdf = bdf;
        view.state = memory.state;
        view.since = memory.since;
        view.since_exact = memory.since_exact;
        next.push_back(std::move(view));
    }
    std::sort(next.begin(), next.end(), [](const auto &a, const auto &b) { return a.bdf < b.bdf; });
    for (top_card_view_s &card : next) {
        summarise(card);
    }
    cards_ = std::move(next);
}

void top_model::drop_rates(top_card_view_s &card) const {
    card.passes.reset();
    card.overruns.reset();
    card.failed_reads.reset();
    for (top_entity_view_s &e : card.entities) {
        for (top_counter_view_s &c : e.counters) {
            c.rate.reset();
            c.held = false;
        }
        e.retransmit_share.reset();
        e.throughput.reset();
    }
    summarise(card);
}

void top_model::update_failed(double wall, const std::string &error) {
    updated_at_ = wall;
    if (error_.empty()) {
        error_since_ = wall;
    }
    error_ = error;
    for (top_card_view_s &card : cards_) {
        drop_rates(card);
    }
}

void top_model::age(double monotonic) {
    for (top_card_view_s &card : cards_) {
        const auto it = memory_.find(card.bdf);
        if (card.state == top_card_view_state_e::up && !card.stale && it != memory_.end() &&
            monotonic - it->second.advanced_at > stale_after_) {
            card.stale = true;
            drop_rates(card);
        }
    }
}

top_summary_s top_model::summary() const {
    top_summary_s s;
    for (const top_card_view_s &card : cards_) {
        ++s.cards;
        s.down += card.state == top_card_view_state_e::down || card.state == top_card_view_state_e::absent;
        s.stale += card.stale;
        s.overruns += card.overruns.value_or(0);
        s.failed_reads += card.failed_reads.value_or(0);
    }
    return s;
}

std::vector<std::string> top_counter_columns(const std::vector<top_card_view_s> &cards) {
    std::vector<std::string> names;
    for (const top_card_view_s &card : cards) {
        for (const top_entity_view_s &e : card.entities) {
            for (const top_counter_view_s &c : e.counters) {
                if (std::find(names.begin(), names.end(), c.name) == names.end()) {
                    names.emplace_back(c.name);
                }
            }
        }
    }
    return names;
}

size_t top_sort_column_count(const std::vector<top_card_view_s> &cards) {
    return k_first_counter_column + top_counter_columns(cards).size();
}

std::string top_sort_column_name(const std::vector<top_card_view_s> &cards, size_t column) {
    switch (column) {
    case k_column_name:
        return "name";
    case k_column_throughput:
        return "throughput";
    case k_column_share:
        return "retransmitted share";
    default:
        break;
    }
    const auto names = top_counter_columns(cards);
    const size_t index = column - k_first_counter_column;
    return index < names.size() ? names[index] : "name";
}

std::vector<top_card_view_s> top_arrange(const std::vector<top_card_view_s> &cards, size_t column,
                                         const std::string &filter, bool reverse) {
    const std::string needle = lower(filter);
    const auto names = top_counter_columns(cards);
    std::vector<top_card_view_s> out;
    for (const top_card_view_s &card : cards) {
        top_card_view_s view = card;
        if (!needle.empty() && lower(card.bdf).find(needle) == std::string::npos) {
            std::erase_if(view.entities, [&](const top_entity_view_s &e) {
                return lower(e.name).find(needle) == std::string::npos &&
                       lower(e.uuid).find(needle) == std::string::npos;
            });
            if (view.entities.empty()) {
                continue;
            }
        }
        std::stable_sort(view.entities.begin(), view.entities.end(),
                         [&](const top_entity_view_s &a, const top_entity_view_s &b) {
                             if (a.kind != b.kind) {
                                 return a.kind == top_entity_kind_e::lif;
                             }
                             if (column == k_column_name || column >= k_first_counter_column + names.size()) {
                                 return reverse ? b.name < a.name : a.name < b.name;
                             }
                             const auto va = column_value(a, column, names);
                             const auto vb = column_value(b, column, names);
                             if (va.has_value() != vb.has_value()) {
                                 return va.has_value();
                             }
                             if (va && *va != *vb) {
                                 return reverse ? *va < *vb : *va > *vb;
                             }
                             return a.name < b.name;
                         });
        out.push_back(std::move(view));
    }
    return out;
}

const char *top_card_sort_name(top_card_sort_e sort) {
    switch (sort) {
    case top_card_sort_e::tx:
        return "TX";
    case top_card_sort_e::rx:
        return "RX";
    case top_card_sort_e::share:
        return "RETX%";
    case top_card_sort_e::overruns:
        return "overruns";
    case top_card_sort_e::failed_reads:
        return "failed reads";
    case top_card_sort_e::name:
    case top_card_sort_e::count:
        break;
    }
    return "card";
}

std::vector<const top_card_view_s *> top_arrange_cards(const std::vector<top_card_view_s> &cards,
                                                       top_card_sort_e sort, bool reverse,
                                                       const std::string &filter) {
    const std::string needle = lower(filter);
    std::vector<const top_card_view_s *> out;
    for (const top_card_view_s &card : cards) {
        if (needle.empty() || lower(card.bdf).find(needle) != std::string::npos) {
            out.push_back(&card);
        }
    }
    auto value = [sort](const top_card_view_s &c) -> std::optional<double> {
        switch (sort) {
        case top_card_sort_e::tx:
            return c.tx_bytes;
        case top_card_sort_e::rx:
            return c.rx_bytes;
        case top_card_sort_e::share:
            return c.worst_share;
        case top_card_sort_e::overruns:
            return c.overruns ? std::optional<double>(static_cast<double>(*c.overruns)) : std::nullopt;
        case top_card_sort_e::failed_reads:
            return c.failed_reads ? std::optional<double>(static_cast<double>(*c.failed_reads)) : std::nullopt;
        case top_card_sort_e::name:
        case top_card_sort_e::count:
            break;
        }
        return std::nullopt;
    };
    // Cards that need a look come first whatever the sort.
    auto trouble = [](const top_card_view_s &c) { return !c.measured(); };
    std::stable_sort(out.begin(), out.end(), [&](const top_card_view_s *a, const top_card_view_s *b) {
        if (trouble(*a) != trouble(*b)) {
            return trouble(*a);
        }
        const auto va = value(*a);
        const auto vb = value(*b);
        if (va.has_value() != vb.has_value()) {
            return va.has_value();
        }
        if (va && *va != *vb) {
            return reverse ? *va < *vb : *va > *vb;
        }
        return reverse && sort == top_card_sort_e::name ? b->bdf < a->bdf : a->bdf < b->bdf;
    });
    return out;
}
