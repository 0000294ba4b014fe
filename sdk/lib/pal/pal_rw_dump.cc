#include "sdk/lib/pal/pal_rw_dump.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "utils/sys/stdio_file.hpp"
#include "utils/sys/unique_fd.hpp"

namespace sdk::lib {

namespace {

enum rw_optype_e : uint8_t {
    rw_reg_read = 0,
    rw_reg_write = 1,
    rw_mem_read = 2,
    rw_mem_write = 3,
    rw_mem_set = 4,
    rw_label = 5,
};

constexpr std::array<const char*, 6> k_optype_names{"REG-READ",  "REG-WRITE", "MEM-READ",
                                                    "MEM-WRITE", "MEM-SET",   "RW_SUSPEND"};

constexpr uint8_t k_flag_type_mask = 0x7;
constexpr uint8_t k_flag_merged = 0x8;
constexpr uint32_t k_max_items = 32;
constexpr size_t k_dir_max = 255;
constexpr size_t k_fmt_max = 15;
constexpr size_t k_section_max = 63;
constexpr size_t k_label_max = 255;
constexpr size_t k_line_max = 1024;
constexpr mode_t k_dir_mode = 0755;
constexpr mode_t k_capture_mode = 0666;
constexpr size_t k_bin_header_size = 6;
constexpr size_t k_bin_addr_hi_size = 4;
// A memory-set record holds its size in one byte.
constexpr uint64_t k_mem_set_max = 0xFF;

// The longest line the recorder writes is a label of k_label_max characters,
// each shown as "0xNN "; the replay reader takes lines of any length the
// recorder can produce, so captures with long labels replay whole.
constexpr size_t k_item_text_max = sizeof("0xffffffff ") - 1;
constexpr size_t k_label_char_text_max = sizeof("0xff ") - 1;
constexpr size_t k_line_prefix_max = 96;
constexpr size_t k_replay_line_max = 2048;
static_assert(k_replay_line_max > k_line_prefix_max + k_label_max * k_label_char_text_max + 1);
static_assert(k_replay_line_max > k_line_prefix_max + k_max_items * k_item_text_max + 1);

// The access being accumulated into one record.
struct rw_record_s {
    uint8_t count = 0;
    uint8_t type = 0;
    uint64_t addr = 0;
    std::array<uint32_t, k_max_items> items{};
};

struct rw_counters_s {
    uint32_t reg_writes = 0;
    uint32_t reg_reads = 0;
    uint32_t mem_writes = 0;
    uint32_t mem_reads = 0;
    uint32_t mem_set = 0;
};

struct rw_state_s {
    bool dump_init = false;
    bool replay_init = false;
    bool recording = false;
    bool paused = false;
    bool replay_active = false;
    int32_t mode = PAL_RW_CTRL_START_RW;
    std::string dump_dir;
    std::string replay_dir;
    std::string replay_fmt;
    std::string section;
    utils::unique_file txt;
    utils::unique_file bin;
    rw_counters_s counters;
    rw_record_s pending;
};

thread_local rw_state_s tls_rw;

bool rw_is_register(uint8_t type) { return type == rw_reg_read || type == rw_reg_write; }

uint64_t rw_item_size(uint8_t type) { return rw_is_register(type) ? 4 : 1; }

void put_le32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

uint32_t get_le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void rw_write_streams(const std::string& line, const std::string& binary) {
    rw_state_s& st = tls_rw;
    if (st.txt) {
        fputs(line.c_str(), st.txt.get());
        fflush(st.txt.get());
    }
    if (st.bin && !binary.empty()) {
        fwrite(binary.data(), 1, binary.size(), st.bin.get());
        fflush(st.bin.get());
    }
}

std::string rw_hex_items(const uint32_t* items, size_t n) {
    std::string s;
    char buf[16];
    for (size_t i = 0; i < n; ++i) {
        snprintf(buf, sizeof(buf), "0x%x ", items[i]);
        s += buf;
    }
    return s;
}

void rw_flush_pending() {
    rw_record_s& rec = tls_rw.pending;
    if (rec.count == 0) {
        return;
    }
    bool merged = rec.count > 1 &&
                  std::all_of(rec.items.begin(), rec.items.begin() + rec.count,
                              [&](uint32_t v) { return v == rec.items[0]; });
    size_t shown = merged ? 1 : rec.count;
    std::string data = rw_hex_items(rec.items.data(), shown);
    char line[k_line_max + 512];
    if (rw_is_register(rec.type)) {
        snprintf(line, sizeof(line), "%s addr 0x%x optype %u merged %u nwords %u data %s\n",
                 k_optype_names[rec.type], static_cast<uint32_t>(rec.addr), rec.type,
                 merged ? 1u : 0u, rec.count, data.c_str());
    } else {
        snprintf(line, sizeof(line), "%s addr 0x%lx optype %u merged %u nwords %u data %s\n",
                 k_optype_names[rec.type], static_cast<unsigned long>(rec.addr), rec.type,
                 merged ? 1u : 0u, rec.count, data.c_str());
    }
    std::string binary;
    if (rec.type != rw_reg_read) {
        binary.push_back(static_cast<char>(rec.count));
        binary.push_back(static_cast<char>(rec.type | (merged ? k_flag_merged : 0)));
        put_le32(binary, static_cast<uint32_t>(rec.addr));
        if (rw_is_register(rec.type)) {
            for (size_t i = 0; i < shown; ++i) {
                put_le32(binary, rec.items[i]);
            }
        } else {
            put_le32(binary, static_cast<uint32_t>(rec.addr >> 32));
            for (size_t i = 0; i < shown; ++i) {
                binary.push_back(static_cast<char>(rec.items[i]));
            }
        }
    }
    rw_write_streams(line, binary);
    rec = rw_record_s{};
}

void rw_count(uint8_t type) {
    rw_counters_s& c = tls_rw.counters;
    switch (type) {
    case rw_reg_read: ++c.reg_reads; break;
    case rw_reg_write: ++c.reg_writes; break;
    case rw_mem_read: ++c.mem_reads; break;
    case rw_mem_write: ++c.mem_writes; break;
    default: break;
    }
}

void rw_append(uint8_t type, uint64_t addr, uint32_t item, bool counted = true) {
    rw_record_s& rec = tls_rw.pending;
    bool continues = rec.count > 0 && rec.type == type && rec.count < k_max_items &&
                     addr == rec.addr + rec.count * rw_item_size(type);
    if (!continues) {
        rw_flush_pending();
        rec.type = type;
        rec.addr = addr;
    }
    rec.items[rec.count++] = item;
    if (counted) {
        rw_count(type);
    }
    if (type == rw_reg_read) {
        rw_flush_pending();
    }
}

bool rw_mode_records_reads() {
    return tls_rw.mode == PAL_RW_CTRL_START_RW || tls_rw.mode == PAL_RW_CTRL_START_RD;
}

bool rw_mode_records_writes() {
    return tls_rw.mode == PAL_RW_CTRL_START_RW || tls_rw.mode == PAL_RW_CTRL_START_WR;
}

bool rw_reg_addr_fits(const char* fn, uint64_t addr) {
    if (addr > UINT32_MAX) {
        LOGGER_ERR("%s: register address 0x%lx does not fit 32 bits, not recorded", fn,
                   static_cast<unsigned long>(addr));
        return false;
    }
    return true;
}

std::string rw_process_name() {
    std::string path = "/proc/" + std::to_string(getpid()) + "/comm";
    utils::unique_file f = utils::open_file(path, "r");
    char buf[64] = {};
    if (!f || fgets(buf, sizeof(buf), f.get()) == nullptr) {
        return "unknown";
    }
    buf[strcspn(buf, "\n")] = '\0';
    return buf;
}

// Opens a capture file for appending; a symbolic link planted at its path is
// refused rather than followed.
utils::unique_file rw_open_capture(const std::string& path, const char* mode) {
    utils::unique_fd fd =
        utils::open_fd(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, k_capture_mode);
    if (!fd) {
        return nullptr;
    }
    utils::unique_file f(fdopen(fd.get(), mode));
    if (f) {
        fd.release();
    }
    return f;
}

// ---- Replay ------------------------------------------------------------------

struct rw_replay_item_s {
    uint8_t type;
    uint64_t addr;
    std::vector<uint32_t> items;
};

// Applies one record; false (after logging) when a read differs.
bool rw_apply(const rw_replay_item_s& r, rw_counters_s& c) {
    for (size_t i = 0; i < r.items.size(); ++i) {
        uint64_t addr = r.addr + i * rw_item_size(r.type);
        uint32_t v = r.items[i];
        switch (r.type) {
        case rw_reg_write:
            pal_reg_write(addr, &v, 1);
            ++c.reg_writes;
            break;
        case rw_reg_read: {
            uint32_t ignored = 0;
            pal_reg_read(addr, &ignored, 1);
            ++c.reg_reads;
            break;
        }
        case rw_mem_write: {
            uint8_t b = static_cast<uint8_t>(v);
            pal_mem_write(addr, &b, 1, 0);
            ++c.mem_writes;
            break;
        }
        case rw_mem_read: {
            uint8_t b = 0;
            pal_mem_read(addr, &b, 1, 0);
            ++c.mem_reads;
            if (b != static_cast<uint8_t>(v)) {
                LOGGER_ERR("Replay read mismatch at 0x%lx: read 0x%x, captured 0x%x, replay ended",
                           static_cast<unsigned long>(addr), b, v & 0xFF);
                return false;
            }
            break;
        }
        default:
            LOGGER_ERR("Replay of record type %u is not supported, replay ended", r.type);
            return false;
        }
    }
    return true;
}

// Replays one memory-set record.
void rw_apply_mem_set(uint64_t addr, uint32_t value, uint32_t size, rw_counters_s& c) {
    pal_mem_set(addr, static_cast<uint8_t>(value), size, 0);
    c.mem_set += size;
}

// Parses a memory-set line; false when the line is not one.
bool rw_parse_mem_set_line(const char* line, uint64_t* addr, uint32_t* value, uint32_t* size) {
    char name[32];
    unsigned a = 0;
    unsigned type = 0;
    unsigned merged = 0;
    unsigned n = 0;
    unsigned v = 0;
    if (sscanf(line, "%31s 0x%x optype %u merged %u nbytes %u data 0x%x", name, &a, &type, &merged,
               &n, &v) != 6 ||
        type != rw_mem_set || n == 0 || n > k_mem_set_max || v > 0xFF) {
        return false;
    }
    *addr = a;
    *value = v;
    *size = n;
    return true;
}

// Parses one text line; 1 parsed, 0 skip (label), -1 malformed.
int rw_parse_text_line(const char* line, rw_replay_item_s* out) {
    char name[32];
    unsigned long addr = 0;
    unsigned type = 0;
    unsigned merged = 0;
    unsigned nwords = 0;
    unsigned first = 0;
    if (sscanf(line, "%31s addr %lx optype %u merged %u nwords %u data %x", name, &addr, &type,
               &merged, &nwords, &first) != 6) {
        return -1;
    }
    if (type == rw_label) {
        return 0;
    }
    if (type > rw_mem_write || nwords == 0 || nwords > k_max_items) {
        return -1;
    }
    const char* data = strstr(line, "data ");
    if (data == nullptr) {
        return -1;
    }
    data += strlen("data ");
    std::vector<uint32_t> tokens;
    char* end = nullptr;
    for (unsigned long v = strtoul(data, &end, 16); end != data; v = strtoul(data, &end, 16)) {
        tokens.push_back(static_cast<uint32_t>(v));
        data = end;
    }
    out->type = static_cast<uint8_t>(type);
    out->addr = addr;
    if (merged != 0) {
        out->items.assign(nwords, tokens.empty() ? 0 : tokens[0]);
    } else if (tokens.size() == nwords) {
        out->items = std::move(tokens);
    } else {
        return -1;
    }
    return 1;
}

void rw_replay_text(FILE* f, rw_counters_s& c) {
    std::vector<char> buf(k_replay_line_max);
    char* line = buf.data();
    while (fgets(line, static_cast<int>(buf.size()), f) != nullptr) {
        if (strchr(line, '\n') == nullptr && !feof(f)) {
            LOGGER_ERR("Replay line longer than %zu characters, replay ended", buf.size() - 1);
            return;
        }
        uint64_t set_addr = 0;
        uint32_t set_value = 0;
        uint32_t set_size = 0;
        if (rw_parse_mem_set_line(line, &set_addr, &set_value, &set_size)) {
            rw_apply_mem_set(set_addr, set_value, set_size, c);
            continue;
        }
        rw_replay_item_s rec;
        int rc = rw_parse_text_line(line, &rec);
        if (rc < 0) {
            LOGGER_ERR("Malformed replay line '%.*s', replay ended",
                       static_cast<int>(strcspn(line, "\n")), line);
            return;
        }
        if (rc > 0 && !rw_apply(rec, c)) {
            return;
        }
    }
}

void rw_replay_binary(FILE* f, rw_counters_s& c) {
    uint8_t hdr[k_bin_header_size];
    size_t n;
    while ((n = fread(hdr, 1, sizeof(hdr), f)) == sizeof(hdr)) {
        uint8_t count = hdr[0];
        uint8_t type = hdr[1] & k_flag_type_mask;
        bool merged = (hdr[1] & k_flag_merged) != 0;
        if (count == 0) {
            LOGGER_ERR("Malformed replay record (zero count), replay ended");
            return;
        }
        if (type == rw_mem_set) {
            uint8_t value = 0;
            if (fread(&value, 1, 1, f) != 1) {
                LOGGER_ERR("Truncated replay record, replay ended");
                return;
            }
            rw_apply_mem_set(get_le32(hdr + 2), value, count, c);
            continue;
        }
        if (type == rw_label) {
            // The label's text follows its zero high address word.
            std::array<uint8_t, k_bin_addr_hi_size + k_label_max> skipped;
            if (fread(skipped.data(), 1, k_bin_addr_hi_size + count, f) != k_bin_addr_hi_size + count) {
                LOGGER_ERR("Truncated replay record, replay ended");
                return;
            }
            continue;
        }
        if (type > rw_mem_write) {
            LOGGER_ERR("Replay of record type %u is not supported, replay ended", type);
            return;
        }
        if (count > k_max_items) {
            LOGGER_ERR("Malformed replay record (%u items), replay ended", count);
            return;
        }
        rw_replay_item_s rec{type, get_le32(hdr + 2), {}};
        if (!rw_is_register(type)) {
            uint8_t hi[4];
            if (fread(hi, 1, sizeof(hi), f) != sizeof(hi)) {
                LOGGER_ERR("Truncated replay record, replay ended");
                return;
            }
            rec.addr |= uint64_t{get_le32(hi)} << 32;
        }
        size_t stored = merged ? 1 : count;
        size_t isz = rw_item_size(type);
        std::vector<uint8_t> raw(stored * isz);
        if (fread(raw.data(), 1, raw.size(), f) != raw.size()) {
            LOGGER_ERR("Truncated replay record, replay ended");
            return;
        }
        for (size_t i = 0; i < stored; ++i) {
            rec.items.push_back(isz == 4 ? get_le32(&raw[i * 4]) : raw[i]);
        }
        if (merged) {
            rec.items.assign(count, rec.items[0]);
        }
        if (!rw_apply(rec, c)) {
            return;
        }
    }
    if (n != 0) {
        LOGGER_ERR("Truncated replay record, replay ended");
    }
}

}  // namespace

bool pal_rw_recording() { return tls_rw.recording && !tls_rw.paused; }

bool pal_rw_replay_active() { return tls_rw.replay_active; }

void reg_read_dump(uint64_t addr, uint32_t value) {
    if (rw_mode_records_reads() && rw_reg_addr_fits(__func__, addr)) {
        rw_append(rw_reg_read, addr, value);
    }
}

void reg_write_dump(uint64_t addr, const uint32_t* words, uint32_t count, uint32_t stride,
                    uint32_t per_stride) {
    if (!rw_mode_records_writes()) {
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t a = addr + 4ULL * i;
        if (stride != 0 && per_stride != 0) {
            a = addr + uint64_t{stride} * (i / per_stride) + 4ULL * (i % per_stride);
        }
        if (!rw_reg_addr_fits(__func__, a)) {
            return;
        }
        rw_append(rw_reg_write, a, words[i]);
    }
}

void mem_read_dump(uint64_t addr, const uint8_t* bytes, uint64_t size) {
    if (!rw_mode_records_reads()) {
        return;
    }
    for (uint64_t i = 0; i < size; ++i) {
        rw_append(rw_mem_read, addr + i, bytes[i]);
    }
}

void mem_write_dump(uint64_t addr, const uint8_t* bytes, uint64_t size) {
    if (!rw_mode_records_writes()) {
        return;
    }
    for (uint64_t i = 0; i < size; ++i) {
        rw_append(rw_mem_write, addr + i, bytes[i]);
    }
}

namespace {

void rw_write_mem_set(uint32_t addr_lo, uint8_t value, uint8_t count) {
    char line[128];
    snprintf(line, sizeof(line), "%s 0x%x optype %u merged %u nbytes %u data 0x%x\n",
             k_optype_names[rw_mem_set], addr_lo, static_cast<unsigned>(rw_mem_set), 1u,
             static_cast<unsigned>(count), static_cast<unsigned>(value));
    std::string binary;
    binary.push_back(static_cast<char>(count));
    binary.push_back(static_cast<char>(rw_mem_set | k_flag_merged));
    put_le32(binary, addr_lo);
    binary.push_back(static_cast<char>(value));
    rw_write_streams(line, binary);
}

}  // namespace

void mem_set_dump(uint64_t addr, uint8_t value, uint64_t size) {
    if (!rw_mode_records_writes()) {
        return;
    }
    rw_flush_pending();
    // A memory-set record holds a 32-bit address and a one-byte size: a larger
    // set becomes several records, and bytes above 4 GiB become memory writes,
    // which hold the whole address.
    uint64_t done = 0;
    while (done < size) {
        const uint64_t at = addr + done;
        const uint64_t n = std::min(size - done, k_mem_set_max);
        if (at + n - 1 > UINT32_MAX) {
            for (uint64_t i = 0; i < n; ++i) {
                rw_append(rw_mem_write, at + i, value, false);
            }
            rw_flush_pending();
        } else {
            rw_write_mem_set(static_cast<uint32_t>(at), value, static_cast<uint8_t>(n));
        }
        done += n;
    }
    tls_rw.counters.mem_set += static_cast<uint32_t>(size);
}

void rw_dump_init(const char* dir) {
    tls_rw.dump_init = true;
    tls_rw.dump_dir = dir;
    LOGGER_DEBUG("PAL rw ctrl, dump init dir %s", dir);
}

void rw_replay_init(const char* dir, const char* fmt) {
    tls_rw.replay_init = true;
    tls_rw.replay_dir = dir;
    tls_rw.replay_fmt = fmt;
    LOGGER_DEBUG("PAL rw ctrl, replay init dir %s, fmt %s", dir, fmt);
}

void reg_rw_dump_start(const char* section, int32_t mode) {
    rw_state_s& st = tls_rw;
    const char* build = getenv("BLD_VERSION");
    if (build == nullptr) {
        fprintf(stderr, "BLD_VERSION is not set, skipping register rw dump\n");
        return;
    }
    if (st.txt || st.bin) {
        fprintf(stderr, "Register read-write capture is enabled already, ignoring ...\n");
        return;
    }
    std::string sec = std::string(section).substr(0, k_section_max);
    std::string proc = rw_process_name();
    std::string dir = st.dump_dir + "/" + proc + "_" + sec + "_bin";
    mkdir(st.dump_dir.c_str(), k_dir_mode);
    mkdir(dir.c_str(), k_dir_mode);
    std::string base = "/" + dir + "/rw-capture-" + proc + "-" + build + "-" + sec;
    std::string txt_path = base + ".txt";
    std::string bin_path = base + ".bin";
    st.txt = rw_open_capture(txt_path, "a");
    if (!st.txt) {
        fprintf(stderr, "Failed to open %s\n", txt_path.c_str());
        return;
    }
    st.bin = rw_open_capture(bin_path, "ab");
    if (!st.bin) {
        fprintf(stderr, "Failed to open %s\n", bin_path.c_str());
    }
    LOGGER_INFO("Enabling PAL RW dump for section %s, file %s", sec.c_str(), bin_path.c_str());
    st.section = sec;
    st.mode = mode;
    st.counters = rw_counters_s{};
}

void reg_rw_dump_stop() {
    rw_state_s& st = tls_rw;
    if (!st.txt && !st.bin) {
        return;
    }
    rw_flush_pending();
    st.txt.reset();
    st.bin.reset();
    const rw_counters_s& c = st.counters;
    LOGGER_INFO("PAL RW control, dump done for %s, n_reg_writes %u, n_reg_reads %u, n_mem_writes "
                "%u, n_mem_reads %u, n_mem_set %u",
                st.section.c_str(), c.reg_writes, c.reg_reads, c.mem_writes, c.mem_reads,
                c.mem_set);
}

void rw_label_insert(const char* label) {
    rw_state_s& st = tls_rw;
    if (label == nullptr || *label == '\0' || (!st.txt && !st.bin)) {
        return;
    }
    rw_flush_pending();
    size_t len = std::min(strlen(label), k_label_max);
    std::string data;
    char buf[16];
    for (size_t i = 0; i < len; ++i) {
        snprintf(buf, sizeof(buf), "0x%x ", static_cast<unsigned>(static_cast<uint8_t>(label[i])));
        data += buf;
    }
    std::string line = std::string(k_optype_names[rw_label]) + " addr 0x0 optype 5 merged 0 nwords " +
                       std::to_string(len) + " data " + data + "\n";
    std::string binary;
    binary.push_back(static_cast<char>(len));
    binary.push_back(static_cast<char>(rw_label));
    put_le32(binary, 0);
    put_le32(binary, 0);
    binary.append(label, len);
    rw_write_streams(line, binary);
}

void reg_rw_replay_start(const char* section) {
    rw_state_s& st = tls_rw;
    std::vector<std::string> names;
    if (DIR* d = opendir(st.replay_dir.c_str()); d != nullptr) {
        while (struct dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.find(section) != std::string::npos &&
                name.find(st.replay_fmt) != std::string::npos) {
                names.push_back(name);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string path = names.empty() ? "" : st.replay_dir + "/" + names.front();
    bool text = st.replay_fmt == "txt";
    utils::unique_file f = path.empty() ? nullptr : utils::open_file(path, text ? "r" : "rb");
    if (!f) {
        LOGGER_ERR("Failed to open, dir %s, section %s, file %s", st.replay_dir.c_str(), section,
                   path.c_str());
        return;
    }
    LOGGER_INFO("Reg RW control, config replay from %s", path.c_str());
    rw_counters_s c;
    if (text) {
        rw_replay_text(f.get(), c);
    } else {
        rw_replay_binary(f.get(), c);
    }
    LOGGER_INFO("Reg RW control, config replay done, n_reg_writes %u, n_reg_reads %u, "
                "n_mem_writes %u, n_mem_reads %u, n_mem_set %u",
                c.reg_writes, c.reg_reads, c.mem_writes, c.mem_reads, c.mem_set);
}

pal_ret_t pal_rw_dump_ctrl(pal_reg_rw_ctrl_s* ctrl) {
    if (ctrl == nullptr) {
        LOGGER_ERR("PAL rw ctrl, null request");
        return PAL_RET_NOK;
    }
    rw_state_s& st = tls_rw;
    const char* arg = ctrl->arg != nullptr ? ctrl->arg : "";
    switch (ctrl->op) {
    case PAL_RW_CTRL_DUMP_INIT:
        if (strlen(arg) > k_dir_max) {
            LOGGER_ERR("PAL rw ctrl, directory longer than %zu characters: %s", k_dir_max, arg);
            return PAL_RET_NOK;
        }
        rw_dump_init(arg);
        return PAL_RET_OK;
    case PAL_RW_CTRL_REPLAY_INIT: {
        const char* fmt = ctrl->fmt != nullptr ? ctrl->fmt : "";
        if (strlen(arg) > k_dir_max || strlen(fmt) > k_fmt_max) {
            LOGGER_ERR("PAL rw ctrl, replay directory or format too long: %s, %s", arg, fmt);
            return PAL_RET_NOK;
        }
        rw_replay_init(arg, fmt);
        return PAL_RET_OK;
    }
    case PAL_RW_CTRL_START_RW:
    case PAL_RW_CTRL_START_RD:
    case PAL_RW_CTRL_START_WR:
        if (st.dump_init) {
            st.recording = true;
            reg_rw_dump_start(arg, ctrl->op);
        } else if (st.replay_init) {
            reg_rw_replay_start(arg);
            st.replay_active = true;
        }
        return PAL_RET_OK;
    case PAL_RW_CTRL_STOP:
        if (st.dump_init) {
            st.recording = false;
            reg_rw_dump_stop();
        } else if (st.replay_init) {
            st.replay_active = false;
        }
        return PAL_RET_OK;
    case PAL_RW_CTRL_LABEL:
        if (st.recording) {
            st.paused = true;
            rw_label_insert(arg);
        }
        return PAL_RET_OK;
    case PAL_RW_CTRL_RESUME:
        if (st.recording) {
            st.paused = false;
        }
        return PAL_RET_OK;
    default:
        LOGGER_ERR("PAL rw ctrl, unknown operation %d", ctrl->op);
        return PAL_RET_NOK;
    }
}

}  // namespace sdk::lib
