// In-process test host: an emulator serving cards under a temporary
// directory, the environment pointing the daemon's layers at it, and the
// trace log started into the same directory.
#pragma once

#include "emulator/emulator.hpp"
#include "tests/support/process.hpp"

#include <boost/property_tree/ptree.hpp>

#include <memory>
#include <string>
#include <vector>

namespace monitor_test {

class emulated_host {
public:
    explicit emulated_host(unsigned cards = 2, unsigned ports = 2, unsigned lifs = 2);
    ~emulated_host();

    // Sends a control command; fails the test when the emulator refuses it.
    void ctl(const std::string &command);
    const boost::property_tree::ptree &cards_json() const { return cards_; }
    std::string card_bdf(unsigned card) const;
    std::string card_uuid(unsigned card) const;
    std::string log_dir() const { return dir_ / "log"; }
    std::string telemetry_dir() const { return dir_ / "telemetry"; }
    // Trace lines without their "L [boot date time] (tid) " head.
    std::vector<std::string> trace_messages() const;
    // Number of trace messages containing `text`.
    size_t trace_count(const std::string &text) const;
    std::vector<std::string> file_lines(unsigned card, const std::string &type) const;

private:
    test_support::temp_dir dir_;
    std::unique_ptr<talon_emu::emulator> emu_;
    boost::property_tree::ptree cards_;
    std::vector<std::pair<std::string, std::string>> saved_env_;
};

}  // namespace monitor_test
