#include "emulator/emu_text.hpp"

#include <cstdio>
#include <exception>

namespace talon_emu {

std::string hex_attr(uint32_t v, int width)
{
    char buf[32];
    std::snprintf(buf, sizeof(buf), "0x%0*x\n", width, v);
    return buf;
}

std::string bdf_text(unsigned bus, unsigned dev, unsigned fn)
{
    char buf[32];
    std::snprintf(buf, sizeof(buf), "0000:%02x:%02x.%x", bus, dev, fn);
    return buf;
}

std::string shell_quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

std::string json_escape(const std::string &s)
{
    std::string o;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof(b), "\\u%04x", c);
            o += b;
        } else {
            o += static_cast<char>(c);
        }
    }
    return o;
}

std::string uuid_text(const std::array<uint8_t, 16> &b)
{
    char t[40];
    std::snprintf(t, sizeof(t), "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return t;
}

// Vital product data with the product name and the serial number, in the
// PCI VPD resource format the kernel exposes as the "vpd" attribute.
std::string make_vpd(const std::string &serial)
{
    const std::string product = "TALON emulated card";
    std::string v;
    v += static_cast<char>(0x82);
    v += static_cast<char>(product.size() & 0xFF);
    v += static_cast<char>(product.size() >> 8);
    v += product;
    std::string ro;
    ro += "SN";
    ro += static_cast<char>(serial.size());
    ro += serial;
    ro += "RV";
    ro += static_cast<char>(1);
    ro += '\0';
    v += static_cast<char>(0x90);
    v += static_cast<char>(ro.size() & 0xFF);
    v += static_cast<char>(ro.size() >> 8);
    v += ro;
    v += static_cast<char>(0x78);
    return v;
}

std::optional<uint64_t> parse_number(const std::string &s)
{
    if (s.empty()) {
        return std::nullopt;
    }
    try {
        size_t pos = 0;
        int base = (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) ? 16 : 10;
        if (s[0] == '-' || s[0] == '+') {
            return std::nullopt;
        }
        uint64_t v = std::stoull(s, &pos, base);
        if (pos != s.size()) {
            return std::nullopt;
        }
        return v;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

}  // namespace talon_emu
