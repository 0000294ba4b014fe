#include "top/top_view.hpp"

#include <curses.h>
#include <fmt/format.h>
#include <langinfo.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>

namespace {

enum colour_pair_e : short { k_pair_up = 1, k_pair_down, k_pair_header, k_pair_trend, k_pair_alarm };
constexpr size_t k_min_trend_width = 10;
constexpr size_t k_top_lines = 3;     // title, summary and status
constexpr size_t k_bottom_lines = 1;  // keys or filter prompt
constexpr int k_key_escape = 27;
constexpr int k_key_delete = 127;
constexpr int k_escape_delay_ms = 50;
constexpr const char *k_keys = "q quit  h help  / filter  arrows scroll";
constexpr const char *k_more_left = "<";
constexpr const char *k_more_right = ">";

constexpr const char *k_help_lines[] = {
    "talonmon-top keys",
    "",
    "  q            quit",
    "  h  ?         this help (any key closes it)",
    "  p  Space     pause: keep the screen as it is (readings go on)",
    "  v            compact view (one line per card) or every LIF and port",
    "  Enter        compact view: open the selected card; again: back",
    "  Escape       back from an opened card",
    "  s            sort by the next column (cards, or LIFs and ports)",
    "  r            reverse the sort",
    "  b            bits or bytes per second",
    "  /            filter by card address or LIF/port name",
    "  arrows       select or scroll rows; Left/Right scroll columns",
    "  PgUp PgDn    scroll by a page; Home to the top",
    "",
    "  -            no value: not measured (down, stale or no rate yet)",
    "  *            no new sample since the last refresh: the last rate",
    "  >=           a lower bound: changes below a threshold are not in the files",
    "  < >          more columns to the left or right",
};

void put(int y, int x, const std::string &text, int width) {
    if (width <= 0) {
        return;
    }
    mvaddnstr(y, x, text.c_str(), std::min(width, static_cast<int>(text.size())));
}

// Rows the table of all cards' LIFs and ports has.
size_t detail_rows(const std::vector<top_card_view_s> &cards) {
    size_t rows = 0;
    for (const top_card_view_s &card : cards) {
        bool lif = false;
        bool port = false;
        for (const top_entity_view_s &e : card.entities) {
            (e.kind == top_entity_kind_e::lif ? lif : port) = true;
        }
        rows += 1 + card.entities.size() + lif + port;
    }
    return rows;
}

}  // namespace

top_view::top_view(double share_alarm) {
    std::setlocale(LC_ALL, "");
    style_.unicode = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    style_.share_alarm = share_alarm;
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
        init_pair(k_pair_alarm, COLOR_RED, -1);
    }
}

top_view::~top_view() {
    endwin();
}

bool top_view::compact(const top_model &model, const top_view_state_s &state, size_t table_height) const {
    if (state.focus) {
        return false;
    }
    if (state.mode != top_view_mode_e::automatic) {
        return state.mode == top_view_mode_e::compact;
    }
    // A host whose LIFs and ports do not fit gets one line per card.
    return model.cards().size() > 1 && detail_rows(model.cards()) > table_height;
}

void top_view::draw_help(int width, int height) {
    int y = 0;
    for (const char *line : k_help_lines) {
        if (y >= height) {
            break;
        }
        put(y++, 0, line, width);
    }
}

void top_view::draw_rows(const std::vector<top_row_s> &rows, const top_view_state_s &state, int top, int height,
                         int width, bool pin_card, std::optional<size_t> selected) {
    const size_t page = static_cast<size_t>(std::max(height, 1));
    size_t first_row = std::min(state.first_row, rows.size() > page ? rows.size() - page : 0);
    if (selected) {
        // The selected card stays on the screen (after the header row).
        const size_t row = *selected + 1;
        first_row = std::min(first_row, row);
        if (row >= first_row + page) {
            first_row = row + 1 - page;
        }
    }
    table_rows_ = rows.size();
    const size_t name_width = k_top_name_width;
    // Cells that fit before the trend column.
    const size_t cell_room = static_cast<size_t>(width) > name_width + (selected ? 0 : k_min_trend_width)
                                 ? (static_cast<size_t>(width) - name_width - (selected ? 0 : k_min_trend_width)) /
                                       k_top_cell_width
                                 : 0;
    int y = top;
    // The card a scrolled table is in keeps its line at the top.
    std::optional<size_t> pinned;
    if (pin_card && first_row < rows.size() && rows[first_row].kind != top_row_kind_e::card) {
        for (size_t i = first_row; i-- > 0;) {
            if (rows[i].kind == top_row_kind_e::card) {
                pinned = i;
                break;
            }
        }
    }
    for (size_t n = 0, i = first_row; y < top + height; ++n) {
        size_t index = i;
        if (n == 0 && pinned) {
            index = *pinned;
        } else if (i >= rows.size()) {
            break;
        } else {
            ++i;
        }
        const top_row_s &row = rows[index];
        if (row.kind == top_row_kind_e::card) {
            const bool bad = row.state != top_card_view_state_e::up || row.name.find(" STALE") != std::string::npos;
            const int attr = A_BOLD | (colour_ ? COLOR_PAIR(bad ? k_pair_down : k_pair_up) : 0);
            attron(attr);
            put(y, 0, "CARD " + row.name, width);
            attroff(attr);
            ++y;
            continue;
        }
        const bool is_selected = selected && index == *selected + 1;
        const int row_attr = (row.kind == top_row_kind_e::header ? (A_BOLD | (colour_ ? COLOR_PAIR(k_pair_header) : 0))
                                                                 : A_NORMAL) |
                             (is_selected ? A_REVERSE : 0);
        attron(row_attr);
        if (is_selected) {
            mvhline(y, 0, ' ', width);
        }
        put(y, 0, row.name, static_cast<int>(std::min<size_t>(name_width - 1, static_cast<size_t>(width))));
        size_t x = name_width;
        size_t c = state.first_cell;
        for (; c < row.cells.size() && c - state.first_cell < cell_room; ++c) {
            const bool sorted = c == row.sorted_cell;
            const bool alarm = c < row.alarm.size() && row.alarm[c];
            const int cell_attr = (sorted ? A_UNDERLINE : 0) |
                                  (alarm ? (A_BOLD | (colour_ ? COLOR_PAIR(k_pair_alarm) : 0)) : 0);
            attron(cell_attr);
            put(y, static_cast<int>(x), row.cells[c], static_cast<int>(k_top_cell_width - 1));
            attroff(cell_attr);
            x += k_top_cell_width;
        }
        if (row.kind == top_row_kind_e::header) {
            // Columns scrolled away or cut off are marked on the header.
            if (state.first_cell > 0) {
                put(y, static_cast<int>(name_width - 2), k_more_left, 1);
            }
            if (c < row.cells.size()) {
                put(y, width - 1, k_more_right, 1);
            }
        }
        if (!selected) {
            // Rows with fewer cells keep the trend in the same column.
            const size_t shown = std::min(max_cells_ - std::min(max_cells_, state.first_cell), cell_room);
            x = name_width + shown * k_top_cell_width;
            const size_t trend_width = static_cast<size_t>(width) > x + 2
                                           ? std::min(k_top_history, static_cast<size_t>(width) - x - 2)
                                           : 0;
            if (row.history_title) {
                put(y, static_cast<int>(x), "THROUGHPUT", static_cast<int>(trend_width));
            } else if (row.kind == top_row_kind_e::entity && trend_width > 0) {
                if (colour_) {
                    attron(COLOR_PAIR(k_pair_trend));
                }
                mvaddstr(y, static_cast<int>(x), top_sparkline(row.history, trend_width, style_.unicode).c_str());
                if (colour_) {
                    attroff(COLOR_PAIR(k_pair_trend));
                }
            }
        }
        attroff(row_attr);
        ++y;
    }
}

void top_view::draw(const std::string &source, const top_model &model, top_view_state_s &state) {
    int height = 0;
    int width = 0;
    getmaxyx(stdscr, height, width);
    erase();
    style_.bits = state.bits;
    if (state.help) {
        draw_help(width, height);
        refresh();
        return;
    }
    const int table_height = std::max(height - static_cast<int>(k_top_lines + k_bottom_lines), 1);
    compact_shown_ = compact(model, state, static_cast<size_t>(table_height));

    attron(A_REVERSE);
    // The filter is on the bottom line, where it is typed.
    const std::string sort_name = compact_shown_ ? top_card_sort_name(state.card_sort)
                                                 : top_sort_column_name(model.cards(), state.sort_column);
    std::string title = top_title(source, model, sort_name + (state.reverse ? " (reversed)" : ""), "");
    if (state.paused) {
        title += "  PAUSED";
    }
    title.resize(static_cast<size_t>(std::max(width, 0)), ' ');
    put(0, 0, title, width);
    attroff(A_REVERSE);

    const top_summary_s summary = model.summary();
    const bool trouble = summary.down + summary.stale > 0 || summary.failed_reads > 0;
    attron(trouble ? A_BOLD : A_NORMAL);
    put(1, 0, top_summary_text(summary), width);
    attroff(A_BOLD);

    std::string status;
    if (!model.error().empty()) {
        status = "no reading since " + top_format_clock(model.error_since().value_or(0)) + ": " + model.error();
    } else if (state.reading_for) {
        status = fmt::format("reading for {:.1f}s", *state.reading_for);
    } else if (model.restarted_at()) {
        status = "daemon restarted at " + top_format_clock(*model.restarted_at());
    }
    if (!model.error().empty() && state.reading_for) {
        status = fmt::format("reading for {:.1f}s; ", *state.reading_for) + status;
    }
    if (!status.empty()) {
        attron(A_BOLD | (colour_ ? COLOR_PAIR(k_pair_down) : 0));
        put(2, 0, status, width);
        attroff(A_BOLD | (colour_ ? COLOR_PAIR(k_pair_down) : 0));
    }

    std::vector<top_row_s> rows;
    size_t cards_shown = 0;
    if (compact_shown_) {
        const auto order = top_arrange_cards(model.cards(), state.card_sort, state.reverse, state.filter);
        compact_order_.clear();
        for (const top_card_view_s *card : order) {
            compact_order_.push_back(card->bdf);
        }
        compact_cards_ = order.size();
        state.selected = std::min(state.selected, order.empty() ? 0 : order.size() - 1);
        rows = top_card_rows(order, state.card_sort, style_);
        cards_shown = order.size();
    } else {
        std::vector<top_card_view_s> cards = top_arrange(model.cards(), state.sort_column, state.filter, state.reverse);
        if (state.focus) {
            std::erase_if(cards, [&](const top_card_view_s &c) { return c.bdf != *state.focus; });
        }
        rows = top_rows(cards, state.sort_column, style_);
        cards_shown = cards.size();
    }
    max_cells_ = 0;
    for (const top_row_s &row : rows) {
        max_cells_ = std::max(max_cells_, row.cells.size());
    }
    if (cards_shown == 0 && status.empty()) {
        put(2, 0, state.filter.empty() ? "no cards" : "no card or entity matches the filter", width);
    }
    draw_rows(rows, state, static_cast<int>(k_top_lines), table_height, width, !compact_shown_,
              compact_shown_ && cards_shown > 0 ? std::optional<size_t>(state.selected) : std::nullopt);

    std::string bottom = k_keys;
    if (state.editing_filter) {
        bottom = "filter: " + state.filter_draft;
    } else {
        if (!state.filter.empty()) {
            bottom = "filter: " + state.filter + "  " + k_keys;
        }
        if (state.focus) {
            bottom = "card " + *state.focus + " (Escape: all cards)  " + bottom;
        }
        // Where the screen is in a table longer than it.
        if (rows.size() > static_cast<size_t>(table_height)) {
            const size_t first = std::min(state.first_row, rows.size() - static_cast<size_t>(table_height));
            const std::string position = compact_shown_ ? fmt::format("  card {}/{}", state.selected + 1, cards_shown)
                                                        : fmt::format("  rows {}-{}/{}", first + 1,
                                                                      first + static_cast<size_t>(table_height),
                                                                      rows.size());
            bottom += position;
        }
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
    if (state.help) {
        state.help = false;
        return true;
    }
    if (state.editing_filter) {
        if (key == '\n' || key == '\r' || key == KEY_ENTER) {
            state.filter = state.filter_draft;
            state.editing_filter = false;
            state.first_row = 0;
            state.selected = 0;
        } else if (key == k_key_escape) {
            state.editing_filter = false;
        } else if (key == KEY_BACKSPACE || key == k_key_delete || key == '\b') {
            if (!state.filter_draft.empty()) {
                state.filter_draft.pop_back();
            }
        } else if (key >= ' ' && key < k_key_delete) {
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
    const size_t last_card = compact_cards_ > 0 ? compact_cards_ - 1 : 0;
    switch (key) {
    case 'q':
    case 'Q':
        state.quit = true;
        break;
    case 'h':
    case '?':
        state.help = true;
        break;
    case 'p':
    case ' ':
        state.paused = !state.paused;
        break;
    case 'r':
        state.reverse = !state.reverse;
        break;
    case 'b':
        state.bits = !state.bits;
        break;
    case 'v':
        state.mode = compact_shown_ ? top_view_mode_e::detail : top_view_mode_e::compact;
        state.focus.reset();
        state.first_row = 0;
        break;
    case 's':
        if (compact_shown_) {
            state.card_sort = static_cast<top_card_sort_e>((static_cast<size_t>(state.card_sort) + 1) %
                                                           static_cast<size_t>(top_card_sort_e::count));
        } else {
            state.sort_column = (state.sort_column + 1) % top_sort_column_count(model.cards());
        }
        break;
    case '/':
        state.editing_filter = true;
        state.filter_draft = state.filter;
        break;
    case '\n':
    case '\r':
    case KEY_ENTER:
        if (compact_shown_ && state.selected < compact_order_.size()) {
            state.focus = compact_order_[state.selected];
            state.first_row = 0;
        } else if (state.focus) {
            state.focus.reset();
        }
        break;
    case k_key_escape:
    case KEY_BACKSPACE:
        state.focus.reset();
        break;
    case KEY_UP:
        if (compact_shown_) {
            state.selected = state.selected > 0 ? state.selected - 1 : 0;
        } else {
            state.first_row = state.first_row > 0 ? state.first_row - 1 : 0;
        }
        break;
    case KEY_DOWN:
        if (compact_shown_) {
            state.selected = std::min(state.selected + 1, last_card);
        } else {
            state.first_row = std::min(state.first_row + 1, last_row);
        }
        break;
    case KEY_PPAGE:
        if (compact_shown_) {
            state.selected = state.selected > page ? state.selected - page : 0;
        } else {
            state.first_row = state.first_row > page ? state.first_row - page : 0;
        }
        break;
    case KEY_NPAGE:
        if (compact_shown_) {
            state.selected = std::min(state.selected + page, last_card);
        } else {
            state.first_row = std::min(state.first_row + page, last_row);
        }
        break;
    case KEY_HOME:
        state.first_row = 0;
        state.first_cell = 0;
        state.selected = 0;
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
