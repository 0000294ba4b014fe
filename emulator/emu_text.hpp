// Text the emulator writes: sysfs attribute values, addresses, quoting and
// escaping, and the numbers its control commands take.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace talon_emu {

// "0x" and v in width hex digits, with a newline: a sysfs attribute value.
std::string hex_attr(uint32_t v, int width);
// "0000:bb:dd.f"
std::string bdf_text(unsigned bus, unsigned dev, unsigned fn);
// s in single quotes for /bin/sh.
std::string shell_quote(const std::string &s);
// s escaped for a JSON string.
std::string json_escape(const std::string &s);
// The 16 bytes in the 8-4-4-4-12 hex form.
std::string uuid_text(const std::array<uint8_t, 16> &b);
// Vital product data with the product name and the serial number.
std::string make_vpd(const std::string &serial);
// A decimal or 0x-prefixed hex number without sign; nothing when s is not one.
std::optional<uint64_t> parse_number(const std::string &s);

}  // namespace talon_emu
