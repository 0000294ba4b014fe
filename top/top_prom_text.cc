#include "top/top_prom_text.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

bool is_name_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}

bool is_name_char(char c) {
    return is_name_start(c) || (c >= '0' && c <= '9');
}

void skip_blanks(std::string_view &s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
}

std::optional<std::string> take_name(std::string_view &s) {
    if (s.empty() || !is_name_start(s.front())) {
        return std::nullopt;
    }
    size_t n = 1;
    while (n < s.size() && is_name_char(s[n])) {
        ++n;
    }
    std::string name(s.substr(0, n));
    s.remove_prefix(n);
    return name;
}

// A quoted label value with the escapes \\, \" and \n.
std::optional<std::string> take_quoted(std::string_view &s) {
    if (s.empty() || s.front() != '"') {
        return std::nullopt;
    }
    s.remove_prefix(1);
    std::string out;
    while (!s.empty()) {
        const char c = s.front();
        s.remove_prefix(1);
        if (c == '"') {
            return out;
        }
        if (c == '\\') {
            if (s.empty()) {
                return std::nullopt;
            }
            const char e = s.front();
            s.remove_prefix(1);
            out += e == 'n' ? '\n' : e;
        } else {
            out += c;
        }
    }
    return std::nullopt;
}

bool take_labels(std::string_view &s, top_prom_sample_s &sample) {
    s.remove_prefix(1);  // '{'
    for (;;) {
        skip_blanks(s);
        if (!s.empty() && s.front() == '}') {
            s.remove_prefix(1);
            return true;
        }
        auto key = take_name(s);
        skip_blanks(s);
        if (!key || s.empty() || s.front() != '=') {
            return false;
        }
        s.remove_prefix(1);
        skip_blanks(s);
        auto value = take_quoted(s);
        if (!value) {
            return false;
        }
        sample.labels.emplace_back(std::move(*key), std::move(*value));
        skip_blanks(s);
        if (!s.empty() && s.front() == ',') {
            s.remove_prefix(1);
        } else if (s.empty() || s.front() != '}') {
            return false;
        }
    }
}

bool take_value(std::string_view token, top_prom_sample_s &sample) {
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
    // strtod needs a terminated string; the token is short.
    const std::string text(token);
    char *stop = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &stop);
    if (text.empty() || stop != text.c_str() + text.size()) {
        return false;
    }
    sample.value = v;
    return true;
}

std::optional<top_prom_sample_s> parse_line(std::string_view line) {
    top_prom_sample_s sample;
    skip_blanks(line);
    auto name = take_name(line);
    if (!name) {
        return std::nullopt;
    }
    sample.name = std::move(*name);
    skip_blanks(line);
    if (!line.empty() && line.front() == '{' && !take_labels(line, sample)) {
        return std::nullopt;
    }
    skip_blanks(line);
    const size_t end = line.find_first_of(" \t");
    if (!take_value(line.substr(0, end), sample)) {
        return std::nullopt;
    }
    // An optional timestamp may follow; it is not used.
    return sample;
}

}  // namespace

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
        if (auto sample = parse_line(line)) {
            result.samples.push_back(std::move(*sample));
        } else {
            ++result.bad_lines;
        }
    }
    return result;
}
