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
