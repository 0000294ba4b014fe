// The exact text of telemetry lines.
#include "monitor/talonmon_jsonl.hpp"
#include "utils/log/utf8.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

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

TEST(Jsonl, IdAndNameAreJoinedOnlyWhenPresent) {
    EXPECT_EQ(render("", ""), k_prefix + R"("lif": {"counters": []}})");
    EXPECT_EQ(render("abc", ""), k_prefix + R"("lif": {"id": "abc","counters": []}})");
    EXPECT_EQ(render("", "lif0"), k_prefix + R"("lif": {"name": "lif0","counters": []}})");
}

// Names come from the card: escaped for JSON, and each ill-formed UTF-8
// sequence becomes U+FFFD as Python's bytes.decode("utf-8", errors="replace") does.
TEST(Jsonl, NamesFromTheCardAreEscapedAndMadeValidUtf8) {
    const std::string fffd = "\xef\xbf\xbd";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"we\"ird\\na\tme\x01", R"(we\"ird\\na\tme\u0001)"},
        {"bad\xff\xfe", "bad" + fffd + fffd},
        {"eth\xe2\x82", "eth" + fffd},                     // cut inside a character at the length limit
        {"\xe0\x80\xaf", fffd + fffd + fffd},             // overlong '/' in three bytes
        {"\xed\xa0\x80x", fffd + fffd + fffd + "x"},      // encoded surrogate
        {"\xf4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
    };
    for (const auto &[raw, expected] : cases) {
        EXPECT_EQ(render(raw, raw),
                  k_prefix + R"("lif": {"id": ")" + expected + R"(","name": ")" + expected + R"(","counters": []}})");
    }
}

// Text with nothing to escape is copied whole; one character that needs
// escaping, alone among plain ones, is enough to leave that path.
TEST(Jsonl, EachControlCharacterAloneIsEscaped) {
    const std::pair<char, std::string> named[] = {{'\n', "\\n"}, {'\r', "\\r"}, {'\t', "\\t"},
                                                  {'\b', "\\b"}, {'\f', "\\f"}, {'"', "\\\""},
                                                  {'\\', "\\\\"}};
    for (int c = 0; c < 0x20; ++c) {
        std::string expected = fmt::format("\\u{:04x}", c);
        for (const auto &[raw, escaped] : named) {
            if (raw == c) {
                expected = escaped;
            }
        }
        std::string out = "x";
        utils::append_json_escaped(out, std::string("ab") + static_cast<char>(c) + "cd");
        EXPECT_EQ(out, "xab" + expected + "cd") << c;
    }
    for (const auto &[raw, escaped] : named) {
        std::string out;
        utils::append_json_escaped(out, std::string(1, raw));
        EXPECT_EQ(out, escaped);
    }
    std::string out = "x";
    utils::append_json_escaped(out, " ~plain\x7f");
    EXPECT_EQ(out, "x ~plain\x7f") << "space, tilde and DEL need no escape";
    out.clear();
    utils::append_json_escaped(out, "\xc2\x80\xc2\x9f\xc2\xa0");
    EXPECT_EQ(out, "\\u0080\\u009f\xc2\xa0") << "C1 controls are escaped, U+00A0 is not";
}

TEST(Jsonl, TimestampHasMillisecondsInLocalTime) {
    ::setenv("TZ", "Asia/Kolkata", 1);
    ::tzset();
    // 2026-03-14 09:26:54 UTC plus 58 ms and some nanoseconds.
    EXPECT_EQ(talonmon_timestamp_text(1773480414ULL * 1000000000ULL + 58999999ULL), "2026-03-14 14:56:54.058");
    ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
