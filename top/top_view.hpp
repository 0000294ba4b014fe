// The live terminal view (ncurses): draws the model as a compact list of
// cards or as the LIFs and ports of every card (or of one), scrolls it and
// takes the keys. Colour only where the terminal has it and NO_COLOR is
// unset.
#pragma once

#include "top/top_format.hpp"
#include "top/top_model.hpp"

#include <chrono>
#include <optional>
#include <string>

// Which table is shown: chosen by what fits until a key chooses.
enum class top_view_mode_e { automatic, compact, detail };

struct top_view_state_s {
    size_t sort_column = 0;  // of the LIF and port rows
    top_card_sort_e card_sort = top_card_sort_e::name;
    bool reverse = false;
    std::string filter;
    bool editing_filter = false;
    std::string filter_draft;
    size_t first_row = 0;
    size_t first_cell = 0;
    top_view_mode_e mode = top_view_mode_e::automatic;
    // The card whose LIFs and ports are open (Enter on the compact view).
    std::optional<std::string> focus;
    size_t selected = 0;  // row of the compact view
    bool paused = false;
    bool help = false;
    bool bits = false;
    bool quit = false;
    // Seconds the reading in progress has taken, once it is late.
    std::optional<double> reading_for;
};

class top_view {
public:
    explicit top_view(double share_alarm);
    ~top_view();
    top_view(const top_view &) = delete;
    top_view &operator=(const top_view &) = delete;

    void draw(const std::string &source, const top_model &model, top_view_state_s &state);
    // Waits at most `timeout` for a key and applies it; true when a key (or
    // a resize) came, so the screen needs drawing again.
    bool handle_input(std::chrono::milliseconds wait, const top_model &model, top_view_state_s &state);

private:
    bool compact(const top_model &model, const top_view_state_s &state, size_t table_height) const;
    void draw_rows(const std::vector<top_row_s> &rows, const top_view_state_s &state, int top, int height,
                   int width, bool pin_card, std::optional<size_t> selected);
    void draw_help(int width, int height);

    top_style_s style_;
    bool colour_ = false;
    size_t table_rows_ = 0;  // rows of the table in the last draw
    size_t max_cells_ = 0;
    size_t compact_cards_ = 0;  // cards of the compact view in the last draw
    bool compact_shown_ = false;
    std::vector<std::string> compact_order_;  // their addresses, as shown
};
