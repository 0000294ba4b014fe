// The exact text of telemetry lines.
#include "monitor/talonmon_jsonl.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <vector>

namespace {

const aml_card_handle_s k_card{"5f1c9a2e-7b3d-4c8e-9a10-2b3c4d5e6f70", "0000:41:00.0"};
const std::string k_prefix =
    R"({"uuid": "5f1c9a2e-7b3d-4c8e-9a10-2b3c4d5e6f70","bdf": "0000:41:00.0","timestamp":")";

// The line with its timestamp replaced by T, after checking its form.
std::string render(const talonmon_telemetry_record_s &record) {
    std::string line = "unchanged";
    EXPECT_EQ(generate_jsonl_from_telemetry_record(k_card, record, line), 0);
    std::smatch m;
    static const std::regex ts(R"("timestamp":"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})\")");
    EXPECT_TRUE(std::regex_search(line, m, ts)) << line;
    return std::regex_replace(line, ts, R"("timestamp":"T")");
}

TEST(Jsonl, CountersFormMatchesTheDocumentedLine) {
    talonmon_telemetry_counter_s tx{"frames_tx_ok", 0, true, 0, false, true};
    talonmon_telemetry_counter_s rx{"frames_rx_ok", 16, true, 0, false, true};
    std::string id = "0a0b0c0d-0e0f-1011-1213-141516171819", name = "eth1/1";
    talonmon_telemetry_record_s record{};
    record.type = TALONMON_TELEMETRY_TYPE_STATS;
    record.record_type.type = TALONMON_RECORD_TYPE_PORT;
    record.id = &id;
    record.name = &name;
    record.counters = {{&tx, 1583312}, {&rx, 1590027}};
    EXPECT_EQ(render(record),
              R"({"uuid": "5f1c9a2e-7b3d-4c8e-9a10-2b3c4d5e6f70","bdf": "0000:41:00.0","timestamp":"T",)"
              R"("port": {"id": "0a0b0c0d-0e0f-1011-1213-141516171819","name": "eth1/1","counters": )"
              R"([{"name": "frames_tx_ok","value": 1583312}, {"name": "frames_rx_ok","value": 1590027}]}})");

    record.type = TALONMON_TELEMETRY_TYPE_EVENT;
    record.record_type.type = TALONMON_RECORD_TYPE_LIF;
    record.counters = {{&tx, 18446744073709551615ULL}};
    EXPECT_NE(render(record).find(R"("lif": {"id": )"), std::string::npos);
    EXPECT_NE(render(record).find(R"("value": 18446744073709551615}]}})"), std::string::npos);
}

TEST(Jsonl, IdAndNameAreJoinedOnlyWhenPresent) {
    std::string empty, id = "abc", name = "lif0";
    talonmon_telemetry_record_s record{};
    record.type = TALONMON_TELEMETRY_TYPE_STATS;
    record.record_type.type = TALONMON_RECORD_TYPE_LIF;
    record.id = &empty;
    record.name = &empty;
    EXPECT_EQ(render(record), k_prefix + R"(T","lif": {"counters": []}})");
    record.id = &id;
    EXPECT_EQ(render(record), k_prefix + R"(T","lif": {"id": "abc","counters": []}})");
    record.id = &empty;
    record.name = &name;
    EXPECT_EQ(render(record), k_prefix + R"(T","lif": {"name": "lif0","counters": []}})");
}

TEST(Jsonl, HealthRecordsUseTheDescriptionForm) {
    std::string id = k_card.uuid, empty;
    talonmon_telemetry_record_s record{};
    record.type = TALONMON_TELEMETRY_TYPE_HEALTH;
    record.record_type.type = TALONMON_RECORD_TYPE_CARD;
    record.id = &id;
    record.name = &empty;
    record.description = "card down detected";
    EXPECT_EQ(render(record), k_prefix + R"(T","card": {"id": "5f1c9a2e-7b3d-4c8e-9a10-2b3c4d5e6f70",)"
                                         R"("description": "card down detected"}})");
    record.record_type.type = 7;
    EXPECT_NE(render(record).find(R"("unknown": {"id": )"), std::string::npos);
}

TEST(Jsonl, UnrenderableRecordsLeaveTheLineAlone) {
    std::string id = "x";
    talonmon_telemetry_record_s record{};
    record.id = &id;
    record.name = &id;
    std::string line = "unchanged";
    for (uint32_t type : {0u, 4u}) {
        record.type = static_cast<talonmon_telemetry_type_e>(type);
        record.record_type.type = TALONMON_RECORD_TYPE_LIF;
        EXPECT_EQ(generate_jsonl_from_telemetry_record(k_card, record, line), 2);
    }
    record.type = TALONMON_TELEMETRY_TYPE_STATS;
    record.record_type.type = 7;
    EXPECT_EQ(generate_jsonl_from_telemetry_record(k_card, record, line), 2);
    EXPECT_EQ(line, "unchanged");
}

TEST(Jsonl, StringsFromTheCardAreEscaped) {
    std::string id = "id", name = "we\"ird\\na\tme\x01";
    talonmon_telemetry_record_s record{};
    record.type = TALONMON_TELEMETRY_TYPE_STATS;
    record.record_type.type = TALONMON_RECORD_TYPE_LIF;
    record.id = &id;
    record.name = &name;
    EXPECT_NE(render(record).find(R"("name": "we\"ird\\na\tme\u0001",)"), std::string::npos) << render(record);
}

TEST(Jsonl, IllFormedUtf8BecomesReplacementCharacters) {
    // Expected texts as Python's bytes.decode("utf-8", errors="replace") gives them.
    const std::string fffd = "\xef\xbf\xbd";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"bad\xff\xfe", "bad" + fffd + fffd},
        {"eth\xe2\x82", "eth" + fffd},                     // cut inside a character at the length limit
        {"\xf0\x9f\x98", fffd},                           // a four-byte character cut after three
        {"\xc0\xaf", fffd + fffd},                         // overlong '/'
        {"\xe0\x80\xaf", fffd + fffd + fffd},             // overlong '/' in three bytes
        {"\xed\xa0\x80x", fffd + fffd + fffd + "x"},      // encoded surrogate
        {"\xf4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
        {"\x80\xbf", fffd + fffd},                         // lone continuation bytes
        {"\xf8\x88\x80\x80\x80", fffd + fffd + fffd + fffd + fffd},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"a\xc3\xa9\xff\"\x01", "a\xc3\xa9" + fffd + "\\\"\\u0001"},
    };
    for (const auto &[raw, expected] : cases) {
        std::string id = raw, name = raw;
        talonmon_telemetry_record_s record{};
        record.type = TALONMON_TELEMETRY_TYPE_STATS;
        record.record_type.type = TALONMON_RECORD_TYPE_LIF;
        record.id = &id;
        record.name = &name;
        EXPECT_EQ(render(record),
                  k_prefix + R"(T","lif": {"id": ")" + expected + R"(","name": ")" + expected + R"(","counters": []}})");
    }
}

TEST(Jsonl, TimestampHasMillisecondsInLocalTime) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    // 2026-03-14 09:26:53 UTC plus 5 ms and some nanoseconds.
    EXPECT_EQ(talonmon_timestamp_text(1773480413ULL * 1000000000ULL + 5999999ULL), "2026-03-14 09:26:53.005");
    ::setenv("TZ", "Asia/Kolkata", 1);
    ::tzset();
    EXPECT_EQ(talonmon_timestamp_text(1773480414ULL * 1000000000ULL + 58000000ULL), "2026-03-14 14:56:54.058");
    ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
