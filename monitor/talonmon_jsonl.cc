#include "monitor/talonmon_jsonl.hpp"

#include "utils/log/utf8.hpp"

#include <fmt/format.h>

#include <cstring>
#include <ctime>

namespace {

constexpr uint64_t k_ns_per_sec = 1000000000;
constexpr uint64_t k_ns_per_ms = 1000000;
constexpr uint64_t k_ms_per_sec = 1000;
constexpr unsigned k_hundreds = 100;
constexpr unsigned k_tens = 10;
// ".mmm"
constexpr size_t k_millis_length = 4;

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

}  // namespace

uint64_t talonmon_wall_clock_ns() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * k_ns_per_sec + static_cast<uint64_t>(ts.tv_nsec);
}

talonmon_timestamp_s talonmon_format_timestamp(uint64_t epoch_ns) {
    // Each thread keeps the text of the last second it formatted: lines of
    // the same second share it, and no state is shared between threads.
    thread_local time_t cached_second = -1;
    thread_local char cached_text[k_time_buf_size];
    thread_local size_t cached_length = 0;
    const time_t seconds = static_cast<time_t>(epoch_ns / k_ns_per_sec);
    if (seconds != cached_second) {
        struct tm local {};
        ::localtime_r(&seconds, &local);
        // Room is left for the milliseconds.
        cached_length = std::strftime(cached_text, sizeof(cached_text) - k_millis_length, "%Y-%m-%d %H:%M:%S", &local);
        cached_second = seconds;
    }
    talonmon_timestamp_s stamp;
    std::memcpy(stamp.text, cached_text, cached_length);
    const auto millis = static_cast<unsigned>((epoch_ns / k_ns_per_ms) % k_ms_per_sec);
    char *ms = stamp.text + cached_length;
    ms[0] = '.';
    ms[1] = static_cast<char>('0' + millis / k_hundreds);
    ms[2] = static_cast<char>('0' + millis / k_tens % k_tens);
    ms[3] = static_cast<char>('0' + millis % k_tens);
    stamp.length = cached_length + k_millis_length;
    return stamp;
}

std::string talonmon_timestamp_text(uint64_t epoch_ns) {
    return std::string(talonmon_format_timestamp(epoch_ns).view());
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
    utils::append_json_escaped(out, card.uuid);
    out += "\",\"bdf\": \"";
    utils::append_json_escaped(out, card.bdf);
    out += "\",\"timestamp\":\"";
    out += talonmon_format_timestamp(talonmon_wall_clock_ns()).view();
    out += "\",\"";
    out += key;
    out += "\": {";
    if (!id.empty()) {
        out += "\"id\": \"";
        utils::append_json_escaped(out, id);
        out += '"';
    }
    if (!id.empty() && !name.empty()) {
        out += ',';
    }
    if (!name.empty()) {
        out += "\"name\": \"";
        utils::append_json_escaped(out, name);
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
                utils::append_json_escaped(out, entry.counter->name);
            }
            out += "\",\"value\": ";
            fmt::format_to(std::back_inserter(out), "{}", entry.value);
            out += '}';
        }
        out += ']';
    } else {
        out += "\"description\": \"";
        utils::append_json_escaped(out, record.description);
        out += '"';
    }
    out += "}}";
    return sdk::SDK_RET_OK;
}
