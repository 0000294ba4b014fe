// The telemetry line renderer with arbitrary card, entity and counter names:
// every line is exactly one JSON object in well-formed UTF-8, holds the
// fields of its record, and gives back each name unchanged when the name
// was well-formed UTF-8 already.
#include "monitor/talonmon_jsonl.hpp"
#include "monitor/talonmon_line_parts.hpp"
#include "tests/fuzz/fuzz_support.hpp"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <cinttypes>

namespace {

constexpr size_t k_max_name = 300;

// Insertion order kept: the section is the last member of a line. A missing
// member throws, which stops the run like a failed check.
using json = nlohmann::ordered_json;

// The member `key` is `original` when that was valid UTF-8 (the library's
// strict encoder refuses anything else); otherwise it carries at most one
// U+FFFD per bad byte.
void check_text(const json &obj, const char *key, const std::string &original) {
    const auto &text = obj.at(key).get_ref<const std::string &>();  // throws unless a string
    try {
        (void)json(original).dump();
        FUZZ_CHECK(text == original, "%s changed on the way", key);
    } catch (const json::type_error &) {
        FUZZ_CHECK(text.size() <= 3 * original.size() && text.find("\xef\xbf\xbd") != std::string::npos,
                   "%s was not repaired by replacement", key);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const aml_card_handle_s card{in.ConsumeRandomLengthString(k_max_name), in.ConsumeRandomLengthString(k_max_name)};
    const std::string id = in.ConsumeRandomLengthString(k_max_name);
    const std::string name = in.ConsumeRandomLengthString(k_max_name);
    talonmon_telemetry_record_s record{};
    record.type = static_cast<talonmon_telemetry_type_e>(in.ConsumeIntegralInRange<uint32_t>(0, 4));
    record.record_type.type = in.ConsumeIntegralInRange<uint32_t>(0, 4);
    record.id = in.ConsumeBool() ? &id : nullptr;
    record.name = in.ConsumeBool() ? &name : nullptr;
    record.description = in.ConsumeRandomLengthString(k_max_name);
    std::vector<talonmon_telemetry_counter_s> counters(in.ConsumeIntegralInRange<size_t>(0, 8));
    for (auto &c : counters) {
        c = {in.ConsumeRandomLengthString(k_max_name), 0, true, 0, true, true};
        record.counters.push_back({&c, in.ConsumeIntegral<uint64_t>()});
    }

    std::string line = "untouched";
    const sdk::sdk_ret_t rc = generate_jsonl_from_telemetry_record(card, record, line);
    if (rc != sdk::SDK_RET_OK) {
        FUZZ_CHECK(rc == k_jsonl_unrenderable && line == "untouched", "status %d, line changed", static_cast<int>(rc));
        return 0;
    }
    // The parser refuses anything but one JSON value in well-formed UTF-8.
    const json parsed = json::parse(line, nullptr, false);
    FUZZ_CHECK(line.find('\n') == std::string::npos && parsed.is_object() && parsed.size() == 4 &&
                   parsed.at("timestamp").is_string() && parsed.back().is_object(),
               "not one JSON object of a timestamp and three more members on one line: %s", line.c_str());
    check_text(parsed, "uuid", card.uuid);
    check_text(parsed, "bdf", card.bdf);
    const json &section = parsed.back();
    for (const auto &[key, text] : {std::pair{"id", record.id}, std::pair{"name", record.name}}) {
        if (text != nullptr && !text->empty()) {
            check_text(section, key, *text);
        }
    }
    if (record.type == TALONMON_TELEMETRY_TYPE_HEALTH) {
        check_text(section, "description", record.description);
        return 0;
    }
    const json &list = section.at("counters");
    FUZZ_CHECK(list.is_array() && list.size() == counters.size(), "counters list does not match the record");
    for (size_t i = 0; i < list.size(); ++i) {
        check_text(list[i], "name", counters[i].name);
        const json &v = list[i].at("value");
        FUZZ_CHECK(v.is_number_unsigned() && v.get<uint64_t>() == record.counters[i].value,
                   "value %" PRIu64 " rendered as %s", record.counters[i].value, v.dump().c_str());
    }
    // The same line assembled from parts escaped once (as sampling passes
    // write it) differs only in its time stamp and its line feed.
    const talonmon_line_parts_s parts = talonmon_make_line_parts(
        card, static_cast<talonmon_record_type_e>(record.record_type.type), record.id ? *record.id : "", record.name ? *record.name : "");
    std::string from_parts;
    talonmon_render_counters_line(parts, record, 0, from_parts);
    const size_t stamp = parts.head.size() + talonmon_format_timestamp(0).length;
    FUZZ_CHECK(from_parts.compare(0, parts.head.size(), line, 0, parts.head.size()) == 0 &&
                   from_parts.substr(stamp) == line.substr(stamp) + "\n",
               "from parts: %s", from_parts.c_str());
    return 0;
}
