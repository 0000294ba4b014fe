#include <atomic>
#include <functional>
#include <future>
#include <latch>
#include <numeric>

#include "sdk/lib/pal/pal_rw_dump.hpp"
#include "sdk/platform/pal/include/palx86.hpp"
#include "tests/pal/pal_test.hpp"

using namespace sdk::lib;
using namespace test_support;
using bytes = std::vector<uint8_t>;

namespace {

constexpr auto k_x86 = sdk::platform::PLATFORM_TYPE_X86_64;

// Operation table dispatch and initialisation.
class PalDispatchTest : public test_support::pal_fixture {};

TEST_F(PalDispatchTest, UnknownTypeFailsAndKeepsTheTableUntilTeardown) {
    EXPECT_EQ(pal_init(9, nullptr), 1u);
    EXPECT_TRUE(log_has("] Failed to initialize PAL for platform type 9, err 1", trace_level_err));
    // The default slots answer; a slot no backend filled fails instead of jumping through null.
    EXPECT_EQ(pal_get_cpld_id(), -1);
    uint8_t buf[4] = {};
    EXPECT_EQ(pal_mem_read(0xabc, buf, sizeof(buf)), PAL_RET_OK);
    EXPECT_EQ(pal_sbus_read(0, 1, 2), PAL_RET_NOK);
    EXPECT_TRUE(log_has("PAL operation pal_sbus_read is not available", trace_level_err));

    // The flag stays set: another type is not taken until a teardown.
    EXPECT_EQ(pal_init(k_x86, nullptr), PAL_RET_OK);
    EXPECT_EQ(pal_get_platform_type(), 9u);
    EXPECT_EQ(pal_teardown(9), PAL_RET_OK);
    // Half a telnet configuration chooses the local backend, which connects nowhere.
    setenv("PAL_TELNET_PORT", "1", 1);
    EXPECT_EQ(pal_init(k_x86, nullptr), PAL_RET_OK);
    EXPECT_EQ(pal_get_platform_type(), k_x86);
    EXPECT_NE(gl_pal_info.rwvecs.reg_rw_ctrl, nullptr);
    EXPECT_FALSE(log_has("Telnet"));
}

TEST_F(PalDispatchTest, ConcurrentInitSeesCompleteTable) {
    constexpr int k_threads = 8;
    std::latch start(k_threads);
    std::atomic<int> complete{0};
    std::vector<std::jthread> threads;
    for (int i = 0; i < k_threads; ++i) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            EXPECT_EQ(pal_init(k_x86, nullptr), PAL_RET_OK);
            // The backend's last slot is in place whichever thread filled it.
            complete += gl_pal_info.rwvecs.reg_rw_ctrl != nullptr && gl_pal_info.rwvecs.mem_read != nullptr &&
                        gl_pal_info.platform_type == k_x86;
        });
    }
    threads.clear();  // joins them
    EXPECT_EQ(complete.load(), k_threads);
}

// Runs fn on a detached thread; false when it has not finished within timeout
// (it is then left behind, blocked, rather than hanging the test).
template <typename Fn>
bool finishes_within(std::chrono::seconds timeout, Fn fn) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([done, fn] {
        fn();
        done->set_value();
    }).detach();
    return finished.wait_for(timeout) == std::future_status::ready;
}

TEST_F(PalDispatchTest, TeardownRacingInitNeverLeavesLaterCallersWaiting) {
    constexpr sdk::platform::platform_type_t k_type = 9;  // no backend: the table fills fast
    logger_init(nullptr);
    const bool raced = finishes_within(std::chrono::seconds(60), [] {
        std::vector<std::jthread> threads;
        for (int i = 0; i < 2; ++i) {
            threads.emplace_back([] {
                for (int r = 0; r < 50000; ++r) {
                    pal_init(k_type, nullptr);
                }
            });
            threads.emplace_back([] {
                for (int r = 0; r < 50000; ++r) {
                    pal_teardown(k_type);
                }
            });
        }
    });
    ASSERT_TRUE(raced) << "init and teardown racing got stuck";
    // Whatever state the race left, a teardown and a fresh init take effect.
    ASSERT_TRUE(finishes_within(std::chrono::seconds(5), [] {
        pal_teardown(k_type);
        pal_init(k_x86, nullptr);
    }));
    EXPECT_EQ(pal_get_platform_type(), k_x86);
    EXPECT_TRUE(finishes_within(std::chrono::seconds(5), [] { pal_init(k_type, nullptr); }));
}

// The host backend against an emulated card.
class PalX86Test : public pal_fixture {
protected:
    void SetUp() override {
        pal_fixture::SetUp();
        ASSERT_EQ(pal_init(k_x86, nullptr), PAL_RET_OK);
    }
    // Runs `fn` on a fresh thread that has started the card.
    template <typename Fn>
    void on_card(Fn fn) {
        in_new_thread([&] {
            ASSERT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), 0);
            fn(palx86_get_ctx());
        });
    }
    fake_card card_;
};

TEST_F(PalX86Test, CardStartMapsTheWindowsOnceAndChecksTheResourceMap) {
    in_new_thread([&] {
        EXPECT_EQ(pal_hw_x86_init(k_hub_bdf), 0);
        EXPECT_EQ(palx86_get_ctx().mem.pa, k_mem_pa);
        EXPECT_EQ(pal_hw_x86_mem_totalsize(), k_mem_size);
        EXPECT_EQ(pal_hw_x86_init(k_hub_bdf), 0);  // maps nothing again
    });
    EXPECT_EQ(card_.setpci_log(), std::string("-s ") + k_rsc_bdf + " 0x4.w=2\n");
    card_.write_rsc_map(0xdeadbeef, 3);  // wrong magic, non-zero version: accepted
    on_card([](const palx86_ctx_s&) {});
    in_new_thread([&] {
        card_.write_rsc_map(0xdeadbeef, 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), -1);
        card_.write_rsc_map(0x70616c78, 1);
        EXPECT_EQ(palx86_init_with_rsc_bdf("0000:03:00.0/../x"), -1);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("check failed"), std::string::npos);
        EXPECT_EQ(palx86_get_ctx().initialized, 0u);
    });
}

// A restart that cannot map every window leaves the started context on its
// old mappings: accesses keep working instead of touching unmapped memory.
TEST_F(PalX86Test, FailedRestartKeepsTheOldMappings) {
    card_.write_mem_file(0x40, bytes{1, 2, 3, 4});
    const std::string mem_path = card_.dev_dir() + "/resource2";
    on_card([&](const palx86_ctx_s& before) {
        std::filesystem::rename(mem_path, mem_path + ".hidden");
        testing::internal::CaptureStderr();
        EXPECT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), -1);
        testing::internal::GetCapturedStderr();
        palx86_ctx_s after = palx86_get_ctx();
        EXPECT_EQ(after.initialized, 1u);
        EXPECT_EQ(after.mem.va, before.mem.va);
        bytes got(4);
        EXPECT_EQ(pal_mem_read(k_mem_pa + 0x40, got.data(), got.size()), PAL_RET_OK);
        EXPECT_EQ(got, (bytes{1, 2, 3, 4}));
        EXPECT_EQ(::pal_reg_wr32(k_regs_pa + 0x10, 0xabcd), 0);
        std::filesystem::rename(mem_path + ".hidden", mem_path);
    });
    EXPECT_EQ(card_.regs_file(0x10, 2), (bytes{0xcd, 0xab}));
}

TEST_F(PalX86Test, MemoryAccessStaysInTheWindow) {
    bytes pattern(64), data(19);
    std::iota(pattern.begin(), pattern.end(), 1);
    std::iota(data.begin(), data.end(), 100);
    card_.write_mem_file(k_mem_size - 64, pattern);
    card_.write_mem_file(0x100, pattern);
    on_card([&](const palx86_ctx_s& ctx) {
        auto read = [](uint64_t pa, uint8_t* out, size_t n) {
            EXPECT_EQ(pal_mem_read(pa, out, n), PAL_RET_OK);
            return bytes(out, out + n);
        };
        uint8_t out[32] = {};
        // A range running past the end keeps the bytes inside, 0xFF after.
        EXPECT_EQ(read(k_mem_pa + k_mem_size - 2, out, 4), (bytes{63, 64, 0xFF, 0xFF}));
        // 3 bytes below an 8-byte boundary, 20 bytes, into an odd buffer.
        out[0] = out[21] = 0;
        EXPECT_EQ(read(k_mem_pa + 0x105, out + 1, 20), bytes(pattern.begin() + 5, pattern.begin() + 25));
        EXPECT_EQ(out[0] | out[21], 0);

        EXPECT_EQ(pal_mem_write(k_mem_pa + 0x203, data.data(), data.size()), PAL_RET_OK);
        EXPECT_EQ(::pal_memset(k_mem_pa + 0x300, 0x5A, 16, 0), 16u);
        EXPECT_EQ(pal_mem_set(k_mem_pa + 0x311, 0xA5, 9), PAL_RET_OK);
        // Past the window: nothing set, the slot reports the shortfall.
        EXPECT_EQ(::pal_memset(k_mem_pa + k_mem_size, 1, 8, 0), 0u);
        EXPECT_EQ(pal_mem_set(k_mem_pa + k_mem_size - 4, 7, 8), PAL_RET_NOK);

        uint64_t va = 0, pa = 0;
        EXPECT_EQ(pal_hw_x86_mem_pa_to_va(k_mem_pa - 1, &va), -1);
        EXPECT_EQ(pal_hw_x86_mem_pa_to_va(k_mem_pa + k_mem_size, &va), -1);
        EXPECT_EQ(pal_hw_x86_mem_va_to_pa(&pa, ctx.mem.va + k_mem_size), -1);
        EXPECT_EQ(pal_mem_map(k_regs_pa, 8), nullptr);
    });
    EXPECT_EQ(card_.mem_file(0x203, 19), data);
    bytes set(28, 0);  // from 0x2FF: 16 word-stored bytes, a gap, 9 from an odd start
    std::fill(set.begin() + 1, set.begin() + 17, 0x5A);
    std::fill(set.begin() + 18, set.begin() + 27, 0xA5);
    EXPECT_EQ(card_.mem_file(0x2FF, 28), set);
    EXPECT_EQ(card_.mem_file(k_mem_size - 4, 4), bytes(4, 7));
}

TEST_F(PalX86Test, RegisterAccessRefusesMisalignedAndOutOfWindow) {
    on_card([](const palx86_ctx_s&) {
        // Error line, all-ones, no access.
        EXPECT_EQ(::pal_reg_rd32(k_regs_pa + 0x42), UINT32_MAX);
        EXPECT_TRUE(log_has("pal_reg_rd32: register address 0x10600042 is not aligned to 4 bytes", trace_level_err));
        EXPECT_EQ(::pal_reg_rd64(k_regs_pa + k_regs_size), UINT64_MAX);
        EXPECT_EQ(::pal_reg_wr16(k_regs_pa + 1, 1), -1);
        EXPECT_EQ(pal_ring_db32(k_regs_pa + k_regs_size - 2, 5), PAL_RET_NOK);
        uint64_t va = 0;
        EXPECT_EQ(pal_hw_x86_regs_pa_to_va(k_regs_pa + k_regs_size, &va), -1);
        // A word transfer that would run past the window moves nothing.
        uint32_t two[2] = {9, 9};
        EXPECT_EQ(pal_reg_write(k_regs_pa + k_regs_size - 4, two, 2), PAL_RET_NOK);
        EXPECT_EQ(pal_reg_read(k_regs_pa + k_regs_size - 4, two, 2), PAL_RET_NOK);
        EXPECT_EQ(two[0], UINT32_MAX);
    });
    EXPECT_EQ(card_.regs_file(k_regs_size - 4, 4), bytes(4, 0));
}

TEST_F(PalX86Test, LazyStartByResourceDeviceAddressOrLspci) {
    card_.write_mem_file(0, {0x42});
    auto first_byte = [] {
        uint8_t b = 0;
        EXPECT_EQ(pal_mem_read(k_mem_pa, &b, 1), PAL_RET_OK);
        return b;
    };
    in_new_thread([&] { EXPECT_EQ(first_byte(), 0x42); });
    card_.write_script("lspci", "exit 0\n");
    testing::internal::CaptureStderr();
    in_new_thread([&] { EXPECT_EQ(first_byte(), 0xFF); });  // not started: outside every window
    testing::internal::GetCapturedStderr();
    setenv("PAL_RESDEV_BDF", "03:00.0", 1);
    in_new_thread([&] { EXPECT_EQ(first_byte(), 0x42); });
}

// Register and memory access capture and replay. The record formats round
// trip under tests/fuzz; these cover the backend's hooks and the files.
pal_ret_t ctrl(int32_t op, const char* arg = nullptr, const char* fmt = nullptr) {
    pal_reg_rw_ctrl_s req{op, arg, fmt};
    return pal_reg_rw_ctrl(&req);
}

class PalRwDumpTest : public PalX86Test {
protected:
    void SetUp() override {
        PalX86Test::SetUp();
        setenv("BLD_VERSION", "1.2.3", 1);
    }
    // On a fresh thread with the card started: `init_op` on `dir` (in `fmt`), START_RW of `sect`, `fn`, stop.
    void session(int32_t init_op, const std::string& dir, const char* fmt, const char* sect,
                 const std::function<void()>& fn = [] {}) {
        on_card([&](const palx86_ctx_s&) {
            ctrl(init_op, dir.c_str(), fmt);
            ctrl(PAL_RW_CTRL_START_RW, sect);
            fn();
            ctrl(PAL_RW_CTRL_STOP);
        });
    }
    // <dir>/<process>_<section>_bin/rw-capture-<process>-<version>-<section>.txt and .bin
    std::string capture_dir(const std::string& s) const { return dir_ + "/t_pal_x86_" + s + "_bin"; }
    std::string capture_txt(const std::string& s) const {
        return capture_dir(s) + "/rw-capture-t_pal_x86-1.2.3-" + s + ".txt";
    }
    const std::string dir_ = card_.root() + "/capture";
};

TEST_F(PalRwDumpTest, CaptureMergesEqualWritesAndReplaysOntoFreshCard) {
    std::vector<uint8_t> image(40);
    std::iota(image.begin(), image.end(), 7);
    session(PAL_RW_CTRL_DUMP_INIT, dir_, nullptr, "cfg", [&] {
        std::vector<uint32_t> same(8, 5);
        pal_reg_write(k_regs_pa + 0x100, same.data(), 8);
        ctrl(PAL_RW_CTRL_LABEL, "ab");
        pal_reg_write(k_regs_pa + 0x3000, same.data(), 1);  // paused after a label: not recorded
        ctrl(PAL_RW_CTRL_RESUME);
        pal_mem_write(k_mem_pa + 0x400, image.data(), image.size());
        uint32_t regs[3] = {0xA, 0xB, 0xC};
        pal_reg_write(k_regs_pa + 0x80, regs, 3);
    });
    const std::string txt = read_file(capture_txt("cfg"));
    EXPECT_EQ(txt.rfind("REG-WRITE addr 0x10600100 optype 1 merged 1 nwords 8 data 0x5 \n"
                        "RW_SUSPEND addr 0x0 optype 5 merged 0 nwords 2 data 0x61 0x62 \nMEM-WRITE", 0), 0u)
        << txt;
    for (const char* fmt : {"txt", "bin"}) {
        fake_card fresh;
        session(PAL_RW_CTRL_REPLAY_INIT, capture_dir("cfg"), fmt, "cfg");
        EXPECT_EQ(fresh.mem_file(0x400, image.size()), image) << fmt;
        EXPECT_EQ(fresh.regs_file(0x88, 4), (std::vector<uint8_t>{0xC, 0, 0, 0})) << fmt;
        EXPECT_EQ(fresh.regs_file(0x3000, 4), bytes(4, 0)) << fmt;
    }
}

TEST_F(PalRwDumpTest, NothingRecordedWithoutBuildVersionOrThroughAPlantedSymlink) {
    const uint32_t v = 1;
    unsetenv("BLD_VERSION");
    testing::internal::CaptureStderr();
    session(PAL_RW_CTRL_DUMP_INIT, dir_, nullptr, "x", [&] { pal_reg_write(k_regs_pa, &v, 1); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "BLD_VERSION is not set, skipping register rw dump\n");
    EXPECT_FALSE(std::filesystem::exists(dir_));

    setenv("BLD_VERSION", "1.2.3", 1);
    const std::string victim = card_.root() + "/victim";
    std::ofstream(victim) << "keep";
    std::filesystem::create_directories(capture_dir("s"));
    std::filesystem::create_symlink(victim, capture_txt("s"));
    testing::internal::CaptureStderr();
    session(PAL_RW_CTRL_DUMP_INIT, dir_, nullptr, "s", [&] { pal_reg_write(k_regs_pa, &v, 1); });
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to open "), std::string::npos);
    EXPECT_EQ(read_file(victim), "keep");
}

TEST_F(PalRwDumpTest, MalformedLineEndsReplay) {
    const std::string dir = card_.root() + "/replay";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/rw-capture-x-1-bad.txt")
        << "MEM-WRITE addr 0x80000000 optype 3 merged 0 nwords 1 data 0x11 \ngarbage line\n"
        << "MEM-WRITE addr 0x80000001 optype 3 merged 0 nwords 1 data 0x22 \n";
    session(PAL_RW_CTRL_REPLAY_INIT, dir, "txt", "bad");
    EXPECT_EQ(card_.mem_file(0, 2), (std::vector<uint8_t>{0x11, 0}));
    EXPECT_TRUE(log_has("Malformed replay line 'garbage line', replay ended", trace_level_err));
}

}  // namespace
