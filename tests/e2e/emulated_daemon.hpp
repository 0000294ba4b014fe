// Whole-daemon test helpers: talon-emu serving cards in a temporary
// directory, and the daemon's environment pointed at it.
#pragma once

#include "tests/e2e/daemon_fixture.hpp"

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

class emulator_process {
public:
    emulator_process(const daemon_env &env, unsigned cards, unsigned ports = 2, unsigned lifs = 2);
    ~emulator_process();

    void ctl(const std::string &command) const;
    // Signals the emulator itself (SIGSTOP hangs every card it serves).
    void signal(int signo) const;
    std::vector<std::string> env() const;  // the daemon's environment
    // Card `index` of cards.json.
    const boost::property_tree::ptree &card(unsigned index) const;
    std::string bdf(unsigned index) const { return card(index).get<std::string>("bdf"); }

private:
    std::string root_;
    std::unique_ptr<test_support::child_process> process_;
    boost::property_tree::ptree cards_;
    const daemon_env &env_;
};

// Path of a card's telemetry file.
std::string telemetry_file(const daemon_env &env, const std::string &bdf, const std::string &type);

size_t count_containing(const std::vector<std::string> &lines, const std::string &text);

// A whole-daemon test: the test starts the emulator and the daemon it
// needs; the fixture stops them, daemon first.
class daemon_test : public testing::Test {
protected:
    void start_emulator(unsigned cards, unsigned ports = 2, unsigned lifs = 2) {
        emu_ = std::make_unique<emulator_process>(env_, cards, ports, lifs);
    }
    // Starts the daemon with these filter (and top-level) members, against
    // the emulator once there is one, and waits for its start line.
    void start_daemon(const std::string &filter = k_minimal_counters, const std::string &extra_top_level = "",
                      const std::vector<std::string> &extra_env = {});
    // SIGTERM ends the daemon within `limit` with status 0 and its exit line.
    test_support::process_result stop_daemon(std::chrono::milliseconds limit = std::chrono::seconds(5));

    std::string telemetry(unsigned card, const std::string &type) const {
        return telemetry_file(env_, emu_->bdf(card), type);
    }
    size_t lines_of(unsigned card, const std::string &type) const {
        return test_support::read_lines(telemetry(card, type)).size();
    }
    // The card's file gains more than `more` lines within 5 s.
    bool grows(unsigned card, const std::string &type, size_t more = 4) const;
    bool trace_has(const std::string &text) const {
        return test_support::read_file(env_.trace_file()).find(text) != std::string::npos;
    }

    daemon_env env_;
    std::unique_ptr<emulator_process> emu_;
    std::unique_ptr<test_support::child_process> daemon_;
};

}  // namespace e2e
