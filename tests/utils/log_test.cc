// The trace log: boot banner, %Q, rotation, level routing and start-up failures.
#include "logger/logger.hpp"
#include "monitor/talonmon_trace.hpp"
#include "tests/support/process.hpp"
#include "utils/log/boot_count.hpp"
#include "utils/log/boot_flag.hpp"
#include "utils/log/error_handler.hpp"
#include "utils/log/rotating_file_sink.hpp"
#include "utils/log/trace.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

namespace {

using test_support::read_file;
using test_support::read_lines;
using test_support::temp_dir;
using test_support::write_file;

class BootCountTest : public testing::Test {
protected:
    void SetUp() override { ::setenv("PERSISTENT_LOG_DIR", dir_.path().c_str(), 1); }
    void TearDown() override { ::unsetenv("PERSISTENT_LOG_DIR"); }
    void counter_file(const std::string &content) { write_file(dir_ / "boot_count.txt", content); }
    temp_dir dir_;
};

TEST_F(BootCountTest, FirstLineIsTheBootNumber) {
    EXPECT_EQ(utils::boot_count_get(), 0) << "absent file";
    counter_file("");
    EXPECT_EQ(utils::boot_count_get(), 0) << "empty file";
    counter_file("7\n");
    EXPECT_EQ(utils::boot_count_get(), 7);
    counter_file(" 42 and more\n13\n");
    EXPECT_EQ(utils::boot_count_get(), 42);
    counter_file("abc\n5\n");
    EXPECT_EQ(utils::boot_count_get(), 0) << "not a number";
    counter_file("\n5\n");
    EXPECT_EQ(utils::boot_count_get(), 0) << "only the first line counts";
    counter_file("-1\n");
    EXPECT_EQ(utils::boot_count_get(), -1);
    EXPECT_EQ(utils::boot_banner(-1), "*** Boot #4294967295 ***\n");
    EXPECT_EQ(utils::boot_banner(7), "*** Boot #7 ***\n");
}

class RotationTest : public BootCountTest {
protected:
    std::shared_ptr<spdlog::logger> make_logger(const std::string &path, size_t max_size, size_t max_files) {
        auto sink = std::make_shared<utils::rotating_file_sink_mt>(path, max_size, max_files);
        auto logger = std::make_shared<spdlog::logger>("rotation", sink);
        logger->set_formatter(utils::make_pattern_formatter("%v"));
        return logger;
    }
    // 19 characters plus the newline: 20 bytes a line.
    static std::string line(char c) { return std::string(19, c); }
};

TEST_F(RotationTest, RotatesWhenTheNextLineWouldPassTheSize) {
    counter_file("3\n");
    const std::string path = dir_ / "card_stats.log";
    auto logger = make_logger(path, 100, 2);
    for (char c : {'a', 'b', 'c', 'd', 'e'}) {
        logger->info(line(c));
    }
    logger->flush();
    EXPECT_FALSE(test_support::file_exists(path + ".1")) << "exactly 100 bytes fit";

    logger->info(line('f'));
    logger->flush();
    auto rotated = read_lines(path + ".1");
    ASSERT_EQ(rotated.size(), 6u);
    EXPECT_EQ(rotated.front(), "*** Boot #3 ***");
    EXPECT_EQ(rotated.back(), line('e'));
    EXPECT_EQ(read_lines(path), (std::vector<std::string>{"*** Boot #3 ***", line('f')}));

    // Two more rotations: the oldest file is dropped, names never split the extension.
    for (int i = 0; i < 10; ++i) {
        logger->info(line('g' + i));
    }
    logger->flush();
    EXPECT_TRUE(test_support::file_exists(path + ".2"));
    EXPECT_FALSE(test_support::file_exists(path + ".3"));
    EXPECT_FALSE(test_support::file_exists(dir_ / "card_stats.1.log"));
    EXPECT_EQ(read_lines(path + ".2").back(), line('j'));
    EXPECT_EQ(read_lines(path).back(), line('p'));
}

TEST_F(RotationTest, WritingResumesWhenTheDirectoryReturns) {
    const std::string sub = dir_ / "tele";
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    const std::string path = sub + "/f.log";
    auto logger = make_logger(path, 40, 1);
    std::vector<std::string> errors;
    logger->set_error_handler([&](const std::string &msg) { errors.push_back(msg); });
    logger->info(line('a'));
    logger->info(line('b'));
    std::filesystem::remove_all(sub);
    logger->info(line('c'));  // rotation cannot reopen the file
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Failed opening file " + path + " for writing"), std::string::npos) << errors[0];
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    logger->info(line('d'));
    logger->flush();
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(read_lines(path), (std::vector<std::string>{"*** Boot #0 ***",
                                                          "Writing to " + path + " resumed, 1 line(s) lost", line('d')}));
}

// Traces from a plain function: the line names it, unqualified, as __func__ does.
int trace_from_helper(int value) {
    TRACE_INFO("helper {}", value);
    return __LINE__ - 1;
}

class TraceInitTest : public BootCountTest {
protected:
    void TearDown() override {
        utils::trace_cleanup(g_trace_logger);
        g_trace_logger = nullptr;
        logger_init(nullptr);
        BootCountTest::TearDown();
    }
};

TEST_F(TraceInitTest, MessagesGoToTheirFilesInThePattern) {
    counter_file("7\n");
    talonmon_init_params_s params{};
    params.log_dir = dir_ / "logs";  // missing: created with mode 0755
    ASSERT_EQ(talonmon_trace_init(&params), 0);
    ASSERT_NE(g_trace_logger, nullptr);
    struct stat st {};
    ASSERT_EQ(::stat(params.log_dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    const int first_line = __LINE__ + 1;
    TRACE_ERR("TALON {} - Failed to initialize PAL, err : {}", "0000:41:00.0", -1);
    TRACE_INFO("info {}", 1);
    TRACE_DEBUG("debug {}", 2);
    TRACE_VERBOSE("verbose {}", 3);
    const int helper_line = trace_from_helper(4);

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

    auto err_lines = read_lines(params.log_dir + "/talonmon-err.log");
    ASSERT_EQ(err_lines.size(), 2u);
    EXPECT_EQ(err_lines[0], "*** Boot #7 ***");
    EXPECT_NE(err_lines[1].find("Failed to initialize PAL"), std::string::npos);
}

TEST_F(TraceInitTest, DirectoryThatCannotBeCreatedFailsStartup) {
    talonmon_init_params_s params{};
    params.log_dir = dir_ / "missing/logs";
    testing::internal::CaptureStderr();
    EXPECT_EQ(talonmon_trace_init(&params), 255);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: failed to create log dir " + params.log_dir + "\nFailed to create log files, abort...\n");
    EXPECT_EQ(g_trace_logger, nullptr);
}

int g_hook_calls = 0;
void count_hook(std::FILE *) { ++g_hook_calls; }

TEST_F(TraceInitTest, RejectedFormatRunsTheHookAndIsReported) {
    talonmon_init_params_s params{};
    params.log_dir = dir_.path();
    ASSERT_EQ(talonmon_trace_init(&params), 0);
    utils::set_format_error_hook(&count_hook);
    testing::internal::CaptureStderr();
    std::string text = "text";
    utils::trace_vlog(g_trace_logger->logger(), trace_level_info, {__FILE__, __LINE__, __func__}, "value {:d}",
                      fmt::make_format_args(text));
    std::string err = testing::internal::GetCapturedStderr();
    utils::set_format_error_hook(nullptr);
    EXPECT_EQ(g_hook_calls, 1);
    EXPECT_EQ(err.rfind("spdlog error: ", 0), 0u) << err;
    EXPECT_EQ(read_lines(params.log_dir + "/talonmon.log").size(), 1u) << "only the banner";
}

}  // namespace
