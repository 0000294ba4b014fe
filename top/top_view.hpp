// The live terminal view (ncurses): draws the model's table, scrolls it and
// takes the keys. Colour only where the terminal has it and NO_COLOR is
// unset.
#pragma once

#include "top/top_model.hpp"

#include <chrono>
#include <string>

struct top_view_state_s {
    size_t sort_column = 0;
    std::string filter;
    bool editing_filter = false;
    std::string filter_draft;
    size_t first_row = 0;
    size_t first_cell = 0;
    bool quit = false;
};

class top_view {
public:
    top_view();
    ~top_view();
    top_view(const top_view &) = delete;
    top_view &operator=(const top_view &) = delete;

    void draw(const std::string &source, const top_model &model, const top_view_state_s &state);
    // Waits at most `timeout` for a key and applies it; true when a key (or
    // a resize) came, so the screen needs drawing again.
    bool handle_input(std::chrono::milliseconds wait, const top_model &model, top_view_state_s &state);

private:
    bool colour_ = false;
    bool unicode_ = false;
    size_t table_rows_ = 0;  // rows of the table in the last draw
    size_t max_cells_ = 0;
};
