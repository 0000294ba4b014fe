#include "top/top_format.hpp"

#include "utils/log/utf8.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <ctime>

namespace {

constexpr double k_kibi = 1024.0;
constexpr double k_kilo = 1000.0;
constexpr const char *k_byte_units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
constexpr const char *k_si_prefixes[] = {"", "k", "M", "G", "T", "P", "E"};
constexpr const char *k_no_value = "-";
// The eight heights of a sparkline, in UTF-8 and in ASCII.
constexpr const char *k_spark_utf8[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                        "\u2585", "\u2586", "\u2587", "\u2588"};
constexpr const char k_spark_ascii[] = "_.-:=+*#";
constexpr size_t k_spark_levels = 8;

enum : size_t { k_column_name, k_column_throughput, k_column_share, k_first_counter_column };

bool is_bytes(std::string_view counter) {
    return counter.find("bytes") != std::string::npos;
}

std::string count_unit(std::string_view counter) {
    if (counter.find("dup_requests") != std::string::npos) {
        return "req";
    }
    return "pkt";
}

// Three significant digits at most: 1.23, 12.3, 123, 1023.
std::string scaled(double value, double base, const char *const *units, size_t unit_count, const std::string &suffix) {
    size_t unit = 0;
    while (value >= base && unit + 1 < unit_count) {
        value /= base;
        ++unit;
    }
    const char *format = value < 10 && unit > 0 ? "{:.2f}{}{}" : value < 100 && unit > 0 ? "{:.1f}{}{}" : "{:.0f}{}{}";
    return fmt::format(fmt::runtime(format), value, units[unit], suffix);
}

constexpr double k_bits_per_byte = 8;
// Marks of a rate held from the last sample, and of a lower bound.
constexpr const char *k_held_mark = "*";
constexpr const char *k_lower_utf8 = "\u2265";
constexpr const char *k_lower_ascii = ">=";

std::string scale(double value, std::string_view counter, const std::string &per, bool bits = false) {
    if (is_bytes(counter) && bits) {
        return scaled(value * k_bits_per_byte, k_kilo, k_si_prefixes, std::size(k_si_prefixes), "bit" + per);
    }
    if (is_bytes(counter)) {
        return scaled(value, k_kibi, k_byte_units, std::size(k_byte_units), per);
    }
    return scaled(value, k_kilo, k_si_prefixes, std::size(k_si_prefixes), count_unit(counter) + per);
}

std::string state_text(top_card_view_state_e s, bool stale = false) {
    if (stale && s == top_card_view_state_e::up) {
        return "STALE";
    }
    switch (s) {
    case top_card_view_state_e::up:
        return "up";
    case top_card_view_state_e::down:
        return "DOWN";
    case top_card_view_state_e::absent:
        return "GONE";
    case top_card_view_state_e::unknown:
        break;
    }
    return "?";
}

// A JSON string of text that came from a card or the network: escaped, and
// bytes that are not well-formed UTF-8 replaced by U+FFFD.
std::string json_string(std::string_view s) {
    std::string out = "\"";
    utils::append_json_escaped(out, s);
    return out + "\"";
}

// Names as a terminal may show them: control characters and bytes that are
// not UTF-8 as \xHH, so that a name cannot move the cursor or recolour.
std::string shown(std::string_view text) {
    std::string out;
    utils::append_printable(out, text);
    return out;
}

std::string json_number(std::optional<double> v) {
    if (!v || !std::isfinite(*v)) {
        return "null";
    }
    return fmt::format("{}", *v);
}

// A rate as proven: "-" where there is none (or only a lower bound of 0),
// a lower bound marked, a rate held from the last sample marked.
std::string rate_text(std::optional<double> rate, bool lower_bound, bool held, const std::string &counter,
                      const top_style_s &style) {
    if (!rate || (lower_bound && *rate == 0)) {
        return k_no_value;
    }
    std::string text = lower_bound ? (style.unicode ? k_lower_utf8 : k_lower_ascii) : "";
    text += top_format_rate(*rate, counter, style.bits);
    return held ? text + k_held_mark : text;
}

std::string share_text(std::optional<double> share, bool lower_bound, const top_style_s &style) {
    if (!share) {
        return k_no_value;
    }
    return (lower_bound ? (style.unicode ? k_lower_utf8 : k_lower_ascii) : "") + top_format_share(*share);
}

std::string cell_of(const top_entity_view_s &e, const std::string &counter, const top_style_s &style) {
    const top_counter_view_s *c = e.counter(counter);
    if (!c) {
        return "";
    }
    return rate_text(c->rate, c->lower_bound, c->held, counter, style);
}

std::string count_text(std::optional<uint64_t> n) {
    return n ? std::to_string(*n) : k_no_value;
}

std::string pad(const std::string &s, size_t width) {
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

}  // namespace

std::string top_format_rate(double per_second, std::string_view counter, bool bits) {
    return scale(per_second, counter, "/s", bits);
}

std::string top_rate_unit(std::string_view counter, bool bits) {
    if (is_bytes(counter)) {
        return bits ? "bit/s" : "B/s";
    }
    return count_unit(counter) + "/s";
}

std::string top_format_share(double share) {
    return fmt::format("{:.2f}%", share * 100);
}

std::string top_column_title(const std::string &counter) {
    struct title_s {
        const char *counter;
        const char *title;
    };
    static constexpr title_s k_titles[] = {
        {"tx_rdma_unicast_bytes", "TX bytes"},   {"rx_rdma_unicast_bytes", "RX bytes"},
        {"tx_rdma_unicast_packets", "TX pkts"},  {"rx_rdma_unicast_packets", "RX pkts"},
        {"tx_rdma_retransmit_bytes", "RETX bytes"}, {"tx_rdma_retransmit_packets", "RETX pkts"},
        {"rx_rdma_responder_dup_requests", "DUP reqs"}, {"frames_tx_ok", "TX frames"},
        {"frames_rx_ok", "RX frames"},
    };
    for (const title_s &t : k_titles) {
        if (counter == t.counter) {
            return t.title;
        }
    }
    return counter.substr(0, k_top_cell_width - 1);
}

std::string top_format_clock(double wall) {
    const time_t t = static_cast<time_t>(wall);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof(buf), "%H:%M:%S", &tm);
    return buf;
}

std::vector<top_row_s> top_rows(const std::vector<top_card_view_s> &cards, size_t sort_column,
                                const top_style_s &style) {
    const auto names = top_counter_columns(cards);
    std::vector<top_row_s> rows;
    for (const top_card_view_s &card : cards) {
        top_row_s head;
        head.kind = top_row_kind_e::card;
        head.state = card.state;
        std::string since;
        if (card.since) {
            since = fmt::format(" since {}{}", card.since_exact ? "" : "<=", top_format_clock(*card.since));
        }
        head.name = fmt::format("{} {}{}  LIFs {}  ports {}  passes {}  overruns {}  failed reads {}", shown(card.bdf),
                                state_text(card.state, card.stale), since, card.lifs, card.ports,
                                count_text(card.passes), count_text(card.overruns), count_text(card.failed_reads));
        rows.push_back(std::move(head));
        for (const top_entity_kind_e kind : {top_entity_kind_e::lif, top_entity_kind_e::port}) {
            const bool lif = kind == top_entity_kind_e::lif;
            std::vector<std::string> used;  // the configured counters of this kind, in column order
            for (const std::string &n : names) {
                for (const top_entity_view_s &e : card.entities) {
                    if (e.kind == kind && e.counter(n)) {
                        used.push_back(n);
                        break;
                    }
                }
            }
            bool any = false;
            for (const top_entity_view_s &e : card.entities) {
                any = any || e.kind == kind;
            }
            if (!any) {
                continue;
            }
            top_row_s header;
            header.kind = top_row_kind_e::header;
            header.name = lif ? "  LIF" : "  PORT";
            header.cells.push_back(lif ? "RETX%" : "");
            if (lif && sort_column == k_column_share) {
                header.sorted_cell = 0;
            }
            for (const std::string &n : used) {
                if (sort_column >= k_first_counter_column && sort_column - k_first_counter_column < names.size() &&
                    names[sort_column - k_first_counter_column] == n) {
                    header.sorted_cell = header.cells.size();
                }
                header.cells.push_back(top_column_title(n));
            }
            header.history_title = true;
            rows.push_back(std::move(header));
            for (const top_entity_view_s &e : card.entities) {
                if (e.kind != kind) {
                    continue;
                }
                top_row_s row;
                row.kind = top_row_kind_e::entity;
                row.name = "  " + shown(e.name);
                row.cells.push_back(lif ? share_text(e.retransmit_share, e.share_lower_bound, style) : "");
                row.alarm.push_back(e.retransmit_share && *e.retransmit_share > style.share_alarm);
                for (const std::string &n : used) {
                    row.cells.push_back(cell_of(e, n, style));
                    row.alarm.push_back(false);
                }
                row.history.assign(e.history.begin(), e.history.end());
                rows.push_back(std::move(row));
            }
        }
    }
    return rows;
}

std::string top_title(const std::string &source, const top_model &model, const std::string &sort_name,
                      const std::string &filter) {
    std::string title = fmt::format("talonmon-top  {}  {}  sort: {}", source, top_format_clock(model.updated_at()),
                                    sort_name);
    if (!filter.empty()) {
        title += "  filter: " + filter;
    }
    return title;
}

std::string top_plain_table(const std::string &source, const top_model &model, size_t sort_column,
                            const std::string &filter, const top_style_s &style) {
    const auto cards = top_arrange(model.cards(), sort_column, filter);
    std::string out = top_title(source, model, top_sort_column_name(model.cards(), sort_column), filter) + "\n";
    out += top_summary_text(model.summary()) + "\n";
    if (!model.error().empty()) {
        out += fmt::format("no reading since {}: {}\n", top_format_clock(model.error_since().value_or(0)),
                           model.error());
    }
    if (model.restarted_at()) {
        out += "daemon restarted at " + top_format_clock(*model.restarted_at()) + "\n";
    }
    if (cards.empty()) {
        out += filter.empty() ? "no cards\n" : "no card or entity matches the filter\n";
    }
    for (const top_row_s &row : top_rows(cards, sort_column, style)) {
        // The columns of the terminal view: names cut to their column, cells
        // in columns of k_top_cell_width.
        std::string line = row.kind == top_row_kind_e::card
                               ? "CARD " + row.name
                               : pad(row.name.substr(0, k_top_name_width - 1), k_top_name_width);
        for (const std::string &cell : row.cells) {
            line += pad(cell, k_top_cell_width);
        }
        if (row.history_title) {
            line += "THROUGHPUT";
        } else if (row.kind == top_row_kind_e::entity) {
            line += top_sparkline(row.history, k_top_history, false);
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        out += line + "\n";
    }
    return out;
}

std::string top_json(const std::string &source, const top_model &model) {
    std::string out = "{\"source\": " + json_string(source) + ", \"time\": " + json_number(model.updated_at());
    out += ", \"error\": " + (model.error().empty() ? std::string("null") : json_string(model.error()));
    out += ", \"daemon_restarted_at\": " + json_number(model.restarted_at());
    const top_summary_s summary = model.summary();
    out += fmt::format(", \"summary\": {{\"cards\": {}, \"down\": {}, \"stale\": {}, \"overruns\": {}, "
                       "\"failed_reads\": {}}}",
                       summary.cards, summary.down, summary.stale, summary.overruns, summary.failed_reads);
    out += ", \"cards\": [";
    bool first_card = true;
    for (const top_card_view_s &card : model.cards()) {
        out += first_card ? "" : ", ";
        first_card = false;
        std::string state = state_text(card.state);
        std::transform(state.begin(), state.end(), state.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
        state = state == "?" ? "unknown" : state == "gone" ? "absent" : state;
        auto count = [](std::optional<uint64_t> n) { return n ? std::to_string(*n) : std::string("null"); };
        out += fmt::format("{{\"bdf\": {}, \"uuid\": {}, \"state\": {}, \"stale\": {}, \"since\": {}, "
                           "\"since_exact\": {}, \"lifs\": {}, \"ports\": {}, \"passes\": {}, \"overruns\": {}, "
                           "\"failed_reads\": {}, \"entities\": [",
                           json_string(card.bdf), json_string(card.uuid), json_string(state), card.stale,
                           json_number(card.since), card.since_exact, card.lifs, card.ports, count(card.passes),
                           count(card.overruns), count(card.failed_reads));
        bool first_entity = true;
        for (const top_entity_view_s &e : card.entities) {
            out += first_entity ? "" : ", ";
            first_entity = false;
            out += fmt::format("{{\"kind\": \"{}\", \"name\": {}, \"uuid\": {}, \"retransmit_share\": {}, "
                               "\"throughput\": {}, \"throughput_unit\": \"{}\", \"counters\": [",
                               e.kind == top_entity_kind_e::lif ? "lif" : "port", json_string(e.name),
                               json_string(e.uuid), json_number(e.retransmit_share), json_number(e.throughput),
                               e.throughput_in_bytes ? "B/s" : "pkt/s");
            bool first_counter = true;
            for (const top_counter_view_s &c : e.counters) {
                out += first_counter ? "" : ", ";
                first_counter = false;
                out += fmt::format("{{\"name\": {}, \"value\": {}, \"cumulative\": {}, \"rate\": {}, "
                                   "\"held\": {}, \"lower_bound\": {}}}",
                                   json_string(c.name), c.value, c.cumulative, json_number(c.rate), c.held,
                                   c.lower_bound);
            }
            out += "], \"history\": [";
            for (size_t i = 0; i < e.history.size(); ++i) {
                out += (i ? ", " : "") + json_number(e.history[i]);
            }
            out += "]}";
        }
        out += "]}";
    }
    return out + "]}\n";
}

std::string top_sparkline(const std::vector<double> &history, size_t width, bool unicode) {
    const size_t count = std::min(width, history.size());
    const auto begin = history.end() - static_cast<std::ptrdiff_t>(count);
    double max = 0;
    for (auto it = begin; it != history.end(); ++it) {
        if (std::isfinite(*it)) {
            max = std::max(max, *it);
        }
    }
    std::string out;
    for (auto it = begin; it != history.end(); ++it) {
        if (!std::isfinite(*it) || *it < 0) {
            out += ' ';
            continue;
        }
        size_t level = max > 0 ? static_cast<size_t>(*it / max * (k_spark_levels - 1) + 0.5) : 0;
        level = std::min(level, k_spark_levels - 1);
        if (unicode) {
            out += k_spark_utf8[level];
        } else {
            out += k_spark_ascii[level];
        }
    }
    return out;
}

std::vector<top_row_s> top_card_rows(const std::vector<const top_card_view_s *> &cards, top_card_sort_e sort,
                                     const top_style_s &style) {
    static constexpr const char *k_titles[] = {"STATE", "TX", "RX", "RETX%", "OVERRUNS", "FAILED", "LIFs", "PORTS"};
    // The cells of k_titles that each sort column sorts by.
    static constexpr size_t k_sorted_cell[] = {SIZE_MAX, 1, 2, 3, 4, 5};
    std::vector<top_row_s> rows;
    top_row_s header;
    header.kind = top_row_kind_e::header;
    header.name = "CARD";
    header.cells.assign(std::begin(k_titles), std::end(k_titles));
    header.alarm.assign(header.cells.size(), false);
    header.sorted_cell = static_cast<size_t>(sort) < std::size(k_sorted_cell) ? k_sorted_cell[static_cast<size_t>(sort)]
                                                                              : SIZE_MAX;
    rows.push_back(std::move(header));
    const std::string bytes = "tx_rdma_unicast_bytes";
    for (const top_card_view_s *card : cards) {
        top_row_s row;
        row.kind = top_row_kind_e::entity;
        row.state = card->state;
        row.name = shown(card->bdf);
        const bool measured = card->measured();
        row.cells = {state_text(card->state, card->stale),
                     rate_text(measured ? card->tx_bytes : std::nullopt, false, false, bytes, style),
                     rate_text(measured ? card->rx_bytes : std::nullopt, false, false, bytes, style),
                     share_text(measured ? card->worst_share : std::nullopt, card->worst_share_lower_bound, style),
                     count_text(card->overruns),
                     count_text(card->failed_reads),
                     std::to_string(card->lifs),
                     std::to_string(card->ports)};
        row.alarm = {!measured,
                     false,
                     false,
                     measured && card->worst_share && *card->worst_share > style.share_alarm,
                     card->overruns.value_or(0) > 0,
                     card->failed_reads.value_or(0) > 0,
                     false,
                     false};
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string top_summary_text(const top_summary_s &s) {
    return fmt::format("{} card{}, {} down, {} stale, {} overrun{}, {} failed read{}", s.cards, s.cards == 1 ? "" : "s",
                       s.down, s.stale, s.overruns, s.overruns == 1 ? "" : "s", s.failed_reads,
                       s.failed_reads == 1 ? "" : "s");
}

std::string top_batch_records(const top_model &model, top_batch_format_e format, bool header) {
    std::string out;
    const bool csv = format == top_batch_format_e::csv;
    if (csv && header) {
        out += "time,card,kind,entity,counter,rate,unit,lower_bound\n";
    }
    const std::string time = fmt::format("{:.3f}", model.updated_at());
    for (const top_card_view_s &card : model.cards()) {
        for (const top_entity_view_s &e : card.entities) {
            const char *kind = e.kind == top_entity_kind_e::lif ? "lif" : "port";
            for (const top_counter_view_s &c : e.counters) {
                const std::string unit = top_rate_unit(c.name);
                if (csv) {
                    // Names are quoted as CSV fields; a quote inside is doubled.
                    auto field = [](std::string_view text) {
                        std::string f = "\"";
                        for (const char ch : shown(text)) {
                            f += ch == '"' ? std::string("\"\"") : std::string(1, ch);
                        }
                        return f + "\"";
                    };
                    out += fmt::format("{},{},{},{},{},{},{},{}\n", time, field(card.bdf), kind, field(e.name),
                                       field(c.name), c.rate ? fmt::format("{:.3f}", *c.rate) : "", unit,
                                       c.lower_bound);
                } else {
                    out += fmt::format("{{\"time\": {}, \"card\": {}, \"kind\": \"{}\", \"entity\": {}, "
                                       "\"counter\": {}, \"rate\": {}, \"unit\": \"{}\", \"lower_bound\": {}}}\n",
                                       time, json_string(card.bdf), kind, json_string(e.name), json_string(c.name),
                                       json_number(c.rate), unit, c.lower_bound);
                }
            }
        }
    }
    return out;
}
