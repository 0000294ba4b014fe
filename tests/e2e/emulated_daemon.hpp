// Whole-daemon test helpers: talon-emu serving cards in a temporary
// directory, and the daemon's environment pointed at it.
#pragma once

#include "tests/e2e/daemon_fixture.hpp"

#include <boost/property_tree/ptree.hpp>

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

}  // namespace e2e
