// The running daemon's files under faults an operator meets: a full disk, a
// lost directory and hostile names from the card.
#include "tests/e2e/emulated_daemon.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <regex>
#include <set>
#include <sstream>

namespace {

using test_support::read_file;
using test_support::read_lines;
using test_support::wait_until;
using namespace std::chrono_literals;
namespace pt = boost::property_tree;

const std::string k_banner = "*** Boot #7 ***";

const std::string k_fast_filter = R"(
        "card": { "liveness_poll_interval": 100000 },
        "lif": { "poll_interval": 1000, "counters": [
            { "counter": "tx_rdma_unicast_bytes", "action": { "stats_record": true } },
            { "counter": "rx_rdma_unicast_bytes", "action": { "stats_record": true, "event_record": true } } ] },
        "port": { "poll_interval": 1000, "counters": [
            { "counter": "frames_tx_ok", "action": { "stats_record": true } } ] })";

// The write system calls a process has made, failed ones included.
uint64_t write_calls(pid_t pid) {
    const std::string io = read_file("/proc/" + std::to_string(pid) + "/io");
    std::smatch m;
    return std::regex_search(io, m, std::regex("\nsyscw: (\\d+)")) ? std::stoull(m[1]) : 0;
}

// Every line of `file` (a disk of a mebibyte never rotates it) is the banner
// or a JSON object; returns the parsed lines.
std::vector<pt::ptree> parse_telemetry(const std::string &file) {
    std::vector<pt::ptree> parsed;
    EXPECT_TRUE(read_file(file).ends_with('\n')) << file << " ends in a partial line";
    for (const auto &line : read_lines(file)) {
        pt::ptree tree;
        std::istringstream in(line);
        try {
            if (line != k_banner) {
                pt::read_json(in, tree);
                parsed.push_back(tree);
            }
        } catch (const pt::json_parser_error &e) {
            ADD_FAILURE() << file << ": not JSON: " << line;
        }
    }
    return parsed;
}

using FileFaultsTest = e2e::daemon_test;

// Names from the card that are not UTF-8 or hold control characters stay
// valid JSON in the files and printable in the trace log.
TEST_F(FileFaultsTest, FullDiskLeavesOnlyWholeLinesAndWritingResumes) {
    if (::mount("tmpfs", env_.telemetry_dir().c_str(), "tmpfs", 0, "size=1m") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs on the telemetry directory (needs root): " << std::strerror(errno);
    }
    struct unmount {
        std::string dir;
        ~unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount_at_end{env_.telemetry_dir()};
    start_emulator(1);
    emu_->ctl("add-lif 0 bad\xff\xfe");
    emu_->ctl("add-lif 0 red\x1b[31mtext");
    emu_->ctl("add-lif 0 csi\xc2\x9b\x07\x7f");
    start_daemon(k_fast_filter);
    ASSERT_TRUE(wait_until([&] { return daemon_->err_so_far().find("spdlog error: ") != std::string::npos; }, 20s))
        << "the disk did not fill";
    EXPECT_NE(daemon_->err_so_far().find("spdlog error: Failed writing to file "), std::string::npos);
    // Thousands of writes on a full disk (each failed write counts as one):
    // standard error stays readable.
    const uint64_t writes_when_full = write_calls(daemon_->pid());
    ASSERT_TRUE(wait_until([&] { return write_calls(daemon_->pid()) > writes_when_full + 5000; }, 60s));
    const std::string err = daemon_->err_so_far();
    EXPECT_LE(std::count(err.begin(), err.end(), '\n'), 4) << err;

    ASSERT_EQ(::mount("tmpfs", env_.telemetry_dir().c_str(), "tmpfs", MS_REMOUNT, "size=64m"), 0);
    ASSERT_TRUE(wait_until(
        [&] { return resumed_after_loss(telemetry(0, "stats")) && resumed_after_loss(telemetry(0, "event")); }))
        << read_file(env_.trace_file());
    const size_t lines_after_resume = read_lines(telemetry(0, "stats")).size();
    ASSERT_TRUE(wait_until([&] { return read_lines(telemetry(0, "stats")).size() > lines_after_resume + 10; }));
    stop_daemon(3s);

    std::set<std::string> names;
    for (const auto &file : {telemetry(0, "stats"), telemetry(0, "event")}) {
        auto parsed = parse_telemetry(file);
        EXPECT_GT(parsed.size(), 100u) << file;
        for (const auto &tree : parsed) {
            EXPECT_EQ(tree.get<std::string>("bdf", ""), emu_->bdf(0));
            names.insert(tree.get<std::string>("lif.name", ""));
        }
    }
    EXPECT_TRUE(names.count("bad\xef\xbf\xbd\xef\xbf\xbd")) << "each ill-formed byte is one U+FFFD";
    EXPECT_TRUE(names.count("red\x1b[31mtext")) << "valid JSON keeps the control character, escaped";
    EXPECT_NE(read_file(telemetry(0, "stats")).find(R"("name": "csi\u009b\u0007)" "\x7f\""), std::string::npos);
    EXPECT_TRUE(trace_has("Discovered new lif bad\\xff\\xfe - "));
    EXPECT_TRUE(trace_has("Discovered new lif red\\x1b[31mtext - "));
    EXPECT_FALSE(trace_has("\x1b")) << "no terminal escape reaches the trace log";
}

}  // namespace
