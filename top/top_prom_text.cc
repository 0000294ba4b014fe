#include "top/top_prom_text.hpp"

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr bool name_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}

// Which bytes may start and continue a name: one look-up per byte.
constexpr unsigned char k_starts_name = 1;
constexpr unsigned char k_continues_name = 2;
constexpr auto k_name_class = [] {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        table[static_cast<size_t>(c)] = static_cast<unsigned char>(
            (name_start(ch) ? k_starts_name | k_continues_name : 0) | (ch >= '0' && ch <= '9' ? k_continues_name : 0));
    }
    return table;
}();

bool has_class(char c, unsigned char cls) {
    return (k_name_class[static_cast<unsigned char>(c)] & cls) != 0;
}

void skip_blanks(std::string_view &s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
}

std::string_view take_name(std::string_view &s) {
    if (s.empty() || !has_class(s.front(), k_starts_name)) {
        return {};
    }
    size_t n = 1;
    while (n < s.size() && has_class(s[n], k_continues_name)) {
        ++n;
    }
    const std::string_view name = s.substr(0, n);
    s.remove_prefix(n);
    return name;
}

// A quoted label value, as written between its quotes; `escaped` is set
// when it holds a backslash. In a line without backslashes (`plain`) the
// closing quote is the first one.
std::optional<std::string_view> take_quoted(std::string_view &s, bool plain, bool &escaped) {
    if (s.empty() || s.front() != '"') {
        return std::nullopt;
    }
    if (plain) {
        const auto *quote = static_cast<const char *>(std::memchr(s.data() + 1, '"', s.size() - 1));
        if (quote == nullptr) {
            return std::nullopt;
        }
        const std::string_view value(s.data() + 1, static_cast<size_t>(quote - s.data() - 1));
        s.remove_prefix(value.size() + 2);
        return value;
    }
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i] == '\\') {
            escaped = true;
            ++i;
        } else if (s[i] == '"') {
            const std::string_view value = s.substr(1, i - 1);
            s.remove_prefix(i + 1);
            return value;
        }
    }
    return std::nullopt;
}

bool take_labels(std::string_view &s, top_prom_line_s &line) {
    const bool plain = std::memchr(s.data(), '\\', s.size()) == nullptr;
    s.remove_prefix(1);  // '{'
    for (;;) {
        skip_blanks(s);
        if (!s.empty() && s.front() == '}') {
            s.remove_prefix(1);
            return true;
        }
        const std::string_view key = take_name(s);
        skip_blanks(s);
        if (key.empty() || s.empty() || s.front() != '=' || line.label_count == k_top_prom_max_labels) {
            return false;
        }
        s.remove_prefix(1);
        skip_blanks(s);
        const auto value = take_quoted(s, plain, line.escaped);
        if (!value) {
            return false;
        }
        line.labels[line.label_count++] = {key, *value};
        skip_blanks(s);
        if (!s.empty() && s.front() == ',') {
            s.remove_prefix(1);
        } else if (s.empty() || s.front() != '}') {
            return false;
        }
    }
}

bool take_value(std::string_view token, top_prom_line_s &sample) {
    if (token == "NaN") {
        sample.value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (token == "+Inf" || token == "Inf") {
        sample.value = std::numeric_limits<double>::infinity();
        return true;
    }
    if (token == "-Inf") {
        sample.value = -std::numeric_limits<double>::infinity();
        return true;
    }
    unsigned long long integer = 0;
    auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), integer);
    if (ec == std::errc() && end == token.data() + token.size()) {
        sample.exact = integer;
        sample.value = static_cast<double>(integer);
        return true;
    }
    // Decimal and exponent forms; a leading '+' is allowed by the format.
    if (!token.empty() && token.front() == '+') {
        token.remove_prefix(1);
    }
    double v = 0;
    auto [stop, dec] = std::from_chars(token.data(), token.data() + token.size(), v);
    if (token.empty() || dec != std::errc() || stop != token.data() + token.size()) {
        return false;
    }
    sample.value = v;
    return true;
}

}  // namespace

std::string_view top_prom_line_s::label(std::string_view key) const {
    for (size_t i = 0; i < label_count; ++i) {
        if (labels[i].first == key) {
            return labels[i].second;
        }
    }
    return {};
}

bool top_prom_read_line(std::string_view line, top_prom_line_s &out, std::string_view expected_name) {
    out.label_count = 0;
    out.escaped = false;
    out.exact.reset();
    skip_blanks(line);
    // The name expected is confirmed with one comparison, where it is the
    // whole name (the next byte does not continue it).
    if (!expected_name.empty() && line.starts_with(expected_name) &&
        (line.size() == expected_name.size() || !has_class(line[expected_name.size()], k_continues_name))) {
        out.name = line.substr(0, expected_name.size());
        out.name_expected = true;
        line.remove_prefix(expected_name.size());
    } else {
        out.name = take_name(line);
        out.name_expected = false;
    }
    if (out.name.empty()) {
        return false;
    }
    skip_blanks(line);
    if (!line.empty() && line.front() == '{' && !take_labels(line, out)) {
        return false;
    }
    skip_blanks(line);
    // An optional time stamp may follow the value; it is not used.
    size_t value_end = 0;
    while (value_end < line.size() && line[value_end] != ' ' && line[value_end] != '\t') {
        ++value_end;
    }
    return take_value(line.substr(0, value_end), out);
}

std::string top_prom_unescape(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) {
            ++i;
            out += raw[i] == 'n' ? '\n' : raw[i];
        } else {
            out += raw[i];
        }
    }
    return out;
}

const std::string *top_prom_sample_s::label(std::string_view key) const {
    for (const auto &[k, v] : labels) {
        if (k == key) {
            return &v;
        }
    }
    return nullptr;
}

top_prom_parse_s top_prom_parse(std::string_view text) {
    top_prom_parse_s result;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') {
            continue;
        }
        top_prom_line_s parsed;
        if (!top_prom_read_line(line, parsed)) {
            ++result.bad_lines;
            continue;
        }
        top_prom_sample_s &sample = result.samples.emplace_back();
        sample.name = parsed.name;
        for (size_t i = 0; i < parsed.label_count; ++i) {
            sample.labels.emplace_back(parsed.labels[i].first, top_prom_unescape(parsed.labels[i].second));
        }
        sample.value = parsed.value;
        sample.exact = parsed.exact;
    }
    return result;
}
