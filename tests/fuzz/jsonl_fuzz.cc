// The telemetry line renderer with arbitrary card, entity and counter names:
// every line it renders is exactly one valid JSON object in well-formed
// UTF-8, holds the fields of its record, and gives back each name unchanged
// when the name was well-formed UTF-8 already.
#include "monitor/talonmon_jsonl.hpp"
#include "tests/fuzz/fuzz_support.hpp"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <cinttypes>
#include <deque>

namespace {

constexpr size_t k_max_name = 300;
constexpr size_t k_max_counters = 8;
constexpr uint32_t k_max_kind = 4;

// Insertion order kept: the section is the last member of a line.
using json = nlohmann::ordered_json;

const json &member(const json &obj, const char *key) {
    const auto it = obj.find(key);
    FUZZ_CHECK(it != obj.end(), "line has no \"%s\"", key);
    return *it;
}

// The library's strict encoder refuses ill-formed UTF-8 (overlong forms,
// surrogates, truncated sequences, anything above U+10FFFF).
bool valid_utf8(const std::string &text) {
    try {
        (void)json(text).dump();
        return true;
    } catch (const json::type_error &) {
        return false;
    }
}

// A rendered string is the name itself when the name was valid UTF-8;
// otherwise it is still valid (the parser checked) and never longer than
// three bytes per input byte (one U+FFFD each at most).
void check_text(const json &v, const std::string &original, const char *what) {
    FUZZ_CHECK(v.is_string(), "%s is not a string", what);
    const auto &text = v.get_ref<const std::string &>();
    if (valid_utf8(original)) {
        FUZZ_CHECK(text == original, "%s changed on the way", what);
    } else {
        FUZZ_CHECK(text.size() <= 3 * original.size(), "%s grew beyond replacement", what);
        FUZZ_CHECK(text.find("\xef\xbf\xbd") != std::string::npos, "%s lost no bad byte", what);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const aml_card_handle_s card{in.ConsumeRandomLengthString(k_max_name), in.ConsumeRandomLengthString(k_max_name)};
    const std::string id = in.ConsumeRandomLengthString(k_max_name);
    const std::string name = in.ConsumeRandomLengthString(k_max_name);
    talonmon_telemetry_record_s record{};
    record.type = static_cast<talonmon_telemetry_type_e>(in.ConsumeIntegralInRange<uint32_t>(0, k_max_kind));
    record.record_type.type = in.ConsumeIntegralInRange<uint32_t>(0, k_max_kind);
    record.id = in.ConsumeBool() ? &id : nullptr;
    record.name = in.ConsumeBool() ? &name : nullptr;
    record.description = in.ConsumeRandomLengthString(k_max_name);
    std::deque<talonmon_telemetry_counter_s> counters;
    const size_t n = in.ConsumeIntegralInRange<size_t>(0, k_max_counters);
    for (size_t i = 0; i < n; ++i) {
        counters.push_back({in.ConsumeRandomLengthString(k_max_name), 0, true, 0, true, true});
        record.counters.push_back({&counters.back(), in.ConsumeIntegral<uint64_t>()});
    }

    std::string line = "untouched";
    const sdk::sdk_ret_t rc = generate_jsonl_from_telemetry_record(card, record, line);
    if (rc != sdk::SDK_RET_OK) {
        FUZZ_CHECK(rc == k_jsonl_unrenderable, "unexpected status %d", static_cast<int>(rc));
        FUZZ_CHECK(line == "untouched", "a refused record changed the line");
        return 0;
    }
    FUZZ_CHECK(line.find('\n') == std::string::npos, "line holds a line break");
    // The parser refuses anything but one JSON value in well-formed UTF-8.
    const json parsed = json::parse(line, nullptr, false);
    FUZZ_CHECK(!parsed.is_discarded(), "not valid JSON in UTF-8: %s", line.c_str());
    FUZZ_CHECK(parsed.is_object(), "line is not an object");
    check_text(member(parsed, "uuid"), card.uuid, "uuid");
    check_text(member(parsed, "bdf"), card.bdf, "bdf");
    FUZZ_CHECK(member(parsed, "timestamp").is_string(), "timestamp is not a string");
    FUZZ_CHECK(parsed.size() == 4, "line has %zu members", parsed.size());
    const json &section = parsed.back();
    FUZZ_CHECK(section.is_object(), "section is not an object");
    if (record.id != nullptr && !id.empty()) {
        check_text(member(section, "id"), id, "id");
    }
    if (record.name != nullptr && !name.empty()) {
        check_text(member(section, "name"), name, "name");
    }
    if (record.type == TALONMON_TELEMETRY_TYPE_HEALTH) {
        check_text(member(section, "description"), record.description, "description");
        return 0;
    }
    const json &list = member(section, "counters");
    FUZZ_CHECK(list.is_array() && list.size() == record.counters.size(), "counters list does not match the record");
    for (size_t i = 0; i < list.size(); ++i) {
        check_text(member(list[i], "name"), record.counters[i].counter->name, "counter name");
        const json &v = member(list[i], "value");
        FUZZ_CHECK(v.is_number_unsigned() && v.get<uint64_t>() == record.counters[i].value,
                   "value %" PRIu64 " rendered as %s", record.counters[i].value, v.dump().c_str());
    }
    return 0;
}
