// UTF-8 checks for text that comes from a card: what the telemetry files and
// the trace log may hold of it.
#pragma once

#include <fmt/format.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace utils {

// The UTF-8 encoding of U+FFFD REPLACEMENT CHARACTER.
inline constexpr std::string_view k_utf8_replacement = "\xef\xbf\xbd";

// Length of the well-formed UTF-8 sequence that starts `text`, or 0 when it
// is ill-formed; then `bad_length` is the length of its maximal subpart (the
// bytes one U+FFFD stands for, at least 1), as Unicode's "substitution of
// maximal subparts" and Python's errors="replace" count them. `text` must
// not be empty.
std::size_t utf8_sequence_length(std::string_view text, std::size_t &bad_length);

// True when `sequence`, one well-formed UTF-8 sequence, is a control
// character: C0 (U+0000-U+001F), DEL (U+007F) or C1 (U+0080-U+009F).
bool is_control_character(std::string_view sequence);

// Card-supplied text as the trace log shows it: control characters (C0, DEL
// and C1) and bytes that are not well-formed UTF-8 are written as \xHH, so
// that a name cannot break a line or send escape sequences to a terminal.
// Printable ASCII and well-formed printable UTF-8 are written as they are.
struct printable {
    std::string_view text;
};

void append_printable(std::string &out, std::string_view text);

// Appends `text` to `out` as the inside of a JSON string: quote, backslash
// and control characters (C0, and C1 as \u0080-\u009f) escaped, well-formed UTF-8 kept as it is, and each
// ill-formed sequence replaced by one U+FFFD, so the result is valid JSON
// and valid UTF-8 whatever the card sent.
void append_json_escaped(std::string &out, std::string_view text);

}  // namespace utils

template <>
struct fmt::formatter<utils::printable> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(const utils::printable &p, FormatContext &ctx) const -> decltype(ctx.out()) {
        std::string escaped;
        utils::append_printable(escaped, p.text);
        return fmt::formatter<std::string_view>::format(escaped, ctx);
    }
};
