// Test helpers: scoped environment variables and directories, and an in-process emulator in a fresh
// directory with TALON_SYSFS_DIR, TALON_DEV_DIR and PATH pointing at it while it lives.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "emulator/emulator.hpp"

namespace talon_test {

class scoped_env {
public:
    scoped_env(const char *name, const std::string &value)
        : name_(name), old_(std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt)
    {
        ::setenv(name, value.c_str(), 1);
    }
    ~scoped_env() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
    scoped_env(const scoped_env &) = delete;
    scoped_env &operator=(const scoped_env &) = delete;

private:
    const char *name_;
    std::optional<std::string> old_;
};

// A fresh directory under /tmp, removed with everything in it.
class temp_dir {
public:
    temp_dir()
    {
        std::string pattern = "/tmp/t_talon_XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~temp_dir() { std::error_code ec; std::filesystem::remove_all(path_, ec); }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline talon_emu::config_s emu_cfg(unsigned cards = 1, unsigned ports = 2, unsigned lifs = 2,
                                   talon_emu::transport_e transport = talon_emu::transport_e::both)
{
    return {.root = {}, .cards = cards, .ports = ports, .lifs = lifs, .transport = transport, .tool_exe = {}};
}

class emu_env {
public:
    explicit emu_env(talon_emu::config_s cfg = {})
        : cfg_((cfg.root = (dir_.path() / "emu").string(), cfg)), emu_(cfg_)
    {
        emu_.start();
        const char *path = std::getenv("PATH");
        sysfs_.emplace("TALON_SYSFS_DIR", root() + "/sys");
        dev_.emplace("TALON_DEV_DIR", root() + "/dev");
        path_.emplace("PATH", root() + "/bin:" + (path ? path : "/usr/bin:/bin"));
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
    std::optional<scoped_env> sysfs_, dev_, path_;
};

}  // namespace talon_test
