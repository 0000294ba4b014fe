// The running daemon's files under faults an operator meets: a full disk, a
// lost directory and hostile names from the card (planted links and FIFOs
// are refused in the monitor's card-health test).
#include "tests/e2e/emulated_daemon.hpp"
#include "tests/e2e/metrics_helpers.hpp"
#include "testkit/raw_http.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

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
    std::istringstream io(read_file("/proc/" + std::to_string(pid) + "/io"));
    for (std::string line; std::getline(io, line);) {
        if (line.rfind("syscw: ", 0) == 0) {
            return std::stoull(line.substr(7));
        }
    }
    return 0;
}

size_t line_count(const std::string &text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Every line of `path` and its rotated files is the banner or a JSON object;
// returns the parsed lines.
std::vector<pt::ptree> parse_telemetry(const std::string &path) {
    std::vector<pt::ptree> parsed;
    for (int i = 5; i >= 0; --i) {
        const std::string file = i == 0 ? path : path + "." + std::to_string(i);
        if (!test_support::file_exists(file)) {
            continue;
        }
        const std::string content = read_file(file);
        EXPECT_GT(content.size(), k_banner.size() + 1) << file << " holds no line";
        EXPECT_EQ(content.back(), '\n') << file << " ends in a partial line";
        for (const auto &line : read_lines(file)) {
            if (line == k_banner) {
                continue;
            }
            pt::ptree tree;
            std::istringstream in(line);
            try {
                pt::read_json(in, tree);
                parsed.push_back(tree);
            } catch (const pt::json_parser_error &e) {
                ADD_FAILURE() << file << ": not JSON: " << line;
            }
        }
    }
    return parsed;
}

class FileFaultsTest : public e2e::daemon_test {
protected:
    std::string stats_file() const { return telemetry(0, "stats"); }
    std::string event_file() const { return telemetry(0, "event"); }
    // "Writing to <file> resumed, N line(s) lost" in the trace log gives N.
    uint64_t lost_lines_logged(const std::string &file) const {
        const std::regex note("Writing to " + file + " resumed, (\\d+) line\\(s\\) lost");
        uint64_t lost = 0;
        for (const auto &line : read_lines(env_.trace_file())) {
            std::smatch m;
            if (std::regex_search(line, m, note)) {
                lost += std::stoull(m[1]);
            }
        }
        return lost;
    }
};

TEST_F(FileFaultsTest, FullDiskLeavesOnlyWholeLinesAndWritingResumes) {
    if (::mount("tmpfs", env_.telemetry_dir().c_str(), "tmpfs", 0, "size=1m") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs on the telemetry directory (needs root): " << std::strerror(errno);
    }
    struct unmount {
        std::string dir;
        ~unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount_at_end{env_.telemetry_dir()};
    start_emulator(1);
    start_daemon(k_fast_filter);
    ASSERT_TRUE(wait_until([&] { return daemon_->err_so_far().find("spdlog error: ") != std::string::npos; }, 20s))
        << "the disk did not fill";
    EXPECT_NE(daemon_->err_so_far().find("spdlog error: Failed writing to file "), std::string::npos);
    // Thousands of writes on a full disk (each failed write counts as one):
    // standard error stays readable.
    const uint64_t writes_when_full = write_calls(daemon_->pid());
    ASSERT_TRUE(wait_until([&] { return write_calls(daemon_->pid()) > writes_when_full + 5000; }, 60s));
    EXPECT_LE(line_count(daemon_->err_so_far()), 4u) << daemon_->err_so_far();

    ASSERT_EQ(::mount("tmpfs", env_.telemetry_dir().c_str(), "tmpfs", MS_REMOUNT, "size=64m"), 0);
    ASSERT_TRUE(wait_until([&] { return lost_lines_logged(stats_file()) > 0 && lost_lines_logged(event_file()) > 0; }))
        << read_file(env_.trace_file());
    const size_t lines_after_resume = read_lines(stats_file()).size();
    ASSERT_TRUE(wait_until([&] { return read_lines(stats_file()).size() > lines_after_resume + 10; }));
    stop_daemon(3s);

    for (const auto &file : {stats_file(), event_file()}) {
        auto parsed = parse_telemetry(file);
        EXPECT_GT(parsed.size(), 100u) << file;
        for (const auto &tree : parsed) {
            EXPECT_EQ(tree.get<std::string>("bdf", ""), emu_->bdf(0));
        }
    }
}

// Names from the card that are not UTF-8 or hold control characters stay
// valid JSON in the files and printable in the trace log. A lost telemetry
// directory is reported once per file, and the lines lost are counted.
TEST_F(FileFaultsTest, HostileNamesAndALostDirectory) {
    start_emulator(1);
    emu_->ctl("add-lif 0 bad\xff\xfe");
    emu_->ctl("add-lif 0 red\x1b[31mtext");
    emu_->ctl("add-lif 0 csi\xc2\x9b\x07\x7f");
    const int port = e2e::free_local_port();
    start_daemon(k_fast_filter, e2e::prometheus_key("127.0.0.1:" + std::to_string(port)));
    ASSERT_TRUE(wait_until([&] { return read_lines(stats_file()).size() > 20; }));
    const auto scrape = test_support::http_exchange("127.0.0.1", port, "GET /metrics HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(scrape && scrape->status == 200);
    EXPECT_NE(scrape->body.find(R"(lif="red\\x1b[31mtext")"), std::string::npos) << scrape->body;
    EXPECT_NE(scrape->body.find(R"(lif="csi\\xc2\\x9b\\x07\\x7f")"), std::string::npos) << scrape->body;
    EXPECT_EQ(std::count_if(scrape->body.begin(), scrape->body.end(),
                            [](unsigned char c) { return (c < ' ' && c != '\n') || c == 0x7f || c == 0xc2; }),
              0)
        << "no control byte in the exposition";
    EXPECT_NE(read_file(stats_file()).find(R"("name": "csi\u009b\u0007)" "\x7f\""), std::string::npos);
    const auto names_before_loss = parse_telemetry(stats_file());
    std::filesystem::remove_all(env_.telemetry_dir());
    std::this_thread::sleep_for(3s);
    const std::string err = daemon_->err_so_far();
    EXPECT_EQ(line_count(err), 2u) << err;
    EXPECT_NE(err.find("spdlog error: Failed opening file " + stats_file() + " for writing"), std::string::npos);
    EXPECT_NE(err.find("spdlog error: Failed opening file " + event_file() + " for writing"), std::string::npos);

    ASSERT_EQ(::mkdir(env_.telemetry_dir().c_str(), 0755), 0);
    ASSERT_TRUE(wait_until([&] { return lost_lines_logged(stats_file()) > 0; }));
    // Every pass lost its lines over the best part of three seconds.
    EXPECT_GT(lost_lines_logged(stats_file()), 1000u);
    EXPECT_EQ(read_lines(stats_file()).front(), k_banner);
    stop_daemon(3s);

    std::set<std::string> names;
    for (const auto &tree : names_before_loss) {
        if (auto lif = tree.get_child_optional("lif")) {
            names.insert(lif->get<std::string>("name"));
        }
    }
    EXPECT_TRUE(names.count("bad\xef\xbf\xbd\xef\xbf\xbd")) << "each ill-formed byte is one U+FFFD";
    EXPECT_TRUE(names.count("red\x1b[31mtext")) << "valid JSON keeps the control character, escaped";
    EXPECT_TRUE(trace_has("Discovered new lif bad\\xff\\xfe - "));
    EXPECT_TRUE(trace_has("Discovered new lif red\\x1b[31mtext - "));
    EXPECT_FALSE(trace_has("\x1b")) << "no terminal escape reaches the trace log";
}

// Another user's link or file where a telemetry file or the error log goes
// is refused and left as it is; only the card's files are skipped for it.
TEST_F(FileFaultsTest, PlantedSymlinkOrForeignFileIsRefusedAndLeftUntouched) {
    start_emulator(1);
    const std::string target = env_.dir() / "outside";
    test_support::write_file(target, "precious\n");
    ASSERT_EQ(::symlink(target.c_str(), stats_file().c_str()), 0);
    constexpr uid_t k_nobody = 65534;
    test_support::write_file(env_.err_file(), "forged\n");
    ASSERT_EQ(::chown(env_.err_file().c_str(), k_nobody, k_nobody), 0);
    start_daemon(k_fast_filter);
    const std::string refused = "logger init failed (logger_stats_" + emu_->bdf(0) + "): Failed opening file " +
                                stats_file() + " for writing: it is a symbolic link, which is not followed";
    ASSERT_TRUE(wait_until([&] { return trace_has(refused); })) << read_file(env_.trace_file());
    const auto stopped = stop_daemon(3s);
    EXPECT_NE(stopped.err.find("Failed opening file " + env_.err_file() +
                               " for writing: it belongs to another user, not to the daemon"),
              std::string::npos)
        << stopped.err;
    EXPECT_EQ(read_file(target), "precious\n");
    EXPECT_EQ(read_file(env_.err_file()), "forged\n");
}

}  // namespace
