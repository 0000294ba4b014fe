// The exact text of telemetry lines.
#include "monitor/talonmon_jsonl.hpp"
#include "monitor/talonmon_line_parts.hpp"
#include "utils/log/utf8.hpp"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <ctime>
#include <limits>
#include <map>
#include <random>
#include <regex>
#include <vector>

namespace {

const aml_card_handle_s k_card{"5f1c9a2e-7b3d-4c8e-9a10-2b3c4d5e6f70", "0000:41:00.0"};
const std::string k_prefix =
    R"({"uuid": "5f1c9a2e-7b3d-4c8e-9a10-2b3c4d5e6f70","bdf": "0000:41:00.0","timestamp":"T",)";

// The line of a LIF statistics record without counters, its timestamp
// replaced by T after checking its form.
std::string render(std::string id, std::string name) {
    talonmon_telemetry_record_s record{};
    record.type = TALONMON_TELEMETRY_TYPE_STATS;
    record.record_type.type = TALONMON_RECORD_TYPE_LIF;
    record.id = &id;
    record.name = &name;
    std::string line = "unchanged";
    EXPECT_EQ(generate_jsonl_from_telemetry_record(k_card, record, line), 0);
    static const std::regex ts(R"("timestamp":"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\")");
    EXPECT_TRUE(std::regex_search(line, ts)) << line;
    return std::regex_replace(line, ts, R"("timestamp":"T")");
}

// Names come from the card: left out when empty, escaped for JSON (each
// control character alone among plain text, so the copy of plain text is
// left for it), and each ill-formed UTF-8 sequence becomes U+FFFD as
// Python's bytes.decode("utf-8", errors="replace") does.
TEST(Jsonl, NamesFromTheCardAreEscapedAndMadeValidUtf8) {
    EXPECT_EQ(render("", ""), k_prefix + R"("lif": {"counters": []}})");
    EXPECT_EQ(render("abc", ""), k_prefix + R"("lif": {"id": "abc","counters": []}})");
    EXPECT_EQ(render("", "lif0"), k_prefix + R"("lif": {"name": "lif0","counters": []}})");
    const std::string fffd = "\xef\xbf\xbd";
    std::vector<std::pair<std::string, std::string>> cases = {
        {"we\"ird\\na\tme\x01", R"(we\"ird\\na\tme\u0001)"},
        {"bad\xff\xfe", "bad" + fffd + fffd},
        {"eth\xe2\x82", "eth" + fffd},                     // cut inside a character at the length limit
        {"\xc0\xaf", fffd + fffd},                       // overlong '/' in two bytes
        {"\xe0\x80\xaf", fffd + fffd + fffd},             // overlong '/' in three bytes
        {"\xed\xa0\x80x", fffd + fffd + fffd + "x"},      // encoded surrogate
        {"\xf4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {" ~plain\x7f", " ~plain\x7f"},                              // space, tilde and DEL need no escape
        {"\xc2\x80\xc2\x9f\xc2\xa0", "\\u0080\\u009f\xc2\xa0"},  // C1 controls, not U+00A0
    };
    const std::map<char, std::string> named = {
        {'\n', "\\n"}, {'\r', "\\r"}, {'\t', "\\t"}, {'\b', "\\b"}, {'\f', "\\f"}};
    for (char c = 0; c < 0x20; ++c) {
        const auto found = named.find(c);
        cases.push_back({std::string("ab") + c + "cd",
                         "ab" + (found != named.end() ? found->second : fmt::format("\\u{:04x}", c)) + "cd"});
    }
    for (const auto &[raw, expected] : cases) {
        EXPECT_EQ(render(raw, raw),
                  k_prefix + R"("lif": {"id": ")" + expected + R"(","name": ")" + expected + R"(","counters": []}})");
    }
}

// Lines assembled from parts escaped once are byte for byte the lines
// rendered from the record's fields, over random records whose names mix
// every class of text the escaper treats apart, with time stamps checked
// against the C library across second boundaries in both directions.
TEST(Jsonl, LinesFromEscapedPartsMatchLinesRenderedWhole) {
    const std::vector<std::string> pieces = {"eth1/1", "\"", "\\", "\n", "\t", "\x01", "\x1f", "\x7f", "caf\xc3\xa9",
                                             "\xf0\x9f\x98\x80", "\xff", "\xe2\x82", "\xed\xa0\x80", " ~"};
    std::mt19937_64 rng(20261207);
    auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
    auto random_text = [&] {
        std::string text;
        for (size_t n = pick(4); n > 0; --n) {
            text += pieces[pick(pieces.size())];
        }
        return text;  // empty in a quarter of the cases
    };
    const std::regex ts(R"("timestamp":"[^"]*")");
    ::setenv("TZ", "America/St_Johns", 1);  // a half-hour offset
    ::tzset();
    uint64_t epoch_ns = 1773480414ULL * 1000000000ULL;
    for (int i = 0; i < 400; ++i) {
        const aml_card_handle_s card{random_text(), random_text()};
        const std::string id = random_text();
        const std::string name = random_text();
        std::vector<talonmon_telemetry_counter_s> counters(pick(4));
        for (size_t c = 0; c < counters.size(); ++c) {
            counters[c].name = random_text();
            if (pick(2) == 0) {
                counters[c].line_part = talonmon_counter_line_part(counters[c].name);
            }
        }
        talonmon_telemetry_record_s record{};
        record.type = pick(2) == 0 ? TALONMON_TELEMETRY_TYPE_STATS : TALONMON_TELEMETRY_TYPE_EVENT;
        const auto kind = pick(2) == 0 ? TALONMON_RECORD_TYPE_LIF : TALONMON_RECORD_TYPE_PORT;
        record.record_type.type = kind;
        record.id = &id;
        record.name = &name;
        for (size_t n = pick(6); n > 0; --n) {
            const uint64_t values[] = {0, rng(), std::numeric_limits<uint64_t>::max(), 1583312};
            record.counters.push_back({counters.empty() ? nullptr : &counters[pick(counters.size())], values[pick(4)]});
        }
        std::string whole;
        ASSERT_EQ(generate_jsonl_from_telemetry_record(card, record, whole), 0);
        std::string from_parts = "stale";
        talonmon_render_counters_line(talonmon_make_line_parts(card, kind, id, name), record, epoch_ns, from_parts);
        EXPECT_EQ(std::regex_replace(from_parts, ts, "T"), std::regex_replace(whole, ts, "T") + "\n");

        const auto local = fmt::localtime(static_cast<time_t>(epoch_ns / 1000000000));
        const std::string stamp =
            fmt::format(R"("timestamp":"{:%Y-%m-%d %H:%M:%S}.{:03}")", local, epoch_ns / 1000000 % 1000);
        EXPECT_NE(from_parts.find(stamp), std::string::npos) << from_parts;
        // Forward within and across seconds, now and then back by hours.
        const uint64_t steps[] = {1, 999999, 1000000, 400000000, 3600000000000ULL};
        epoch_ns = pick(8) == 0 ? epoch_ns - 7200000000000ULL : epoch_ns + steps[pick(5)];
    }
    ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
