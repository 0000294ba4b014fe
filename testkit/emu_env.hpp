// Test helper: an in-process emulator in a fresh directory with
// TALON_SYSFS_DIR, TALON_DEV_DIR and PATH pointing at it while it lives.
#pragma once

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "emulator/emulator.hpp"
#include "testkit/process.hpp"

namespace test_support {

inline talon_emu::config_s emu_cfg(unsigned cards = 1, unsigned ports = 2, unsigned lifs = 2,
                                   talon_emu::transport_e transport = talon_emu::transport_e::both)
{
    return {.root = {}, .cards = cards, .ports = ports, .lifs = lifs, .transport = transport, .tool_exe = {}};
}

class emu_env {
public:
    explicit emu_env(talon_emu::config_s cfg = {})
        : cfg_((cfg.root = dir_ / "emu", cfg)), emu_(cfg_)
    {
        emu_.start();
        host_.emplace(root());
    }
    ~emu_env() { emu_.stop(); }

    std::string root() const { return cfg_.root; }
    std::string sys_devices() const { return root() + "/sys/bus/pci/devices/"; }
    // Sends a control command; returns the emulator's answer, throws when it was refused.
    std::string ctl(const std::string &command) const
    {
        std::string answer;
        if (!talon_emu::control(root(), command, &answer)) {
            throw std::runtime_error("control '" + command + "' failed: " + answer);
        }
        return answer;
    }

private:
    temp_dir dir_;
    talon_emu::config_s cfg_;
    talon_emu::emulator emu_;
    std::optional<emulated_host_env> host_;
};

}  // namespace test_support
