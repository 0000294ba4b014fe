#include "tests/monitor/emulated_host.hpp"

#include "monitor/talonmon_trace.hpp"
#include "utils/log/trace.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace test_support {

emulated_host::emulated_host(unsigned cards, unsigned ports, unsigned lifs)
    : emu_(test_support::emu_cfg(cards, ports, lifs)), boot_dir_("PERSISTENT_LOG_DIR", dir_.path()) {
    boost::property_tree::read_json(emu_.root() + "/cards.json", cards_);
    test_support::write_file(dir_ / "boot_count.txt", "5\n");
    ::mkdir(telemetry_dir().c_str(), 0755);
    talonmon_init_params_s params{};
    params.log_dir = log_dir();
    if (talonmon_trace_init(&params) != 0) {
        ADD_FAILURE() << "trace log did not start";
    }
}

emulated_host::~emulated_host() {
    utils::trace_cleanup(g_trace_logger);
    g_trace_logger = nullptr;
}

std::string emulated_host::card_field(unsigned card, const char *field) const {
    return std::next(cards_.begin(), card)->second.get<std::string>(field);
}

size_t emulated_host::trace_count(const std::string &text) const {
    size_t count = 0;
    for (const auto &line : test_support::read_lines(log_dir() + "/talonmon.log")) {
        count += line.find(text) != std::string::npos;
    }
    return count;
}

std::vector<std::string> emulated_host::file_lines(unsigned card, const std::string &type) const {
    return test_support::read_lines(telemetry_dir() + "/card_" + card_bdf(card) + "_" + type + ".log");
}

}  // namespace test_support
