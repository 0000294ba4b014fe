// The lspci and setpci stand-ins: they answer from the emulated sysfs tree.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "emulator/emulator.hpp"

namespace fs = std::filesystem;

namespace talon_emu {

namespace {

std::optional<unsigned> read_hex(const fs::path &p)
{
    std::ifstream f(p);
    std::string t;
    if (!(f >> t)) {
        return std::nullopt;
    }
    try {
        return static_cast<unsigned>(std::stoul(t, nullptr, 16));
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

std::string read_all(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::ostringstream o;
    o << f.rdbuf();
    return o.str();
}

// The serial number keyword of the read-only section of a VPD image.
std::string vpd_serial(const std::string &vpd)
{
    size_t i = 0;
    while (i < vpd.size()) {
        const auto tag = static_cast<unsigned char>(vpd[i]);
        if (!(tag & 0x80)) {
            break;  // small resource: the end tag
        }
        if (i + 3 > vpd.size()) {
            break;
        }
        const size_t len = static_cast<unsigned char>(vpd[i + 1]) | (static_cast<unsigned char>(vpd[i + 2]) << 8);
        const size_t body = i + 3;
        if (body + len > vpd.size()) {
            break;
        }
        if (tag == 0x90) {
            for (size_t k = body; k + 3 <= body + len;) {
                const size_t kl = static_cast<unsigned char>(vpd[k + 2]);
                if (vpd.compare(k, 2, "SN") == 0 && k + 3 + kl <= body + len) {
                    return vpd.substr(k + 3, kl);
                }
                k += 3 + kl;
            }
        }
        i = body + len;
    }
    return {};
}

struct pci_fn_s {
    std::string addr;
    unsigned vendor;
    unsigned device;
    unsigned cls;
    fs::path dir;
};

std::vector<pci_fn_s> list_functions(const fs::path &devices)
{
    std::vector<pci_fn_s> v;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(devices, ec)) {
        auto vendor = read_hex(e.path() / "vendor");
        auto device = read_hex(e.path() / "device");
        if (!vendor || !device) {
            continue;
        }
        v.push_back({e.path().filename().string(), *vendor, *device, read_hex(e.path() / "class").value_or(0),
                     e.path()});
    }
    std::sort(v.begin(), v.end(), [](const pci_fn_s &a, const pci_fn_s &b) { return a.addr < b.addr; });
    return v;
}

bool addr_matches(const std::string &addr, const std::string &sel)
{
    if (sel.empty() || sel == addr) {
        return true;
    }
    // Without a domain the selector names domain 0000.
    return sel.size() < addr.size() && addr.compare(0, 5, "0000:") == 0 && addr.substr(5) == sel;
}

int lspci(const fs::path &devices, const std::vector<std::string> &args)
{
    bool show_domain = false;
    int verbose = 0;
    std::string sel;
    std::optional<unsigned> want_vendor, want_device;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a.size() < 2 || a[0] != '-') {
            std::cerr << "lspci: unexpected argument '" << a << "'\n";
            return 2;
        }
        for (size_t k = 1; k < a.size(); ++k) {
            const char o = a[k];
            if (o == 'D') {
                show_domain = true;
            } else if (o == 'v') {
                ++verbose;
            } else if (o == 'n' || o == 'k') {
                continue;
            } else if (o == 'd' || o == 's') {
                std::string val = k + 1 < a.size() ? a.substr(k + 1) : (i + 1 < args.size() ? args[++i] : "");
                if (val.empty()) {
                    std::cerr << "lspci: -" << o << " needs a value\n";
                    return 2;
                }
                if (o == 's') {
                    sel = val;
                } else {
                    size_t c = val.find(':');
                    std::string v = val.substr(0, c);
                    std::string d = c == std::string::npos ? "" : val.substr(c + 1);
                    try {
                        if (!v.empty() && v != "*") {
                            want_vendor = static_cast<unsigned>(std::stoul(v, nullptr, 16));
                        }
                        if (!d.empty() && d != "*") {
                            want_device = static_cast<unsigned>(std::stoul(d, nullptr, 16));
                        }
                    } catch (const std::exception &) {
                        std::cerr << "lspci: -d: bad ID '" << val << "'\n";
                        return 2;
                    }
                }
                break;
            } else {
                std::cerr << "lspci: unknown option -" << o << "\n";
                return 2;
            }
        }
    }
    for (const pci_fn_s &f : list_functions(devices)) {
        if ((want_vendor && *want_vendor != f.vendor) || (want_device && *want_device != f.device) ||
            !addr_matches(f.addr, sel)) {
            continue;
        }
        const std::string shown = (show_domain || f.addr.compare(0, 5, "0000:") != 0) ? f.addr : f.addr.substr(5);
        char line[96];
        std::snprintf(line, sizeof(line), "%s %04x: %04x:%04x", shown.c_str(), f.cls >> 8, f.vendor, f.device);
        std::cout << line << "\n";
        if (verbose >= 1) {
            std::cout << "\tControl: I/O- Mem+ BusMaster+\n";
        }
        if (verbose >= 2) {
            std::string serial = vpd_serial(read_all(f.dir / "vpd"));
            if (!serial.empty()) {
                std::cout << "\tCapabilities: [e0] Vital Product Data\n"
                          << "\t\tProduct Name: TALON emulated card\n"
                          << "\t\tRead-only fields:\n"
                          << "\t\t\t[SN] Serial number: " << serial << "\n"
                          << "\t\tEnd\n";
            }
        }
        if (verbose >= 1) {
            std::cout << "\n";
        }
    }
    return 0;
}

int setpci(const fs::path &root, const fs::path &devices, const std::vector<std::string> &args)
{
    std::string sel;
    std::vector<std::string> ops;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-s" && i + 1 < args.size()) {
            sel = args[++i];
        } else if (args[i].rfind("-s", 0) == 0 && args[i].size() > 2) {
            sel = args[i].substr(2);
        } else if (!args[i].empty() && args[i][0] == '-') {
            std::cerr << "setpci: unknown option " << args[i] << "\n";
            return 2;
        } else {
            ops.push_back(args[i]);
        }
    }
    std::optional<pci_fn_s> fn;
    for (const pci_fn_s &f : list_functions(devices)) {
        if (!sel.empty() && addr_matches(f.addr, sel)) {
            fn = f;
        }
    }
    if (!fn) {
        std::cerr << "setpci: Warning: No devices selected for \"" << sel << "\".\n";
        return 1;
    }
    if (ops.empty()) {
        std::cerr << "setpci: No operation specified\n";
        return 2;
    }
    // A platform-start fault ("platform CARD setpci"): writes to the device fail.
    if (fs::exists(root / k_setpci_fault_dir / fn->addr)) {
        std::cerr << "setpci: write to " << fn->addr << " failed\n";
        return 1;
    }
    for (const std::string &op : ops) {
        // REG.W[=VALUE] with REG and VALUE in hex, W one of b, w, l.
        size_t dot = op.find('.');
        size_t eq = op.find('=');
        if (dot == std::string::npos || dot + 1 >= op.size()) {
            std::cerr << "setpci: Invalid operation '" << op << "'\n";
            return 2;
        }
        const char w = op[dot + 1];
        const size_t width = w == 'b' || w == 'B' ? 1 : w == 'w' || w == 'W' ? 2 : w == 'l' || w == 'L' ? 4 : 0;
        unsigned long reg = 0, val = 0;
        try {
            reg = std::stoul(op.substr(0, dot), nullptr, 16);
            if (eq != std::string::npos) {
                val = std::stoul(op.substr(eq + 1), nullptr, 16);
            }
        } catch (const std::exception &) {
            std::cerr << "setpci: Invalid operation '" << op << "'\n";
            return 2;
        }
        if (width == 0 || reg + width > 256 || reg % width != 0) {
            std::cerr << "setpci: Invalid register '" << op << "'\n";
            return 2;
        }
        std::fstream f(fn->dir / "config", std::ios::in | std::ios::out | std::ios::binary);
        if (!f) {
            std::cerr << "setpci: cannot open the configuration space of " << fn->addr << "\n";
            return 1;
        }
        f.seekg(static_cast<std::streamoff>(reg));
        if (eq == std::string::npos) {
            unsigned char b[4] = {};
            f.read(reinterpret_cast<char *>(b), static_cast<std::streamsize>(width));
            unsigned long v = 0;
            for (size_t k = 0; k < width; ++k) {
                v |= static_cast<unsigned long>(b[k]) << (8 * k);
            }
            char out[16];
            std::snprintf(out, sizeof(out), "%0*lx", static_cast<int>(width * 2), v);
            std::cout << out << "\n";
            continue;
        }
        char b[4];
        for (size_t k = 0; k < width; ++k) {
            b[k] = static_cast<char>((val >> (8 * k)) & 0xFF);
        }
        f.seekp(static_cast<std::streamoff>(reg));
        f.write(b, static_cast<std::streamsize>(width));
        if (!f) {
            std::cerr << "setpci: write to " << fn->addr << " failed\n";
            return 1;
        }
    }
    return 0;
}

}  // namespace

int tool_main(const std::string &root, const std::string &tool, const std::vector<std::string> &args)
{
    const fs::path devices = fs::path(root) / "sys/bus/pci/devices";
    if (tool == "lspci") {
        return lspci(devices, args);
    }
    if (tool == "setpci") {
        return setpci(root, devices, args);
    }
    std::cerr << "talon-emu: unknown tool '" << tool << "'\n";
    return 2;
}

}  // namespace talon_emu
