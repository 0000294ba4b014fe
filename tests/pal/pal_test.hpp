// Shared PAL test helpers: a fixture starting every test from a clean PAL,
// and an emulated card.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "testkit/process.hpp"

namespace test_support {

// Discards module logger lines, keeping the test output readable.
inline int discard_log_cb(uint32_t, trace_level_e, const char*, va_list) { return 0; }

// Clears the variables that choose or configure a backend, discards log lines, tears the PAL down after.
class pal_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* v : {"PAL_J2C_PORT", "PAL_TELNET_PORT", "PAL_TELNET_IPADDR", "JTAG_LIB_PATH", "SUB_ASIC",
                              "HUB_BDF", "PAL_CARD_UUID", "PAL_RESDEV_BDF", "BLD_VERSION"}) {
            unsetenv(v);
        }
        logger_init(discard_log_cb);
    }
    void TearDown() override {
        sdk::lib::pal_teardown(sdk::lib::pal_get_platform_type());
        logger_init(nullptr);
    }
};

inline constexpr const char* k_hub_bdf = "0000:02:00.0";
inline constexpr const char* k_rsc_bdf = "0000:03:00.0";
inline constexpr uint64_t k_regs_pa = 0x10600000, k_regs_size = 0x100000;
inline constexpr uint64_t k_mem_pa = 0x80000000, k_mem_size = 0x10000;

// A card as the host backend finds it: a sysfs tree with the resource
// device's BAR files, and setpci (logging its calls) and lspci stand-ins
// first on PATH.
class fake_card {
public:
    fake_card() {
        const std::string hub_dir = root_ + "/sys/bus/pci/devices/" + k_hub_bdf;
        std::filesystem::create_directories(dev_dir_);
        std::filesystem::create_directories(hub_dir);
        std::filesystem::create_directories(root_ + "/bin");
        write_rsc_map(0x70616c78, 1);
        // The card's hub bridges to the resource device's bus.
        std::ofstream(hub_dir + "/secondary_bus_number") << "3\n";
        std::ofstream(hub_dir + "/subordinate_bus_number") << "3\n";
        std::ofstream(dev_dir_ + "/device") << "0x100f\n";
        for (auto [file, size] : {std::pair{"/resource0", k_regs_size}, {"/resource2", k_mem_size}}) {
            std::ofstream(dev_dir_ + file).close();
            std::filesystem::resize_file(dev_dir_ + file, size);
        }
        write_script("setpci", "echo \"$@\" >> " + root_ + "/setpci.log\n");
        write_script("lspci", "echo '" + std::string(k_rsc_bdf) + " 0200: 1ff7:100f'\n");
        const char* path = getenv("PATH");
        path_.emplace("PATH", root_ + "/bin:" + (path != nullptr ? path : ""));
        sysfs_.emplace("TALON_SYSFS_DIR", root_ + "/sys");
    }

    // Magic, version and sub-ASIC 2, then the register and memory window addresses, little-endian.
    void write_rsc_map(uint32_t magic, uint32_t version) const {
        std::string map(4096, '\0');
        const uint64_t fields[][3] = {{0, magic, 4}, {4, version, 4}, {12, 2, 4}, {16, k_regs_pa, 8},
                                      {24, k_mem_pa, 8}};
        for (const auto& [off, v, n] : fields) {
            for (uint64_t i = 0; i < n; ++i) {
                map[off + i] = static_cast<char>(v >> (8 * i));
            }
        }
        std::ofstream(dev_dir_ + "/resource4", std::ios::binary) << map;
    }
    // Bytes of the memory and register BAR files as the card sees them.
    std::vector<uint8_t> mem_file(size_t off, size_t n) const { return slice("/resource2", off, n); }
    std::vector<uint8_t> regs_file(size_t off, size_t n) const { return slice("/resource0", off, n); }
    void write_mem_file(uint64_t off, const std::vector<uint8_t>& bytes) const {
        std::fstream f(dev_dir_ + "/resource2", std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(off));
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::string setpci_log() const { return read_file(root_ + "/setpci.log"); }
    const std::string& root() const { return root_; }
    const std::string& dev_dir() const { return dev_dir_; }
    void write_script(const std::string& name, const std::string& body) const {
        std::ofstream(root_ + "/bin/" + name) << "#!/bin/sh\n" << body;
        chmod((root_ + "/bin/" + name).c_str(), 0755);
    }

private:
    std::vector<uint8_t> slice(const char* file, size_t off, size_t n) const {
        std::string s = read_file(dev_dir_ + file);
        return std::vector<uint8_t>(s.begin() + static_cast<long>(off), s.begin() + static_cast<long>(off + n));
    }

    temp_dir dir_;
    std::string root_ = dir_.path(), dev_dir_ = root_ + "/sys/bus/pci/devices/" + k_rsc_bdf;
    std::optional<scoped_env> path_, sysfs_;
};

// Runs `fn` in a fresh thread, so it starts with an empty per-thread context.
template <typename Fn>
void in_new_thread(Fn fn) {
    std::thread(fn).join();
}

}  // namespace test_support
