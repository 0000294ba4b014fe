// The Prometheus text exposition format (version 0.0.4) of the registry.
#pragma once

#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/metrics/talonmon_process_metrics.hpp"

#include <string>
#include <string_view>

inline constexpr const char *k_metrics_content_type = "text/plain; version=0.0.4";

// Renders every metric family with its HELP and TYPE lines. Counter values
// are written as exact decimal integers; a reader that keeps them as float64
// (Prometheus does) holds them exactly only up to 2^53.
std::string talonmon_metrics_render(const talonmon_metrics_registry &registry,
                                    const talonmon_process_metrics_s &process, std::string_view version);

// The same into `out`, replacing what it held: a buffer reused from scrape
// to scrape keeps its memory.
void talonmon_metrics_render_to(std::string &out, const talonmon_metrics_registry &registry,
                                const talonmon_process_metrics_s &process, std::string_view version);

// A label value as the format wants it: backslash, double quote and line
// feed escaped, and bytes that are not well-formed UTF-8 replaced by U+FFFD.
void talonmon_metrics_append_label_value(std::string &out, std::string_view value);
