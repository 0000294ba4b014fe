// Text of what talonmon-top shows: scaled units, the rows of the table
// (shared by the terminal view and --once) and the JSON document (--json).
#pragma once

#include "top/top_model.hpp"

#include <string>
#include <string_view>
#include <vector>

// How numbers are shown: byte rates as bits per second (powers of 1000),
// block characters and marks in UTF-8, and the retransmitted share above
// which a cell is highlighted.
struct top_style_s {
    bool bits = false;
    bool unicode = false;
    double share_alarm = 0.01;
};

// "999B/s", "1.50KiB/s", "12.3MiB/s" (powers of 1024) for byte counters, or
// "8.00kbit/s", "25.2Mbit/s" with `bits`; "999pkt/s", "1.50kpkt/s" (powers
// of 1000) for packets and the like.
std::string top_format_rate(double per_second, std::string_view counter, bool bits = false);
// The unit of top_format_rate's numbers without scaling: "B/s", "bit/s", "pkt/s", "req/s".
std::string top_rate_unit(std::string_view counter, bool bits = false);
std::string top_format_share(double share);  // "0.52%"
// A short column title for a counter ("TX bytes", "DUP reqs", ...).
std::string top_column_title(const std::string &counter);
// HH:MM:SS in local time.
std::string top_format_clock(double wall);

enum class top_row_kind_e { card, header, entity, note };

// One line of the table: a name cell, value cells of k_top_cell_width, and
// the throughput history drawn after them.
struct top_row_s {
    top_row_kind_e kind = top_row_kind_e::note;
    top_card_view_state_e state = top_card_view_state_e::unknown;  // card rows
    std::string name;
    std::vector<std::string> cells;
    std::vector<bool> alarm;        // cells to highlight, where set
    size_t sorted_cell = SIZE_MAX;  // header rows: the cell of the sort column
    std::vector<double> history;    // entity rows
    bool history_title = false;     // header rows: title the history column
};

inline constexpr size_t k_top_name_width = 14;
inline constexpr size_t k_top_cell_width = 11;

std::vector<top_row_s> top_rows(const std::vector<top_card_view_s> &cards, size_t sort_column,
                                const top_style_s &style = {});

// The compact view: a header row, then one row per card (state, TX and RX
// throughput, worst RETX%, overruns, failed reads, LIFs, ports).
std::vector<top_row_s> top_card_rows(const std::vector<const top_card_view_s *> &cards, top_card_sort_e sort,
                                     const top_style_s &style);

// "16 cards, 1 down, 2 stale, 3 overruns, 0 failed reads"
std::string top_summary_text(const top_summary_s &summary);

enum class top_batch_format_e { csv, jsonl };
// One record per counter of every card: time, card, entity kind and name,
// counter, rate (empty or null where there is none), unit, and whether the
// rate is a lower bound. The CSV header comes with `header`.
std::string top_batch_records(const top_model &model, top_batch_format_e format, bool header);

// The title line: source, time, sort column, filter and any error.
std::string top_title(const std::string &source, const top_model &model, const std::string &sort_name,
                      const std::string &filter);

// One plain-text table, every column, no colour.
std::string top_plain_table(const std::string &source, const top_model &model, size_t sort_column,
                            const std::string &filter, const top_style_s &style = {});
std::string top_json(const std::string &source, const top_model &model);

// A sparkline of `history` in at most `width` characters (the newest
// samples), scaled to its own maximum; gaps as blanks.
std::string top_sparkline(const std::vector<double> &history, size_t width, bool unicode);
