// Log files: rotation, and file-system faults (a full disk, a planted
// symbolic link, a vanished directory), and card-supplied text in the trace log.
#include "tests/support/process.hpp"
#include "utils/log/boot_flag.hpp"
#include "utils/log/error_handler.hpp"
#include "utils/log/rotating_file_sink.hpp"
#include "utils/log/utf8.hpp"

#include <gtest/gtest.h>
#include <spdlog/logger.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>

namespace {

using test_support::read_file;
using test_support::read_lines;
using test_support::temp_dir;
using namespace std::chrono_literals;

// A tmpfs of a given size mounted for the life of the object (needs root).
struct tmpfs_mount {
    tmpfs_mount(const std::string &dir, const std::string &size) : dir(dir) {
        ::mkdir(dir.c_str(), 0755);
        mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
        error = mounted ? "" : std::strerror(errno);
    }
    ~tmpfs_mount() {
        if (mounted) {
            ::umount2(dir.c_str(), MNT_DETACH);
        }
    }
    bool resize(const std::string &size) {
        return ::mount("tmpfs", dir.c_str(), "tmpfs", MS_REMOUNT, ("size=" + size).c_str()) == 0;
    }
    std::string dir;
    bool mounted = false;
    std::string error;
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

// 19 characters plus the newline: 20 bytes a line.
std::string line(char c) { return std::string(19, c); }

TEST(Rotation, RotatesWhenTheNextLineWouldPassTheSize) {
    temp_dir dir;
    const std::string path = dir / "card_stats.log";
    std::vector<std::string> errors;
    auto logger = make_logger(path, 100, 2, errors);
    for (char c : {'a', 'b', 'c', 'd', 'e'}) {
        logger->info(line(c));
    }
    EXPECT_FALSE(test_support::file_exists(path + ".1")) << "exactly 100 bytes fit";
    logger->info(line('f'));
    auto rotated = read_lines(path + ".1");
    ASSERT_EQ(rotated.size(), 6u);
    EXPECT_EQ(rotated.back(), line('e'));
    EXPECT_EQ(read_lines(path), (std::vector<std::string>{"*** Boot #0 ***", line('f')}));

    // Two more rotations: the oldest file is dropped.
    for (int i = 0; i < 10; ++i) {
        logger->info(line('g' + i));
    }
    EXPECT_FALSE(test_support::file_exists(path + ".3"));
    EXPECT_EQ(read_lines(path + ".2").back(), line('j'));
    EXPECT_EQ(read_lines(path).back(), line('p'));
    EXPECT_TRUE(errors.empty());
}

TEST(Rotation, WritingResumesWhenTheDirectoryReturns) {
    temp_dir dir;
    const std::string sub = dir / "tele", path = sub + "/f.log";
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    std::vector<std::string> errors;
    auto logger = make_logger(path, 40, 1, errors);
    logger->info(line('a'));
    logger->info(line('b'));
    std::filesystem::remove_all(sub);
    logger->info(line('c'));  // rotation cannot reopen the file
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Failed opening file " + path + " for writing"), std::string::npos) << errors[0];
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    logger->info(line('d'));
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(read_lines(path), (std::vector<std::string>{"*** Boot #0 ***",
                                                          "Writing to " + path + " resumed, 1 line(s) lost", line('d')}));
}

TEST(FullDisk, LinesAreWholeAndRotationKeepsTheHistory) {
    temp_dir dir;
    tmpfs_mount disk(dir / "disk", "64k");
    if (!disk.mounted) {
        GTEST_SKIP() << "cannot mount a tmpfs (needs root): " << disk.error;
    }
    const std::string path = dir / "disk/stats.log";
    std::vector<std::string> errors;
    const size_t max_files = 4;  // more than the disk holds: nothing is rotated away while it fills
    // No multiple of the page size: the disk fills in the middle of a line.
    auto logger = make_logger(path, 20000, max_files, errors);
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
    EXPECT_EQ(limit.admit("disk full", t0 + 61s), std::nullopt) << "a minute after the last line shown";
    EXPECT_EQ(limit.admit("disk full", t0 + 62s), "disk full (2 more like this in the last 60 s)");
}

TEST(Printable, CardTextCannotBreakTheTraceLine) {
    std::string out;
    utils::append_printable(out, std::string("eth\x1b[31m\n\x7f caf\xc3\xa9 \xc2\x9b bad\xff\xe2\x82"));
    EXPECT_EQ(out, "eth\\x1b[31m\\x0a\\x7f caf\xc3\xa9 \\xc2\\x9b bad\\xff\\xe2\\x82");
    EXPECT_EQ(fmt::format("{}", utils::printable{"eth1/1 \\ \"x\""}), "eth1/1 \\ \"x\"");
}

}  // namespace
