#include "top/top_model.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

namespace {

constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();
constexpr const char *k_tx_bytes = "tx_rdma_unicast_bytes";
constexpr const char *k_rx_bytes = "rx_rdma_unicast_bytes";
constexpr const char *k_tx_packets = "tx_rdma_unicast_packets";
constexpr const char *k_rx_packets = "rx_rdma_unicast_packets";
constexpr const char *k_retransmit_bytes = "tx_rdma_retransmit_bytes";
constexpr const char *k_frames_tx = "frames_tx_ok";
constexpr const char *k_frames_rx = "frames_rx_ok";

enum : size_t { k_column_name, k_column_throughput, k_column_share, k_first_counter_column };

std::string entity_key(const std::string &bdf, const top_entity_s &e) {
    return bdf + '\x1f' + (e.kind == top_entity_kind_e::lif ? "lif" : "port") + '\x1f' + e.uuid + '\x1f' + e.name;
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

// Per-interval amount of a counter: its rate, or a delta counter's value.
std::optional<double> amount(const top_entity_view_s &e, const char *name) {
    const top_counter_view_s *c = e.counter(name);
    if (!c) {
        return std::nullopt;
    }
    if (!c->cumulative) {
        return static_cast<double>(c->value);
    }
    return c->rate;
}

// The sum of the two counters that exist, NaN where one has no rate; nullopt
// when neither is configured.
std::optional<double> sum_of(const top_entity_view_s &e, const char *a, const char *b) {
    const top_counter_view_s *ca = e.counter(a);
    const top_counter_view_s *cb = e.counter(b);
    if ((!ca || !ca->cumulative) && (!cb || !cb->cumulative)) {
        return std::nullopt;
    }
    double sum = 0;
    for (const top_counter_view_s *c : {ca, cb}) {
        if (c && c->cumulative) {
            if (!c->rate) {
                return k_nan;
            }
            sum += *c->rate;
        }
    }
    return sum;
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
    return c->cumulative ? c->rate : std::optional<double>(static_cast<double>(c->value));
}

}  // namespace

const top_counter_view_s *top_entity_view_s::counter(const std::string &counter_name) const {
    for (const top_counter_view_s &c : counters) {
        if (c.name == counter_name) {
            return &c;
        }
    }
    return nullptr;
}

top_entity_view_s top_model::entity_view(const top_card_s &card, const top_entity_s &entity, double now,
                                         bool resumed) {
    top_entity_view_s view;
    view.kind = entity.kind;
    view.name = entity.name;
    view.uuid = entity.uuid;
    const std::string key = entity_key(card.bdf, entity);
    for (const top_counter_s &c : entity.counters) {
        top_counter_view_s cv{c.name, c.value, c.cumulative, std::nullopt};
        if (c.cumulative) {
            const double at = c.sampled_at.value_or(now);
            const std::string counter_key = key + '\x1f' + c.name;
            const auto it = readings_.find(counter_key);
            if (!resumed && it != readings_.end() && at > it->second.at && c.value >= it->second.value) {
                cv.rate = static_cast<double>(c.value - it->second.value) / (at - it->second.at);
            }
            if (it == readings_.end() || at != it->second.at || c.value != it->second.value) {
                readings_[counter_key] = {c.value, at};
            }
        }
        view.counters.push_back(std::move(cv));
    }
    const auto retransmitted = amount(view, k_retransmit_bytes);
    const auto transmitted = amount(view, k_tx_bytes);
    if (retransmitted && transmitted && *transmitted > 0) {
        view.retransmit_share = *retransmitted / *transmitted;
    }
    if (entity.kind == top_entity_kind_e::lif) {
        view.throughput = sum_of(view, k_tx_bytes, k_rx_bytes);
        view.throughput_in_bytes = view.throughput.has_value();
        if (!view.throughput) {
            view.throughput = sum_of(view, k_tx_packets, k_rx_packets);
        }
    } else {
        view.throughput = sum_of(view, k_frames_tx, k_frames_rx);
    }
    std::deque<double> &history = histories_[key];
    if (view.throughput) {
        history.push_back(*view.throughput);
        while (history.size() > k_top_history) {
            history.pop_front();
        }
    }
    view.history = history;
    return view;
}

void top_model::update(const top_snapshot_s &snapshot) {
    updated_at_ = snapshot.wall;
    error_.clear();
    error_since_.reset();
    if (snapshot.daemon_start) {
        if (daemon_start_ && *daemon_start_ != *snapshot.daemon_start) {
            // A new daemon: its readings start a new series.
            restarted_at_ = snapshot.wall;
            readings_.clear();
            for (auto &[bdf, memory] : memory_) {
                memory.passes.reset();
                memory.overruns.reset();
            }
        }
        daemon_start_ = snapshot.daemon_start;
    }
    std::vector<top_card_view_s> next;
    std::map<std::string, bool> present;
    for (const top_card_s &card : snapshot.cards) {
        present[card.bdf] = true;
        top_card_view_s view;
        view.bdf = card.bdf;
        view.uuid = card.uuid;
        view.state = view_state(card.state);
        card_memory_s &memory = memory_[card.bdf];
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
        memory.state = view.state;
        memory.since = view.since;
        memory.since_exact = view.since_exact;
        memory.passes = card.passes;
        memory.overruns = card.overruns;
        for (const top_entity_s &entity : card.entities) {
            (entity.kind == top_entity_kind_e::lif ? view.lifs : view.ports) += 1;
            view.entities.push_back(entity_view(card, entity, snapshot.monotonic, resumed));
        }
        next.push_back(std::move(view));
    }
    // Cards the daemon no longer reports (a restarted daemon that has not
    // found them yet) stay listed as absent.
    for (auto &[bdf, memory] : memory_) {
        if (present.contains(bdf)) {
            continue;
        }
        if (memory.state != top_card_view_state_e::absent) {
            memory.state = top_card_view_state_e::absent;
            memory.since = snapshot.wall;
            memory.since_exact = true;
            memory.passes.reset();
            memory.overruns.reset();
        }
        top_card_view_s view;
        view.bdf = bdf;
        view.state = memory.state;
        view.since = memory.since;
        view.since_exact = memory.since_exact;
        next.push_back(std::move(view));
    }
    std::sort(next.begin(), next.end(), [](const auto &a, const auto &b) { return a.bdf < b.bdf; });
    cards_ = std::move(next);
}

void top_model::update_failed(double wall, const std::string &error) {
    updated_at_ = wall;
    if (error_.empty()) {
        error_since_ = wall;
    }
    error_ = error;
    for (top_card_view_s &card : cards_) {
        card.passes.reset();
        card.overruns.reset();
        for (top_entity_view_s &e : card.entities) {
            for (top_counter_view_s &c : e.counters) {
                c.rate.reset();
            }
            e.retransmit_share.reset();
            e.throughput.reset();
        }
    }
}

std::vector<std::string> top_counter_columns(const std::vector<top_card_view_s> &cards) {
    std::vector<std::string> names;
    for (const top_card_view_s &card : cards) {
        for (const top_entity_view_s &e : card.entities) {
            for (const top_counter_view_s &c : e.counters) {
                if (std::find(names.begin(), names.end(), c.name) == names.end()) {
                    names.push_back(c.name);
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
                                         const std::string &filter) {
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
                                 return a.name < b.name;
                             }
                             const auto va = column_value(a, column, names);
                             const auto vb = column_value(b, column, names);
                             if (va.has_value() != vb.has_value()) {
                                 return va.has_value();
                             }
                             if (va && *va != *vb) {
                                 return *va > *vb;
                             }
                             return a.name < b.name;
                         });
        out.push_back(std::move(view));
    }
    return out;
}
