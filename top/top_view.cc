#include "top/top_view.hpp"

#include "top/top_format.hpp"

#include <curses.h>
#include <langinfo.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>

namespace {

enum colour_pair_e : short { k_pair_up = 1, k_pair_down, k_pair_header, k_pair_trend };
constexpr size_t k_min_trend_width = 10;
constexpr size_t k_top_lines = 2;     // title and status
constexpr size_t k_bottom_lines = 1;  // keys or filter prompt
constexpr int k_key_escape = 27;
constexpr int k_escape_delay_ms = 50;
constexpr const char *k_help = "q quit  s sort  / filter  arrows scroll";

void put(int y, int x, const std::string &text, int width) {
    if (width <= 0) {
        return;
    }
    mvaddnstr(y, x, text.c_str(), std::min(width, static_cast<int>(text.size())));
}

}  // namespace

top_view::top_view() {
    std::setlocale(LC_ALL, "");
    unicode_ = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    initscr();
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    // Escape (leaving the filter prompt) alone, not the start of a key's
    // sequence, once nothing follows it within this many milliseconds.
    set_escdelay(k_escape_delay_ms);
    curs_set(0);
    const char *no_color = std::getenv("NO_COLOR");
    colour_ = has_colors() && (no_color == nullptr || no_color[0] == '\0');
    if (colour_) {
        start_color();
        use_default_colors();
        init_pair(k_pair_up, COLOR_GREEN, -1);
        init_pair(k_pair_down, COLOR_RED, -1);
        init_pair(k_pair_header, COLOR_CYAN, -1);
        init_pair(k_pair_trend, COLOR_YELLOW, -1);
    }
}

top_view::~top_view() {
    endwin();
}

void top_view::draw(const std::string &source, const top_model &model, const top_view_state_s &state) {
    int height = 0;
    int width = 0;
    getmaxyx(stdscr, height, width);
    erase();
    const auto cards = top_arrange(model.cards(), state.sort_column, state.filter);
    const auto rows = top_rows(cards, state.sort_column);
    table_rows_ = rows.size();
    max_cells_ = 0;
    for (const top_row_s &row : rows) {
        max_cells_ = std::max(max_cells_, row.cells.size());
    }

    attron(A_REVERSE);
    // The filter is on the bottom line, where it is typed.
    std::string title = top_title(source, model, top_sort_column_name(model.cards(), state.sort_column), "");
    title.resize(static_cast<size_t>(std::max(width, 0)), ' ');
    put(0, 0, title, width);
    attroff(A_REVERSE);

    std::string status;
    if (!model.error().empty()) {
        status = "no reading since " + top_format_clock(model.error_since().value_or(0)) + ": " + model.error();
    } else if (model.restarted_at()) {
        status = "daemon restarted at " + top_format_clock(*model.restarted_at());
    } else if (cards.empty()) {
        status = state.filter.empty() ? "no cards" : "no card or entity matches the filter";
    }
    if (!status.empty()) {
        attron(A_BOLD | (colour_ ? COLOR_PAIR(k_pair_down) : 0));
        put(1, 0, status, width);
        attroff(A_BOLD | (colour_ ? COLOR_PAIR(k_pair_down) : 0));
    }

    const int table_height = height - static_cast<int>(k_top_lines + k_bottom_lines);
    // Rows may have gone since the last scroll (a card removed, a filter).
    const size_t page = static_cast<size_t>(std::max(table_height, 1));
    const size_t first_row = std::min(state.first_row, rows.size() > page ? rows.size() - page : 0);
    int y = static_cast<int>(k_top_lines);
    for (size_t i = first_row; i < rows.size() && y < static_cast<int>(k_top_lines) + table_height; ++i, ++y) {
        const top_row_s &row = rows[i];
        if (row.kind == top_row_kind_e::card) {
            const bool bad = row.state == top_card_view_state_e::down || row.state == top_card_view_state_e::absent;
            const int attr = A_BOLD | (colour_ ? COLOR_PAIR(bad ? k_pair_down : k_pair_up) : 0);
            attron(attr);
            put(y, 0, "CARD " + row.name, width);
            attroff(attr);
            continue;
        }
        const int header_attr = row.kind == top_row_kind_e::header
                                    ? (A_BOLD | (colour_ ? COLOR_PAIR(k_pair_header) : 0))
                                    : A_NORMAL;
        attron(header_attr);
        put(y, 0, row.name, static_cast<int>(std::min<size_t>(k_top_name_width - 1, static_cast<size_t>(width))));
        size_t x = k_top_name_width;
        for (size_t c = state.first_cell; c < row.cells.size(); ++c) {
            if (x + k_top_cell_width + k_min_trend_width > static_cast<size_t>(width)) {
                break;
            }
            const bool sorted = c == row.sorted_cell;
            if (sorted) {
                attron(A_UNDERLINE);
            }
            put(y, static_cast<int>(x), row.cells[c], static_cast<int>(k_top_cell_width - 1));
            if (sorted) {
                attroff(A_UNDERLINE);
            }
            x += k_top_cell_width;
        }
        // Rows with fewer cells keep the trend in the same column.
        const size_t shown = std::min(max_cells_ - std::min(max_cells_, state.first_cell),
                                      (static_cast<size_t>(width) > k_top_name_width + k_min_trend_width
                                           ? (static_cast<size_t>(width) - k_top_name_width - k_min_trend_width) /
                                                 k_top_cell_width
                                           : 0));
        x = k_top_name_width + shown * k_top_cell_width;
        const size_t trend_width = static_cast<size_t>(width) > x + 1
                                       ? std::min(k_top_history, static_cast<size_t>(width) - x - 1)
                                       : 0;
        if (row.history_title) {
            put(y, static_cast<int>(x), "THROUGHPUT", static_cast<int>(trend_width));
        } else if (row.kind == top_row_kind_e::entity && trend_width > 0) {
            if (colour_) {
                attron(COLOR_PAIR(k_pair_trend));
            }
            mvaddstr(y, static_cast<int>(x), top_sparkline(row.history, trend_width, unicode_).c_str());
            if (colour_) {
                attroff(COLOR_PAIR(k_pair_trend));
            }
        }
        attroff(header_attr);
    }

    std::string bottom = k_help;
    if (state.editing_filter) {
        bottom = "filter: " + state.filter_draft;
    } else if (!state.filter.empty()) {
        bottom = "filter: " + state.filter + "  " + k_help;
    }
    put(height - 1, 0, bottom, width);
    if (state.editing_filter) {
        curs_set(1);
        move(height - 1, static_cast<int>(std::min<size_t>(bottom.size(), static_cast<size_t>(std::max(width - 1, 0)))));
    } else {
        curs_set(0);
    }
    refresh();
}

bool top_view::handle_input(std::chrono::milliseconds wait, const top_model &model, top_view_state_s &state) {
    wtimeout(stdscr, static_cast<int>(std::max<long long>(wait.count(), 0)));
    const int key = getch();
    if (key == ERR) {
        return false;
    }
    if (state.editing_filter) {
        if (key == '\n' || key == '\r' || key == KEY_ENTER) {
            state.filter = state.filter_draft;
            state.editing_filter = false;
            state.first_row = 0;
        } else if (key == k_key_escape) {
            state.editing_filter = false;
        } else if (key == KEY_BACKSPACE || key == 127 || key == '\b') {
            if (!state.filter_draft.empty()) {
                state.filter_draft.pop_back();
            }
        } else if (key >= ' ' && key < 127) {
            state.filter_draft += static_cast<char>(key);
        }
        return true;
    }
    int height = 0;
    int width = 0;
    getmaxyx(stdscr, height, width);
    (void)width;
    const size_t page = static_cast<size_t>(std::max(height - static_cast<int>(k_top_lines + k_bottom_lines), 1));
    const size_t last_row = table_rows_ > page ? table_rows_ - page : 0;
    switch (key) {
    case 'q':
    case 'Q':
        state.quit = true;
        break;
    case 's':
        state.sort_column = (state.sort_column + 1) % top_sort_column_count(model.cards());
        break;
    case '/':
        state.editing_filter = true;
        state.filter_draft = state.filter;
        break;
    case KEY_UP:
        state.first_row = state.first_row > 0 ? state.first_row - 1 : 0;
        break;
    case KEY_DOWN:
        state.first_row = std::min(state.first_row + 1, last_row);
        break;
    case KEY_PPAGE:
        state.first_row = state.first_row > page ? state.first_row - page : 0;
        break;
    case KEY_NPAGE:
        state.first_row = std::min(state.first_row + page, last_row);
        break;
    case KEY_HOME:
        state.first_row = 0;
        state.first_cell = 0;
        break;
    case KEY_LEFT:
        state.first_cell = state.first_cell > 0 ? state.first_cell - 1 : 0;
        break;
    case KEY_RIGHT:
        state.first_cell = max_cells_ > 0 ? std::min(state.first_cell + 1, max_cells_ - 1) : 0;
        break;
    default:
        break;  // KEY_RESIZE among others: draw again
    }
    state.first_row = std::min(state.first_row, last_row);
    return true;
}
