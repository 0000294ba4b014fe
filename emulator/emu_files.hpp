// Files of the emulated tree and the mapped card memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "utils/sys/mapped_file.hpp"

namespace talon_emu {

// Writes content to p, replacing it; throws std::runtime_error on failure.
void write_file(const std::filesystem::path &p, const std::string &content);
// Writes content next to p and renames it over p.
void write_atomic(const std::filesystem::path &p, const std::string &content);
// The first size bytes of a file, mapped shared read-write; throws on failure.
utils::mapped_file map_file(const std::filesystem::path &p, size_t size);
// The 64-bit word at byte offset off of a mapping.
uint64_t *mem_word(const utils::mapped_file &m, uint64_t off);

}  // namespace talon_emu
