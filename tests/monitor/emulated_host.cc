#include "tests/monitor/emulated_host.hpp"

#include "monitor/talonmon_trace.hpp"
#include "utils/log/trace.hpp"

#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>

namespace monitor_test {

emulated_host::emulated_host(unsigned cards, unsigned ports, unsigned lifs) {
    talon_emu::config_s cfg;
    cfg.root = dir_ / "emu";
    cfg.cards = cards;
    cfg.ports = ports;
    cfg.lifs = lifs;
    emu_ = std::make_unique<talon_emu::emulator>(cfg);
    emu_->start();
    boost::property_tree::read_json(cfg.root + "/cards.json", cards_);

    const std::string path = cfg.root + "/bin:" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    for (auto [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"TALON_SYSFS_DIR", cfg.root + "/sys"}, {"TALON_DEV_DIR", cfg.root + "/dev"}, {"PATH", path},
             {"PERSISTENT_LOG_DIR", dir_.path()}}) {
        const char *old = std::getenv(name.c_str());
        saved_env_.emplace_back(name, old ? old : "");
        ::setenv(name.c_str(), value.c_str(), 1);
    }
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
    emu_->stop();
    for (const auto &[name, value] : saved_env_) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
}

void emulated_host::ctl(const std::string &command) {
    std::string answer;
    ASSERT_TRUE(talon_emu::control(emu_->config().root, command, &answer)) << command << ": " << answer;
}

std::string emulated_host::card_bdf(unsigned card) const {
    unsigned i = 0;
    for (const auto &entry : cards_) {
        if (i++ == card) {
            return entry.second.get<std::string>("bdf");
        }
    }
    return {};
}

std::string emulated_host::card_uuid(unsigned card) const {
    unsigned i = 0;
    for (const auto &entry : cards_) {
        if (i++ == card) {
            return entry.second.get<std::string>("uuid");
        }
    }
    return {};
}

std::vector<std::string> emulated_host::trace_messages() const {
    static const std::regex head(R"(^[TDIWECO] \[\d+ [-0-9]{10} [:.0-9]{15}\] \(\d+\) )");
    std::vector<std::string> messages;
    for (const auto &line : test_support::read_lines(log_dir() + "/talonmon.log")) {
        if (std::regex_search(line, head)) {
            messages.push_back(std::regex_replace(line, head, ""));
        }
    }
    return messages;
}

size_t emulated_host::trace_count(const std::string &text) const {
    size_t count = 0;
    for (const auto &message : trace_messages()) {
        count += message.find(text) != std::string::npos;
    }
    return count;
}

std::vector<std::string> emulated_host::file_lines(unsigned card, const std::string &type) const {
    return test_support::read_lines(telemetry_dir() + "/card_" + card_bdf(card) + "_" + type + ".log");
}

}  // namespace monitor_test
