// Log files: the trace log (boot count, line pattern, level routing and
// format errors), and file-system faults: a full disk, and rotation at the
// exact size; the monitor and whole-daemon tests see the rest (planted
// links and other users' files among them).
#include "logger/logger.hpp"
#include "monitor/talonmon_trace.hpp"
#include "testkit/process.hpp"
#include "utils/log/boot_count.hpp"
#include "utils/log/boot_flag.hpp"
#include "utils/log/error_handler.hpp"
#include "utils/log/rotating_file_sink.hpp"
#include "utils/log/trace.hpp"

#include <gtest/gtest.h>
#include <spdlog/logger.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <regex>

namespace {

using test_support::read_file;
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

// {"n": <sequence>,"pad": "xxx..."}: 100 bytes with the newline.
std::string numbered_line(int n) {
    std::string line = fmt::format(R"({{"n": {:06d},"pad": ")", n);
    line += std::string(99 - line.size() - 2, 'x') + "\"}";
    return line;
}

// Lines written one message at a time (1), or four to a write as sampling
// passes write them (4).
class FullDisk : public testing::TestWithParam<int> {};

TEST_P(FullDisk, LinesAreWholeAndRotationKeepsTheHistory) {
    const int batch = GetParam();
    temp_dir dir;
    const std::string disk = dir / "disk";
    ::mkdir(disk.c_str(), 0755);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs (needs root): " << std::strerror(errno);
    }
    struct unmount {
        std::string dir;
        ~unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount_at_end{disk};
    const std::string path = disk + "/stats.log";
    std::vector<std::string> errors;
    const size_t max_files = 4;  // more than the disk holds: nothing is rotated away while it fills
    // No multiple of the page size: the disk fills in the middle of a line.
    auto sink = std::make_shared<utils::rotating_file_sink_mt>(path, 20000, max_files);
    auto logger = std::make_shared<spdlog::logger>("faults", sink);
    logger->set_formatter(utils::make_pattern_formatter("%v"));
    logger->set_error_handler([&errors](const std::string &msg) { errors.push_back(msg); });
    const int attempted = 3000;  // 300 kB into 64 kB
    for (int n = 0; n < attempted; n += batch) {
        std::string lines;
        for (int i = n; i < n + batch; ++i) {
            lines += numbered_line(i) + "\n";
        }
        try {
            batch == 1 ? logger->info(numbered_line(n)) : sink->write_lines(lines);
        } catch (const spdlog::spdlog_ex &e) {
            errors.push_back(e.what());
        }
    }
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.front(), "Failed writing to file " + path + ": No space left on device");
    EXPECT_LE(errors.size(), 2u) << "repeats of an error are held back";

    ASSERT_EQ(::mount("tmpfs", disk.c_str(), "tmpfs", MS_REMOUNT, "size=1m"), 0);
    logger->info(numbered_line(attempted));

    // Oldest file first: whole lines only, numbers rising from 0 with one gap
    // (the lines lost while the disk was full), and notes that count them all.
    const std::regex whole(R"(\{"n": (\d{6}),"pad": "x+"\})");
    const std::regex note("Writing to " + path + R"( resumed, (\d+) line\(s\) lost)");
    std::vector<int> kept;
    size_t noted = 0;
    for (size_t i = max_files + 1; i-- > 0;) {
        const std::string file = utils::rotating_file_sink_mt::calc_filename(path, i);
        if (!test_support::file_exists(file)) {
            continue;
        }
        EXPECT_EQ(read_file(file).back(), '\n') << file;
        size_t data_lines = 0;
        for (const auto &line : read_lines(file)) {
            std::smatch m;
            if (std::regex_match(line, m, whole)) {
                kept.push_back(std::stoi(m[1]));
                ++data_lines;
            } else if (std::regex_match(line, m, note)) {
                noted += std::stoul(m[1]);
            } else {
                EXPECT_EQ(line, "*** Boot #0 ***") << file;
            }
        }
        EXPECT_GT(data_lines, 0u) << file << " was emptied";
    }
    ASSERT_GE(kept.size(), 2u);
    EXPECT_EQ(kept.front(), 0) << "the oldest lines were pushed out";
    EXPECT_EQ(kept.back(), attempted);
    size_t gaps = 0;
    for (size_t i = 1; i < kept.size(); ++i) {
        ASSERT_GT(kept[i], kept[i - 1]);
        gaps += kept[i] != kept[i - 1] + 1;
    }
    EXPECT_EQ(gaps, 1u);
    EXPECT_EQ(noted, attempted + 1 - kept.size());
    // Three files of five pages and one of a page fill the disk: lines that
    // were not written must not rotate that last file.
    EXPECT_FALSE(test_support::file_exists(path + ".4"));
}

INSTANTIATE_TEST_SUITE_P(Batches, FullDisk, testing::Values(1, 4));

// Lines that fill a file to exactly its size stay in it; the next one rotates it.
TEST(Rotation, AFileFilledExactlyToItsSizeRotatesOnTheNextLine) {
    temp_dir dir;
    const std::string path = dir / "stats.log";
    auto logger = std::make_shared<spdlog::logger>("exact", std::make_shared<utils::rotating_file_sink_mt>(path, 1000, 2));
    logger->set_formatter(utils::make_pattern_formatter("%v"));
    for (int n = 0; n < 10; ++n) {
        logger->info(numbered_line(n));
    }
    EXPECT_FALSE(test_support::file_exists(path + ".1")) << "1000 bytes of lines in a file of 1000";
    logger->info(numbered_line(10));
    ASSERT_TRUE(test_support::file_exists(path + ".1"));
    EXPECT_EQ(read_lines(path + ".1").size(), 11u) << "the banner and ten lines";
    EXPECT_EQ(read_lines(path), (std::vector<std::string>{"*** Boot #0 ***", numbered_line(10)}));

    // Lines written several to a write rotate the file before the same
    // lines: every file is byte for byte the one written line by line.
    const std::string batched = dir / "batched.log";
    utils::rotating_file_sink_mt sink(batched, 1000, 2);
    std::string lines;
    for (int n = 0; n <= 10; ++n) {
        lines += numbered_line(n) + "\n";
        if (n % 3 == 2 || n == 10) {
            sink.write_lines(lines);
            lines.clear();
        }
    }
    for (const char *suffix : {"", ".1"}) {
        EXPECT_EQ(read_file(batched + suffix), read_file(path + suffix)) << suffix;
    }
}

}  // namespace
