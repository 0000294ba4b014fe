#include "emulator/emu_files.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>

#include "utils/sys/unique_fd.hpp"

namespace talon_emu {

namespace fs = std::filesystem;

void write_file(const fs::path &p, const std::string &content)
{
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << content;
    if (!f) {
        throw std::runtime_error("cannot write " + p.string());
    }
}

void write_atomic(const fs::path &p, const std::string &content)
{
    fs::path tmp = p;
    tmp += ".tmp";
    write_file(tmp, content);
    fs::rename(tmp, p);
}

// The first size bytes of a file, mapped shared read-write.
utils::mapped_file map_file(const fs::path &p, size_t size)
{
    utils::unique_fd fd = utils::open_fd(p, O_RDWR);
    if (!fd) {
        throw std::runtime_error("cannot open " + p.string() + ": " + std::strerror(errno));
    }
    utils::mapped_file m;
    if (!m.map(fd.get(), size)) {
        throw std::runtime_error("cannot map " + p.string() + ": " + std::strerror(errno));
    }
    return m;
}

uint64_t *mem_word(const utils::mapped_file &m, uint64_t off)
{
    return reinterpret_cast<uint64_t *>(m.data() + off);
}

}  // namespace talon_emu
