// In-process test host: emulated cards (the layers' environment points at
// them while the host lives) and the trace log started in a temporary
// directory that also holds the telemetry files.
#pragma once

#include "tests/emulator/emu_env.hpp"
#include "tests/support/process.hpp"

#include <boost/property_tree/ptree.hpp>

#include <string>
#include <vector>

namespace test_support {

class emulated_host {
public:
    explicit emulated_host(unsigned cards = 2, unsigned ports = 2, unsigned lifs = 2);
    ~emulated_host();

    // Sends a control command; throws when the emulator refuses it.
    void ctl(const std::string &command) const { emu_.ctl(command); }
    const boost::property_tree::ptree &cards_json() const { return cards_; }
    std::string card_field(unsigned card, const char *field) const;
    std::string card_bdf(unsigned card) const { return card_field(card, "bdf"); }
    std::string log_dir() const { return dir_ / "log"; }
    std::string telemetry_dir() const { return dir_ / "telemetry"; }
    // Number of trace log lines containing `text`.
    size_t trace_count(const std::string &text) const;
    std::vector<std::string> file_lines(unsigned card, const std::string &type) const;

private:
    test_support::temp_dir dir_;
    test_support::emu_env emu_;
    test_support::scoped_env boot_dir_;
    boost::property_tree::ptree cards_;
};

}  // namespace test_support
