// Log files under file-system faults: a full disk, a planted symbolic link,
// a vanished directory, and card-supplied text in the trace log.
#include "monitor/talonmon_trace.hpp"
#include "tests/support/process.hpp"
#include "utils/log/boot_flag.hpp"
#include "utils/log/error_handler.hpp"
#include "utils/log/rotating_file_sink.hpp"
#include "utils/log/trace.hpp"
#include "utils/log/utf8.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

namespace {

using test_support::read_file;
using test_support::read_lines;
using test_support::temp_dir;
using namespace std::chrono_literals;

// A tmpfs of a given size mounted for the life of the object (needs root).
class tmpfs_mount {
public:
    tmpfs_mount(const std::string &dir, const std::string &size) : dir_(dir) {
        ::mkdir(dir_.c_str(), 0755);
        mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
        error_ = mounted_ ? "" : std::strerror(errno);
    }
    ~tmpfs_mount() {
        if (mounted_) {
            ::umount2(dir_.c_str(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }
    const std::string &error() const { return error_; }
    bool resize(const std::string &size) {
        return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT, ("size=" + size).c_str()) == 0;
    }

private:
    std::string dir_;
    bool mounted_ = false;
    std::string error_;
};

std::shared_ptr<spdlog::logger> make_logger(const std::string &path, size_t max_size, size_t max_files,
                                            std::vector<std::string> &errors) {
    auto sink = std::make_shared<utils::rotating_file_sink_mt>(path, max_size, max_files);
    auto logger = std::make_shared<spdlog::logger>("faults", sink);
    logger->set_formatter(utils::make_pattern_formatter("%v"));
    logger->set_error_handler([&errors](const std::string &msg) { errors.push_back(msg); });
    return logger;
}

// {"n": <sequence>,"pad": "xxx..."}: 100 bytes with the newline.
std::string numbered_line(int n) {
    std::string line = fmt::format(R"({{"n": {:06d},"pad": ")", n);
    line += std::string(99 - line.size() - 2, 'x') + "\"}";
    return line;
}

TEST(FullDisk, LinesAreWholeAndRotationKeepsTheHistory) {
    temp_dir dir;
    tmpfs_mount disk(dir / "disk", "64k");
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs (needs root): " << disk.error();
    }
    const std::string path = dir / "disk/stats.log";
    std::vector<std::string> errors;
    const size_t max_files = 4;  // more than the disk holds: nothing is rotated away while it fills
    auto logger = make_logger(path, 16 * 1024, max_files, errors);
    const int attempted = 3000;  // 300 kB into 64 kB
    for (int n = 0; n < attempted; ++n) {
        logger->info(numbered_line(n));
    }
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.front(), "Failed writing to file " + path + ": No space left on device");
    EXPECT_LE(errors.size(), 2u) << "repeats of an error are held back";

    ASSERT_TRUE(disk.resize("1m"));
    logger->info(numbered_line(attempted));

    // Oldest file first: whole lines only, numbers rising from 0 with one gap
    // (the lines lost while the disk was full), then the note and the new line.
    const std::regex whole(R"(\{"n": (\d{6}),"pad": "x+"\})");
    std::vector<int> kept;
    std::vector<std::string> notes;
    for (size_t i = max_files + 1; i-- > 0;) {
        const std::string file = utils::rotating_file_sink_mt::calc_filename(path, i);
        if (!test_support::file_exists(file)) {
            continue;
        }
        const std::string content = read_file(file);
        ASSERT_FALSE(content.empty());
        EXPECT_EQ(content.back(), '\n') << file;
        size_t data_lines = 0;
        for (const auto &line : read_lines(file)) {
            std::smatch m;
            if (std::regex_match(line, m, whole)) {
                kept.push_back(std::stoi(m[1]));
                ++data_lines;
            } else if (line.find(" resumed, ") != std::string::npos) {
                notes.push_back(line);
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
    const size_t lost = attempted + 1 - kept.size();
    EXPECT_EQ(notes, (std::vector<std::string>{"Writing to " + path + " resumed, " + std::to_string(lost) +
                                               " line(s) lost"}));
}

TEST(Symlink, PlantedLinkIsRefusedAndItsTargetUntouched) {
    temp_dir dir;
    const std::string target = dir / "target", path = dir / "card_stats.log";
    test_support::write_file(target, "precious\n");
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    try {
        utils::rotating_file_sink_mt sink(path, 1024, 1);
        ADD_FAILURE() << "a symbolic link was opened";
    } catch (const spdlog::spdlog_ex &e) {
        EXPECT_EQ(std::string(e.what()),
                  "Failed opening file " + path + " for writing: it is a symbolic link, which is not followed");
    }
    EXPECT_EQ(read_file(target), "precious\n");
}

TEST(ErrorRateLimit, FirstOfEachErrorThenOneAMinute) {
    utils::error_rate_limit limit;
    const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
    EXPECT_EQ(limit.admit("disk full", t0), "disk full");
    EXPECT_EQ(limit.admit("disk full", t0 + 1s), std::nullopt);
    EXPECT_EQ(limit.admit("no directory", t0 + 2s), "no directory") << "a new error is shown at once";
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(limit.admit("disk full", t0 + 3s), std::nullopt);
    }
    EXPECT_EQ(limit.admit("disk full", t0 + 61s), std::nullopt) << "a minute after the last line shown";
    EXPECT_EQ(limit.admit("disk full", t0 + 62s), "disk full (7 more like this in the last 60 s)");
    EXPECT_EQ(limit.admit("no directory", t0 + 63s), std::nullopt);
    EXPECT_EQ(limit.admit("no directory", t0 + 200s), "no directory (1 more like this in the last 60 s)");
}

TEST(Printable, CardTextCannotBreakTheTraceLine) {
    std::string out;
    utils::append_printable(out, std::string("eth\x1b[31m\n\x7f caf\xc3\xa9 \xc2\x9b bad\xff\xe2\x82"));
    EXPECT_EQ(out, "eth\\x1b[31m\\x0a\\x7f caf\xc3\xa9 \\xc2\\x9b bad\\xff\\xe2\\x82");
    EXPECT_EQ(fmt::format("{}", utils::printable{"eth1/1 \\ \"x\""}), "eth1/1 \\ \"x\"");
}

class TraceFaultTest : public testing::Test {
protected:
    void TearDown() override {
        utils::trace_cleanup(g_trace_logger);
        g_trace_logger = nullptr;
    }
    temp_dir dir_;
};

TEST_F(TraceFaultTest, LostDirectoryIsReportedOnceAndWritingResumesWithTheCount) {
    talonmon_init_params_s params{};
    params.log_dir = dir_ / "logs";
    ASSERT_EQ(talonmon_trace_init(&params), 0);
    TRACE_INFO("before");
    std::filesystem::remove_all(params.log_dir);
    testing::internal::CaptureStderr();
    // Removal is noticed within a second; 150 lines over 1.5 s.
    for (int i = 0; i < 150; ++i) {
        TRACE_INFO("while gone {}", i);
        TRACE_ERR("error while gone {}", i);
        std::this_thread::sleep_for(10ms);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(::mkdir(params.log_dir.c_str(), 0755), 0);
    TRACE_INFO("after");
    TRACE_ERR("error after");

    // One line per file, however many messages were lost.
    const std::string missing = " for writing: No such file or directory";
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
    EXPECT_NE(err.find("spdlog error: Failed opening file " + params.log_dir + "/talonmon.log" + missing), std::string::npos);
    EXPECT_NE(err.find("spdlog error: Failed opening file " + params.log_dir + "/talonmon-err.log" + missing),
              std::string::npos);
    for (const auto &[file, count] : {std::pair{"/talonmon.log", 4u}, std::pair{"/talonmon-err.log", 3u}}) {
        auto lines = read_lines(params.log_dir + file);
        ASSERT_EQ(lines.size(), count) << file;
        EXPECT_EQ(lines[0], "*** Boot #0 ***");
        const std::regex note("E \\[0 [^\\]]+\\] \\(\\d+\\) \\[\\w+:\\d+\\] Writing to " + params.log_dir + file +
                              " resumed, ([1-9]\\d*) line\\(s\\) lost");
        std::smatch m;
        EXPECT_TRUE(std::regex_match(lines[1], m, note)) << lines[1];
        EXPECT_NE(lines.back().find("] error after"), std::string::npos) << lines.back();
    }
}

}  // namespace
