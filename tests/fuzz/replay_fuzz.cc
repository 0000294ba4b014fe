// The capture replay reader, text and binary. Raw input is a capture file:
// the replay ends cleanly and applies no more accesses than its records can
// carry. Round-trip input describes register and memory accesses, memory sets
// and labels: both replays of their capture apply exactly those accesses, in
// order (binary carries no register reads; a set is seen byte by byte).
#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "sdk/lib/pal/pal_rw_dump.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "testkit/process.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

using namespace sdk::lib;
namespace fs = std::filesystem;

constexpr uint64_t k_reg_addr_limit = 0xFFFF0000;  // room for contiguous words below 2^32
constexpr uint64_t k_mem_addr_limit = UINT64_MAX - 0x10000;
constexpr const char *k_section = "sec";

enum op_kind_e : uint8_t { reg_read, reg_write, mem_read, mem_write, mem_set, label };

struct access_s {
    op_kind_e kind;
    uint64_t addr;
    uint32_t value;  // a memory set's size; a register read's is not replayed
    bool operator==(const access_s &) const = default;
};

// What the replay applied, and the bytes its memory reads are answered with.
std::vector<access_s> g_applied;
std::vector<uint8_t> g_mem_answers;
size_t g_answered = 0;

template <typename T>
pal_ret_t record(op_kind_e kind, uint64_t addr, const T *data, uint64_t n, uint64_t step) {
    for (uint64_t i = 0; i < n; ++i) {
        g_applied.push_back({kind, addr + step * i, static_cast<uint32_t>(data[i])});
    }
    return PAL_RET_OK;
}

void rw_ctrl(int32_t op, const char *arg, const char *fmt = nullptr) {
    pal_reg_rw_ctrl_s ctrl{op, arg, fmt};
    FUZZ_CHECK(pal_rw_dump_ctrl(&ctrl) == PAL_RET_OK, "rw control %d refused", op);
}

// Replays the one file of `dir` in format `fmt` on this thread.
std::vector<access_s> replay(const std::string &dir, const char *fmt) {
    g_applied.clear();
    g_answered = 0;
    rw_ctrl(PAL_RW_CTRL_REPLAY_INIT, dir.c_str(), fmt);
    rw_ctrl(PAL_RW_CTRL_START_RW, k_section);
    rw_ctrl(PAL_RW_CTRL_STOP, k_section);
    return g_applied;
}

void run_raw(FuzzedDataProvider &in, const std::string &dir) {
    const bool text = in.ConsumeBool();
    const std::string bytes = in.ConsumeRemainingBytesAsString();
    const std::string file = dir + "/rw-capture-x-1-" + k_section + (text ? ".txt" : ".bin");
    std::ofstream(file, std::ios::binary) << bytes;
    g_mem_answers.clear();
    const size_t applied = replay(dir, text ? "txt" : "bin").size();
    // A record takes a line or a 6-byte header at least, and carries 255 items at most.
    const size_t records = text ? static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1 : bytes.size() / 6;
    FUZZ_CHECK(applied <= records * 0xFF, "%zu accesses from %zu bytes", applied, bytes.size());
    fs::remove(file);
}

void run_round_trip(FuzzedDataProvider &in, const std::string &dump_dir) {
    std::vector<access_s> expected;  // as the text form replays them
    g_mem_answers.clear();
    // Each capture gets a thread of its own: a thread set up for capture never
    // replays. The accesses are decoded as they are recorded.
    std::thread([&] {
        rw_ctrl(PAL_RW_CTRL_DUMP_INIT, dump_dir.c_str());
        rw_ctrl(PAL_RW_CTRL_START_RW, k_section);
        std::optional<access_s> last;
        const size_t n = in.ConsumeIntegralInRange<size_t>(1, 96);
        for (size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
            const auto kind = static_cast<op_kind_e>(in.ConsumeIntegralInRange<uint8_t>(reg_read, label));
            if (kind == label) {
                std::string text = "l" + in.ConsumeRandomLengthString(300);  // longer than the recorder keeps
                std::replace(text.begin(), text.end(), '\0', '.');
                rw_label_insert(text.c_str());
                last = access_s{label, 0, 0};
                continue;
            }
            const bool reg = kind == reg_read || kind == reg_write;
            const bool next = last && last->kind == kind && in.ConsumeBool();  // continues the last one
            const uint64_t addr = next ? last->addr + (reg ? 4 : 1)
                                       : in.ConsumeIntegralInRange<uint64_t>(0, reg ? k_reg_addr_limit : k_mem_addr_limit);
            const uint32_t value = in.ConsumeBool() && last ? last->value : in.ConsumeIntegral<uint32_t>();
            // A memory set of up to more than one record holds.
            last = access_s{kind, addr, reg ? value : kind == mem_set ? value % 601 : value & 0xFF};
            const auto byte = static_cast<uint8_t>(last->value), fill = static_cast<uint8_t>(addr >> 3);
            switch (kind) {
            case reg_read: reg_read_dump(addr, last->value); break;
            case reg_write: reg_write_dump(addr, &last->value, 1, 0, 0); break;
            case mem_read: mem_read_dump(addr, &byte, 1); break;
            case mem_write: mem_write_dump(addr, &byte, 1); break;
            default: mem_set_dump(addr, fill, last->value);
            }
            for (uint32_t b = 0; kind == mem_set && b < last->value; ++b) {
                expected.push_back({mem_write, addr + b, fill});
            }
            if (kind != mem_set) {
                expected.push_back({kind, addr, kind == reg_read ? 0 : last->value});
            }
            if (kind == mem_read) {
                g_mem_answers.push_back(byte);
            }
        }
        rw_ctrl(PAL_RW_CTRL_STOP, k_section);
    }).join();
    const fs::directory_iterator capture(dump_dir);
    FUZZ_CHECK(capture != fs::directory_iterator(), "the recorder wrote no capture");
    const std::string capture_dir = capture->path();
    for (const char *fmt : {"txt", "bin"}) {
        const auto applied = replay(capture_dir, fmt);
        const auto [got, want] = std::mismatch(applied.begin(), applied.end(), expected.begin(), expected.end());
        FUZZ_CHECK(got == applied.end() && want == expected.end(), "%s replay differs at access %zu of %zu (%zu captured)",
                   fmt, static_cast<size_t>(got - applied.begin()), applied.size(), expected.size());
        expected.erase(std::remove_if(expected.begin(), expected.end(), [](const access_s &e) { return e.kind == reg_read; }),
                       expected.end());  // the binary form carries none
    }
    fs::remove_all(capture_dir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ::setenv("BLD_VERSION", "1", 1);
    logger_init(null_logger_cb_);
    pal_rwvecs_s &v = gl_pal_info.rwvecs;
    v.reg_read = [](uint64_t addr, uint32_t *data, uint32_t n) {
        std::fill(data, data + n, 0);
        return record(reg_read, addr, data, n, 4);
    };
    v.reg_write = [](uint64_t addr, const uint32_t *data, uint32_t n) { return record(reg_write, addr, data, n, 4); };
    v.mem_read = [](uint64_t addr, uint8_t *data, uint64_t size, uint32_t) {
        for (uint64_t i = 0; i < size; ++i) {
            data[i] = g_answered < g_mem_answers.size() ? g_mem_answers[g_answered++] : static_cast<uint8_t>(addr + i);
        }
        return record(mem_read, addr, data, size, 1);
    };
    v.mem_write = [](uint64_t addr, const uint8_t *data, uint64_t n, uint32_t) { return record(mem_write, addr, data, n, 1); };
    v.mem_set = [](uint64_t addr, uint8_t value, uint32_t size, uint32_t) {
        const std::vector<uint8_t> bytes(size, value);
        return record(mem_write, addr, bytes.data(), size, 1);
    };
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const test_support::temp_dir dir;
    static const std::string raw_dir = dir.path() + "/raw", dump_dir = dir.path() + "/dump";
    static const bool made = fs::create_directory(raw_dir) && fs::create_directory(dump_dir);
    FUZZ_CHECK(made, "cannot lay out %s", dir.path().c_str());

    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        run_round_trip(in, dump_dir);
    } else {
        run_raw(in, raw_dir);
    }
    return 0;
}
