// The capture replay reader, text and binary. Two kinds of input:
//  - raw: the bytes are a capture file; the replay ends cleanly whatever they
//    hold and never applies more accesses than the records can carry;
//  - round trip: the bytes describe register and memory accesses, memory
//    sets and labels; the recorder captures them and both replays must apply
//    exactly the accesses again, in order (the binary form carries no
//    register reads; a memory set is seen byte by byte, a label not at all).
#include "logger/logger.hpp"
#include "sdk/lib/pal/pal.hpp"
#include "sdk/lib/pal/pal_rw_dump.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "tests/support/process.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdarg>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace sdk::lib;
namespace fs = std::filesystem;

constexpr size_t k_max_ops = 96;
constexpr uint64_t k_reg_addr_limit = 0xFFFF0000;  // room for contiguous words below 2^32
constexpr uint64_t k_mem_addr_limit = UINT64_MAX - 0x10000;
constexpr size_t k_max_set_per_record = 0xFF;
constexpr size_t k_max_set = 600;     // more than one memory-set record holds
constexpr size_t k_max_label = 300;   // more than the recorder keeps
constexpr size_t k_min_bin_record = 6;
constexpr const char *k_section = "sec";

enum op_kind_e : uint8_t { reg_read, reg_write, mem_read, mem_write, mem_set, label };

struct access_s {
    op_kind_e kind;
    uint64_t addr;
    uint32_t value;  // a register read's value is not replayed; a memory set's size
    bool operator==(const access_s &o) const {
        return kind == o.kind && addr == o.addr && (kind == reg_read || value == o.value);
    }
};

// What the replay applied, and the bytes its memory reads are answered with.
std::vector<access_s> g_applied;
std::deque<uint8_t> g_mem_answers;

pal_ret_t mock_reg_read(uint64_t addr, uint32_t *data, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        g_applied.push_back({reg_read, addr + 4ULL * i, 0});
        data[i] = 0;
    }
    return PAL_RET_OK;
}
pal_ret_t mock_reg_write(uint64_t addr, const uint32_t *data, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        g_applied.push_back({reg_write, addr + 4ULL * i, data[i]});
    }
    return PAL_RET_OK;
}
pal_ret_t mock_mem_read(uint64_t addr, uint8_t *data, uint64_t size, uint32_t) {
    for (uint64_t i = 0; i < size; ++i) {
        data[i] = g_mem_answers.empty() ? static_cast<uint8_t>(addr + i) : g_mem_answers.front();
        if (!g_mem_answers.empty()) {
            g_mem_answers.pop_front();
        }
        g_applied.push_back({mem_read, addr + i, data[i]});
    }
    return PAL_RET_OK;
}
pal_ret_t mock_mem_write(uint64_t addr, const uint8_t *data, uint64_t size, uint32_t) {
    for (uint64_t i = 0; i < size; ++i) {
        g_applied.push_back({mem_write, addr + i, data[i]});
    }
    return PAL_RET_OK;
}

pal_ret_t mock_mem_set(uint64_t addr, uint8_t value, uint32_t size, uint32_t) {
    for (uint32_t i = 0; i < size; ++i) {
        g_applied.push_back({mem_write, addr + i, value});
    }
    return PAL_RET_OK;
}


// The recorder keeps its state per thread and, once set up for capture, a
// thread never replays: captures are taken on a thread of their own.
using recorder_thread = fuzz_support::job_thread;

void rw_ctrl(int32_t op, const char *arg, const char *fmt = nullptr) {
    pal_reg_rw_ctrl_s ctrl{};
    ctrl.op = op;
    ctrl.arg = arg;
    ctrl.fmt = fmt;
    FUZZ_CHECK(pal_rw_dump_ctrl(&ctrl) == PAL_RET_OK, "rw control %d refused", op);
}

// Replays the one file of `dir` in format `fmt` on this thread.
std::vector<access_s> replay(const std::string &dir, const char *fmt) {
    g_applied.clear();
    rw_ctrl(PAL_RW_CTRL_REPLAY_INIT, dir.c_str(), fmt);
    rw_ctrl(PAL_RW_CTRL_START_RW, k_section);
    rw_ctrl(PAL_RW_CTRL_STOP, k_section);
    return g_applied;
}

void run_raw(FuzzedDataProvider &in, const std::string &dir) {
    const bool text = in.ConsumeBool();
    const std::string bytes = in.ConsumeRemainingBytesAsString();
    {
        std::ofstream out(dir + "/rw-capture-x-1-" + k_section + (text ? ".txt" : ".bin"), std::ios::binary);
        out << bytes;
    }
    g_mem_answers.clear();
    const auto applied = replay(dir, text ? "txt" : "bin");
    // Every record carries at most 32 items and takes at least one line or
    // one 6-byte header.
    const size_t records = text ? static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1
                                : bytes.size() / k_min_bin_record;
    FUZZ_CHECK(applied.size() <= records * k_max_set_per_record, "%zu accesses from %zu bytes", applied.size(),
               bytes.size());
    fs::remove(dir + "/rw-capture-x-1-" + k_section + (text ? ".txt" : ".bin"));
}

void run_round_trip(FuzzedDataProvider &in, const std::string &dump_dir, recorder_thread &recorder) {
    std::vector<access_s> ops;
    std::vector<std::string> labels;
    const size_t n = in.ConsumeIntegralInRange<size_t>(1, k_max_ops);
    for (size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
        const auto kind = static_cast<op_kind_e>(in.ConsumeIntegralInRange<uint8_t>(reg_read, label));
        if (kind == label) {
            std::string text = in.ConsumeRandomLengthString(k_max_label);
            text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
            ops.push_back({label, labels.size(), 0});
            labels.push_back(text.empty() ? "l" : text);
            continue;
        }
        if (kind == mem_set) {
            const uint64_t addr = in.ConsumeIntegralInRange<uint64_t>(0, k_mem_addr_limit);
            ops.push_back({mem_set, addr, in.ConsumeIntegralInRange<uint32_t>(0, k_max_set)});
            continue;
        }
        const bool reg = kind == reg_read || kind == reg_write;
        uint64_t addr;
        if (!ops.empty() && ops.back().kind == kind && in.ConsumeBool()) {
            addr = ops.back().addr + (reg ? 4 : 1);  // continues the previous access
        } else {
            addr = reg ? in.ConsumeIntegralInRange<uint64_t>(0, k_reg_addr_limit)
                       : in.ConsumeIntegralInRange<uint64_t>(0, k_mem_addr_limit);
        }
        const uint32_t value = in.ConsumeBool() && !ops.empty() ? ops.back().value
                                                                : in.ConsumeIntegral<uint32_t>();
        ops.push_back({kind, addr, reg ? value : (value & 0xFF)});
    }
    recorder.call([&] {
        rw_ctrl(PAL_RW_CTRL_DUMP_INIT, dump_dir.c_str());
        rw_ctrl(PAL_RW_CTRL_START_RW, k_section);
        for (const auto &op : ops) {
            const auto byte = static_cast<uint8_t>(op.value);
            switch (op.kind) {
            case reg_read: reg_read_dump(op.addr, op.value); break;
            case reg_write: reg_write_dump(op.addr, &op.value, 1, 0, 0); break;
            case mem_read: mem_read_dump(op.addr, &byte, 1); break;
            case mem_write: mem_write_dump(op.addr, &byte, 1); break;
            case mem_set: mem_set_dump(op.addr, static_cast<uint8_t>(op.addr >> 3), op.value); break;
            case label: rw_label_insert(labels[op.addr].c_str()); break;
            }
        }
        rw_ctrl(PAL_RW_CTRL_STOP, k_section);
    });
    std::string capture_dir;
    for (const auto &e : fs::directory_iterator(dump_dir)) {
        capture_dir = e.path();
    }
    FUZZ_CHECK(!capture_dir.empty(), "the recorder wrote no capture");

    for (const char *fmt : {"txt", "bin"}) {
        std::vector<access_s> expected;
        g_mem_answers.clear();
        for (const auto &op : ops) {
            if (op.kind == mem_read) {
                g_mem_answers.push_back(static_cast<uint8_t>(op.value));
            }
            if (op.kind == mem_set) {
                for (uint32_t b = 0; b < op.value; ++b) {
                    expected.push_back({mem_write, op.addr + b, static_cast<uint8_t>(op.addr >> 3)});
                }
            } else if (op.kind == label) {
                continue;
            } else if (op.kind != reg_read || fmt[0] == 't') {
                expected.push_back(op);
            }
        }
        const auto applied = replay(capture_dir, fmt);
        FUZZ_CHECK(applied.size() == expected.size(), "%s replay applied %zu of %zu accesses", fmt,
                   applied.size(), expected.size());
        for (size_t i = 0; i < applied.size(); ++i) {
            FUZZ_CHECK(applied[i] == expected[i], "%s replay access %zu: kind %d addr 0x%llx value 0x%x, captured 0x%llx 0x%x",
                       fmt, i, applied[i].kind, static_cast<unsigned long long>(applied[i].addr), applied[i].value,
                       static_cast<unsigned long long>(expected[i].addr), expected[i].value);
        }
    }
    fs::remove_all(capture_dir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ::setenv("BLD_VERSION", "1", 1);
    logger_init(null_logger_cb_);
    pal_rwvecs_s &v = gl_pal_info.rwvecs;
    v.reg_read = mock_reg_read;
    v.reg_write = mock_reg_write;
    v.mem_read = mock_mem_read;
    v.mem_write = mock_mem_write;
    v.mem_set = mock_mem_set;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const test_support::temp_dir dir;
    static const std::string raw_dir = dir.path() + "/raw";
    static const std::string dump_dir = dir.path() + "/dump";
    static recorder_thread recorder;
    static const bool made = fs::create_directory(raw_dir) && fs::create_directory(dump_dir);
    FUZZ_CHECK(made, "cannot lay out %s", dir.path().c_str());

    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        run_round_trip(in, dump_dir, recorder);
    } else {
        run_raw(in, raw_dir);
    }
    return 0;
}
