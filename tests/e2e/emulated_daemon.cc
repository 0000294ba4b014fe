#include "tests/e2e/emulated_daemon.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <stdexcept>

namespace e2e {

emulator_process::emulator_process(const daemon_env &env, unsigned cards, unsigned ports, unsigned lifs)
    : root_(env.dir() / "emu"), env_(env) {
    process_ = std::make_unique<test_support::child_process>(std::vector<std::string>{
        k_emulator, "--root", root_, "--cards", std::to_string(cards), "--ports", std::to_string(ports), "--lifs",
        std::to_string(lifs)});
    if (!test_support::wait_until([&] { return test_support::file_exists(root_ + "/ready") || !process_->running(); }) ||
        !process_->running()) {
        throw std::runtime_error("talon-emu did not start: " + process_->err_so_far());
    }
    boost::property_tree::read_json(root_ + "/cards.json", cards_);
}

emulator_process::~emulator_process() {
    process_->signal(SIGTERM);
    process_->wait(std::chrono::seconds(5));
}

void emulator_process::ctl(const std::string &command) const {
    auto r = test_support::run_process({k_emulator, "--root", root_, "--ctl", command});
    ASSERT_EQ(r.exit_status, 0) << command << ": " << r.out << r.err;
}

void emulator_process::signal(int signo) const {
    process_->signal(signo);
}

std::vector<std::string> emulator_process::env() const {
    std::vector<std::string> vars = env_.env();
    const char *path = std::getenv("PATH");
    vars.push_back("TALON_SYSFS_DIR=" + root_ + "/sys");
    vars.push_back("TALON_DEV_DIR=" + root_ + "/dev");
    vars.push_back("PATH=" + root_ + "/bin:" + (path ? path : "/usr/bin:/bin"));
    return vars;
}

const boost::property_tree::ptree &emulator_process::card(unsigned index) const {
    return std::next(cards_.begin(), index)->second;
}

size_t count_containing(const std::vector<std::string> &lines, const std::string &text) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(),
                                             [&](const auto &line) { return line.find(text) != std::string::npos; }));
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

void daemon_test::start_daemon(const std::string &filter, const std::string &extra_top_level,
                               const std::vector<std::string> &extra_env) {
    std::vector<std::string> env = emu_ ? emu_->env() : env_.env();
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    daemon_ = std::make_unique<test_support::child_process>(
        std::vector<std::string>{k_daemon, "-c", env_.write_config(filter, extra_top_level)}, env);
    ASSERT_TRUE(wait_for_start(env_, *daemon_)) << daemon_->err_so_far();
}

test_support::process_result daemon_test::stop_daemon(std::chrono::milliseconds limit, int signo) {
    daemon_->signal(signo);
    auto r = daemon_->wait(limit);
    EXPECT_FALSE(r.timed_out) << "the daemon did not stop within " << limit.count() << " ms";
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "Exiting TALON monitor ...\n");
    return r;
}

bool daemon_test::grows(unsigned card, const std::string &type, size_t more) const {
    const size_t before = lines_of(card, type);
    return test_support::wait_until([&] { return lines_of(card, type) > before + more; }, std::chrono::seconds(5));
}

bool daemon_test::resumed_after_loss(const std::string &file) const {
    return std::regex_search(test_support::read_file(env_.trace_file()),
                             std::regex("Writing to " + file + " resumed, [1-9][0-9]* line\\(s\\) lost"));
}

}  // namespace e2e
