// Parsing of the Prometheus text exposition format (version 0.0.4) into
// samples: metric name, labels, value. Lines that do not parse are counted
// and skipped, never fatal.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct top_prom_sample_s {
    std::string name;
    std::vector<std::pair<std::string, std::string>> labels;
    double value = 0;
    // The value written as a plain decimal integer that fits 64 bits, read
    // exactly (a double holds integers exactly only up to 2^53).
    std::optional<unsigned long long> exact;

    const std::string *label(std::string_view key) const;
};

struct top_prom_parse_s {
    std::vector<top_prom_sample_s> samples;
    size_t bad_lines = 0;
};

top_prom_parse_s top_prom_parse(std::string_view text);

// One sample line read in place: views into the line, label values as
// written (still escaped where `escaped`). At most k_top_prom_max_labels
// labels; a line with more does not parse.
inline constexpr size_t k_top_prom_max_labels = 16;
struct top_prom_line_s {
    std::string_view name;
    bool name_expected = false;  // the name is the one expected
    std::pair<std::string_view, std::string_view> labels[k_top_prom_max_labels];
    size_t label_count = 0;
    bool escaped = false;  // some label value holds a backslash escape
    double value = 0;
    std::optional<unsigned long long> exact;

    std::string_view label(std::string_view key) const;
};
// False when the line does not parse. `expected_name`, when given, is the
// name the line most likely has (that of the line before, say): a line that
// has it is read faster.
bool top_prom_read_line(std::string_view line, top_prom_line_s &out, std::string_view expected_name = {});
// A label value as written, with its escapes (\\, \", \n) undone.
std::string top_prom_unescape(std::string_view raw);
