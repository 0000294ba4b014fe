// Text of what talonmon-top shows: scaled units, the rows of the table
// (shared by the terminal view and --once) and the JSON document (--json).
#pragma once

#include "top/top_model.hpp"

#include <string>
#include <vector>

// "999B/s", "1.50KiB/s", "12.3MiB/s" (powers of 1024) for byte counters;
// "999pkt/s", "1.50kpkt/s" (powers of 1000) for packets and the like.
std::string top_format_rate(double per_second, const std::string &counter);
// A delta counter's value as it is: "+1.50KiB", "+12pkt".
std::string top_format_amount(uint64_t value, const std::string &counter);
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
    size_t sorted_cell = SIZE_MAX;  // header rows: the cell of the sort column
    std::vector<double> history;    // entity rows
    bool history_title = false;     // header rows: title the history column
};

inline constexpr size_t k_top_name_width = 14;
inline constexpr size_t k_top_cell_width = 11;

std::vector<top_row_s> top_rows(const std::vector<top_card_view_s> &cards, size_t sort_column);

// The title line: source, time, sort column, filter and any error.
std::string top_title(const std::string &source, const top_model &model, const std::string &sort_name,
                      const std::string &filter);

// One plain-text table, every column, no colour.
std::string top_plain_table(const std::string &source, const top_model &model, size_t sort_column,
                            const std::string &filter);
std::string top_json(const std::string &source, const top_model &model);

// A sparkline of `history` in at most `width` characters (the newest
// samples), scaled to its own maximum; gaps as blanks.
std::string top_sparkline(const std::vector<double> &history, size_t width, bool unicode);
