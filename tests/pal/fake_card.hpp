// An emulated card for PAL tests: a sysfs tree with the resource device's
// BAR files and stand-ins for setpci and lspci first on PATH.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace talon_test {

inline constexpr const char* k_rsc_bdf = "0000:03:00.0";
inline constexpr uint64_t k_regs_pa = 0x10600000;
inline constexpr uint64_t k_regs_size = 0x100000;
inline constexpr uint64_t k_mem_pa = 0x80000000;
inline constexpr uint64_t k_mem_size = 0x10000;

class fake_card {
public:
    fake_card() {
        char tmpl[] = "/tmp/t_pal_card.XXXXXX";
        root_ = mkdtemp(tmpl);
        dev_dir_ = root_ + "/sys/bus/pci/devices/" + k_rsc_bdf;
        std::filesystem::create_directories(dev_dir_);
        std::filesystem::create_directories(root_ + "/bin");
        write_rsc_map(0x70616c78, 1, 2);
        resize("resource0", k_regs_size);
        resize("resource2", k_mem_size);
        write_script("setpci",
                     "echo \"$@\" >> " + root_ + "/setpci.log\n"
                     "[ -e " + root_ + "/setpci_fail ] && exit 1\nexit 0\n");
        write_script("lspci", "echo '" + std::string(k_rsc_bdf) + " 0200: 1ff7:100f'\n");
        old_path_ = getenv("PATH") != nullptr ? getenv("PATH") : "";
        setenv("PATH", (root_ + "/bin:" + old_path_).c_str(), 1);
        setenv("TALON_SYSFS_DIR", (root_ + "/sys").c_str(), 1);
    }
    fake_card(const fake_card&) = delete;
    fake_card& operator=(const fake_card&) = delete;
    ~fake_card() {
        setenv("PATH", old_path_.c_str(), 1);
        unsetenv("TALON_SYSFS_DIR");
        std::filesystem::remove_all(root_);
    }

    void write_rsc_map(uint32_t magic, uint32_t version, uint32_t sub_asic) {
        std::vector<uint8_t> map(4096, 0);
        put(map, 0, magic, 4);
        put(map, 4, version, 4);
        put(map, 12, sub_asic, 4);
        put(map, 16, k_regs_pa, 8);
        put(map, 24, k_mem_pa, 8);
        std::ofstream(dev_dir_ + "/resource4", std::ios::binary)
            .write(reinterpret_cast<const char*>(map.data()), static_cast<std::streamsize>(map.size()));
    }

    void resize(const char* file, uint64_t size) {
        std::string path = dev_dir_ + "/" + file;
        std::ofstream(path, std::ios::binary | std::ios::app).close();
        std::filesystem::resize_file(path, size);
    }

    // Bytes of the memory BAR file as the card sees them.
    std::vector<uint8_t> mem_file(uint64_t off, size_t n) const { return read(dev_dir_ + "/resource2", off, n); }
    std::vector<uint8_t> regs_file(uint64_t off, size_t n) const { return read(dev_dir_ + "/resource0", off, n); }

    void write_mem_file(uint64_t off, const std::vector<uint8_t>& bytes) const {
        std::fstream f(dev_dir_ + "/resource2", std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(off));
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    void fail_setpci() const { std::ofstream(root_ + "/setpci_fail").close(); }
    std::string setpci_log() const {
        std::ifstream f(root_ + "/setpci.log");
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    const std::string& root() const { return root_; }
    const std::string& dev_dir() const { return dev_dir_; }

    void write_script(const std::string& name, const std::string& body) const {
        std::string path = root_ + "/bin/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), 0755);
    }

private:
    static void put(std::vector<uint8_t>& b, size_t off, uint64_t v, int n) {
        for (int i = 0; i < n; ++i) {
            b[off + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
        }
    }
    static std::vector<uint8_t> read(const std::string& path, uint64_t off, size_t n) {
        std::vector<uint8_t> out(n);
        std::ifstream f(path, std::ios::binary);
        f.seekg(static_cast<std::streamoff>(off));
        f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
        return out;
    }

    std::string root_;
    std::string dev_dir_;
    std::string old_path_;
};

// Runs `fn` in a fresh thread, so it starts with an empty per-thread context.
template <typename Fn>
void in_new_thread(Fn fn) {
    std::thread(fn).join();
}

}  // namespace talon_test
