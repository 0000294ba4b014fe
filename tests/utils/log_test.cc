// The trace log: boot count, line pattern, level routing and format errors.
#include "logger/logger.hpp"
#include "monitor/talonmon_trace.hpp"
#include "testkit/process.hpp"
#include "utils/log/boot_count.hpp"
#include "utils/log/error_handler.hpp"
#include "utils/log/trace.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace {

using test_support::read_lines;
using test_support::temp_dir;
using test_support::write_file;

class TraceTest : public testing::Test {
protected:
    void SetUp() override { ::setenv("PERSISTENT_LOG_DIR", dir_.path().c_str(), 1); }
    void TearDown() override {
        utils::trace_cleanup(g_trace_logger);
        g_trace_logger = nullptr;
        logger_init(nullptr);
        ::unsetenv("PERSISTENT_LOG_DIR");
    }
    void counter_file(const std::string &content) { write_file(dir_ / "boot_count.txt", content); }
    temp_dir dir_;
};

TEST_F(TraceTest, FirstLineIsTheBootNumber) {
    EXPECT_EQ(utils::boot_count_get(), 0) << "absent file";
    const std::pair<std::string, int32_t> cases[] = {
        {"", 0}, {" 42 and more\n13\n", 42}, {"abc\n5\n", 0}, {"\n5\n", 0}, {"-1\n", -1}};
    for (const auto &[content, count] : cases) {
        counter_file(content);
        EXPECT_EQ(utils::boot_count_get(), count) << content;
    }
    EXPECT_EQ(utils::boot_banner(-1), "*** Boot #4294967295 ***\n");
}

int g_hook_calls = 0;
void count_hook(std::FILE *) { ++g_hook_calls; }

// Traces from a plain function: the line names it, unqualified, as __func__ does.
int trace_from_helper(int value) {
    TRACE_INFO("helper {}", value);
    return __LINE__ - 1;
}

TEST_F(TraceTest, MessagesGoToTheirFilesInThePatternAndRejectedFormatsAreReported) {
    counter_file("7\n");
    talonmon_init_params_s params{};
    params.log_dir = dir_ / "logs";  // missing: created
    ASSERT_EQ(talonmon_trace_init(&params), 0);

    const int first_line = __LINE__ + 1;
    TRACE_ERR("TALON {} - Failed to initialize PAL, err : {}", "0000:41:00.0", -1);
    TRACE_INFO("info {}", 1);
    TRACE_DEBUG("debug {}", 2);
    TRACE_VERBOSE("verbose {}", 3);
    const int helper_line = trace_from_helper(4);
    // A format the arguments do not fit runs the hook, is reported and
    // writes no line.
    utils::set_format_error_hook(&count_hook);
    testing::internal::CaptureStderr();
    std::string text = "text";
    utils::trace_vlog(g_trace_logger->logger(), trace_level_info, {__FILE__, __LINE__, __func__}, "value {:d}",
                      fmt::make_format_args(text));
    const std::string err = testing::internal::GetCapturedStderr();
    utils::set_format_error_hook(nullptr);
    EXPECT_EQ(g_hook_calls, 1);
    EXPECT_EQ(err.rfind("spdlog error: ", 0), 0u) << err;

    const std::regex line_re(R"(([EID]) \[7 \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\] \(\d+\) (.*))");
    auto main_lines = read_lines(params.log_dir + "/talonmon.log");
    ASSERT_EQ(main_lines.size(), 5u);
    EXPECT_EQ(main_lines[0], "*** Boot #7 ***");
    std::vector<std::string> texts;
    for (size_t i = 1; i < main_lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(main_lines[i], m, line_re)) << main_lines[i];
        texts.push_back(m[1].str() + " " + m[2].str());
    }
    auto at = [](const char *func, int line) { return "[" + std::string(func) + ":" + std::to_string(line) + "] "; };
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "E " + at("TestBody", first_line) + "TALON 0000:41:00.0 - Failed to initialize PAL, err : -1",
                         "I " + at("TestBody", first_line + 1) + "info 1",
                         "D " + at("TestBody", first_line + 2) + "debug 2",
                         "I " + at("trace_from_helper", helper_line) + "helper 4"}));
    testing::internal::CaptureStdout();
    LOGGER_ERR("lower layer %d", 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the lower layers' messages are discarded";
    EXPECT_EQ(read_lines(params.log_dir + "/talonmon-err.log").size(), 2u) << "the banner and the error";
}

}  // namespace
