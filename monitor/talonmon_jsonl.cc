#include "monitor/talonmon_jsonl.hpp"

#include "utils/log/utf8.hpp"

#include <fmt/format.h>

#include <ctime>

namespace {

constexpr uint64_t k_ns_per_sec = 1000000000;
constexpr uint64_t k_ns_per_ms = 1000000;
constexpr uint64_t k_ms_per_sec = 1000;
constexpr size_t k_time_buf_size = 32;

const char *section_key(uint32_t record_type) {
    switch (record_type) {
    case TALONMON_RECORD_TYPE_CARD:
        return "card";
    case TALONMON_RECORD_TYPE_LIF:
        return "lif";
    case TALONMON_RECORD_TYPE_PORT:
        return "port";
    default:
        return nullptr;
    }
}

uint64_t wall_clock_ns() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * k_ns_per_sec + static_cast<uint64_t>(ts.tv_nsec);
}

constexpr unsigned char k_json_control_end = 0x20;
constexpr unsigned char k_ascii_end = 0x80;

// Bytes at or above 0x80 are checked for well-formed UTF-8.
bool needs_escape(unsigned char c) {
    return c < k_json_control_end || c == '"' || c == '\\' || c >= k_ascii_end;
}

}  // namespace

void talonmon_json_escape_append(std::string &out, const std::string &text) {
    bool plain = true;
    for (unsigned char c : text) {
        plain = plain && !needs_escape(c);
    }
    if (plain) {
        out += text;
        return;
    }
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c >= k_ascii_end) {
            // Well-formed UTF-8 is kept as it is; each ill-formed sequence
            // becomes one U+FFFD, so that every line stays valid UTF-8.
            std::size_t bad = 0;
            const std::size_t length = utils::utf8_sequence_length(std::string_view(text).substr(pos), bad);
            if (length != 0) {
                out.append(text, pos, length);
                pos += length - 1;
            } else {
                out += utils::k_utf8_replacement;
                pos += bad - 1;
            }
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (c < k_json_control_end) {
                fmt::format_to(std::back_inserter(out), "\\u{:04x}", c);
            } else {
                out += static_cast<char>(c);
            }
        }
    }
}

std::string talonmon_timestamp_text(uint64_t epoch_ns) {
    // Each thread keeps the text of the last second it rendered: lines of
    // the same second share it, and no state is shared between threads.
    thread_local time_t cached_second = -1;
    thread_local std::string cached_text;
    const time_t seconds = static_cast<time_t>(epoch_ns / k_ns_per_sec);
    if (seconds != cached_second) {
        struct tm local {};
        ::localtime_r(&seconds, &local);
        char buf[k_time_buf_size];
        size_t len = std::strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &local);
        cached_text.assign(buf, len);
        cached_second = seconds;
    }
    return fmt::format("{}.{:03d}", cached_text, (epoch_ns / k_ns_per_ms) % k_ms_per_sec);
}

sdk::sdk_ret_t generate_jsonl_from_telemetry_record(const aml_card_handle_s &card,
                                                    const talonmon_telemetry_record_s &record, std::string &line) {
    const char *key = section_key(record.record_type.type);
    bool counters_form;
    switch (record.type) {
    case TALONMON_TELEMETRY_TYPE_STATS:
    case TALONMON_TELEMETRY_TYPE_EVENT:
        if (key == nullptr) {
            return k_jsonl_unrenderable;
        }
        counters_form = true;
        break;
    case TALONMON_TELEMETRY_TYPE_HEALTH:
        counters_form = false;
        break;
    default:
        return k_jsonl_unrenderable;
    }
    if (key == nullptr) {
        key = "unknown";
    }
    static const std::string k_empty;
    const std::string &id = record.id ? *record.id : k_empty;
    const std::string &name = record.name ? *record.name : k_empty;

    // Rendered in place: a caller that reuses its line allocates nothing.
    std::string &out = line;
    out.clear();
    out.reserve(192 + 48 * record.counters.size());
    out += "{\"uuid\": \"";
    talonmon_json_escape_append(out, card.uuid);
    out += "\",\"bdf\": \"";
    talonmon_json_escape_append(out, card.bdf);
    out += "\",\"timestamp\":\"";
    out += talonmon_timestamp_text(wall_clock_ns());
    out += "\",\"";
    out += key;
    out += "\": {";
    if (!id.empty()) {
        out += "\"id\": \"";
        talonmon_json_escape_append(out, id);
        out += '"';
    }
    if (!id.empty() && !name.empty()) {
        out += ',';
    }
    if (!name.empty()) {
        out += "\"name\": \"";
        talonmon_json_escape_append(out, name);
        out += '"';
    }
    if (!id.empty() || !name.empty()) {
        out += ',';
    }
    if (counters_form) {
        out += "\"counters\": [";
        bool first = true;
        for (const auto &entry : record.counters) {
            if (!first) {
                out += ", ";
            }
            first = false;
            out += "{\"name\": \"";
            if (entry.counter) {
                talonmon_json_escape_append(out, entry.counter->name);
            }
            out += "\",\"value\": ";
            fmt::format_to(std::back_inserter(out), "{}", entry.value);
            out += '}';
        }
        out += ']';
    } else {
        out += "\"description\": \"";
        talonmon_json_escape_append(out, record.description);
        out += '"';
    }
    out += "}}";
    return sdk::SDK_RET_OK;
}
