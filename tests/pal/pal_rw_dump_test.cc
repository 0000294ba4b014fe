#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "sdk/lib/pal/pal.hpp"
#include "sdk/lib/pal/pal_rw_dump.hpp"
#include "sdk/platform/pal/src/ipc/x86_64/palx86.hpp"
#include "tests/pal/capture_log.hpp"
#include "tests/pal/fake_card.hpp"

using namespace sdk::lib;
using talon_test::fake_card;
using talon_test::in_new_thread;
using talon_test::k_mem_pa;
using talon_test::k_regs_pa;
using talon_test::k_rsc_bdf;
using talon_test::log_has;

namespace {

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream f(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(f, l);) {
        lines.push_back(l);
    }
    return lines;
}

std::string read_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

pal_ret_t ctrl(int32_t op, const char* arg = nullptr, const char* fmt = nullptr) {
    pal_reg_rw_ctrl_s req{op, arg, fmt};
    return pal_reg_rw_ctrl(&req);
}

class PalRwDumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        talon_test::capture_log_start();
        setenv("BLD_VERSION", "1.2.3", 1);
        ASSERT_EQ(pal_init(sdk::platform::PLATFORM_TYPE_X86_64, nullptr), PAL_RET_OK);
        capture_dir_ = card_.root() + "/capture";
    }
    void TearDown() override {
        unsetenv("BLD_VERSION");
        pal_teardown(sdk::platform::PLATFORM_TYPE_X86_64);
        logger_init(nullptr);
    }
    // Directory and base name of the capture files of `section`.
    std::string capture_base(const std::string& section) const {
        std::string proc = "t_pal_rw_dump";
        return capture_dir_ + "/" + proc + "_" + section + "_bin/rw-capture-" + proc + "-1.2.3-" + section;
    }
    fake_card card_;
    std::string capture_dir_;
};

TEST_F(PalRwDumpTest, MergesContiguousEqualWritesAndSplitsRecords) {
    in_new_thread([&] {
        ASSERT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), 0);
        ASSERT_EQ(ctrl(PAL_RW_CTRL_DUMP_INIT, capture_dir_.c_str()), PAL_RET_OK);
        ASSERT_EQ(ctrl(PAL_RW_CTRL_START_RW, "init"), PAL_RET_OK);
        std::vector<uint32_t> same(8, 5);
        pal_reg_write(k_regs_pa + 0x100, same.data(), 8);
        std::vector<uint32_t> many(33);
        std::iota(many.begin(), many.end(), 1);
        for (uint32_t i = 0; i < 33; ++i) {
            pal_reg_write(k_regs_pa + 0x1000 + 4 * i, &many[i], 1);
        }
        uint32_t v = 9;
        pal_reg_write(k_regs_pa + 0x2000, &v, 1);
        pal_reg_write(k_regs_pa + 0x2008, &v, 1);  // not contiguous: new record
        uint32_t r = 0;
        pal_reg_read(k_regs_pa + 0x100, &r, 1);
        ctrl(PAL_RW_CTRL_LABEL, "ab");
        pal_reg_write(k_regs_pa + 0x3000, &v, 1);  // paused: not recorded
        ctrl(PAL_RW_CTRL_RESUME);
        pal_mem_set(k_mem_pa + 0x10, 0x7e, 4);
        ASSERT_EQ(ctrl(PAL_RW_CTRL_STOP), PAL_RET_OK);
    });
    std::vector<std::string> lines = read_lines(capture_base("init") + ".txt");
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "REG-WRITE addr 0x10600100 optype 1 merged 1 nwords 8 data 0x5 ");
    std::string first32 = "REG-WRITE addr 0x10601000 optype 1 merged 0 nwords 32 data ";
    EXPECT_EQ(lines[1].rfind(first32, 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("0x1f 0x20 "), std::string::npos);
    EXPECT_EQ(lines[2], "REG-WRITE addr 0x10601080 optype 1 merged 0 nwords 1 data 0x21 ");
    EXPECT_EQ(lines[3], "REG-WRITE addr 0x10602000 optype 1 merged 0 nwords 1 data 0x9 ");
    EXPECT_EQ(lines[4], "REG-WRITE addr 0x10602008 optype 1 merged 0 nwords 1 data 0x9 ");
    EXPECT_EQ(lines[5], "REG-READ addr 0x10600100 optype 0 merged 0 nwords 1 data 0x5 ");
    EXPECT_EQ(lines[6], "RW_SUSPEND addr 0x0 optype 5 merged 0 nwords 2 data 0x61 0x62 ");
    EXPECT_EQ(lines[7], "MEM-SET 0x80000010 optype 4 merged 1 nbytes 4 data 0x7e");
    EXPECT_TRUE(log_has("PAL RW control, dump done for init, n_reg_writes 43, n_reg_reads 1, "
                        "n_mem_writes 0, n_mem_reads 0, n_mem_set 4",
                        trace_level_info));

    // Binary: merged record, 32-word record, 1-word records, label, memset.
    std::string bin = read_bytes(capture_base("init") + ".bin");
    std::string expect_head("\x08\x09\x00\x01\x60\x10\x05\x00\x00\x00", 10);
    EXPECT_EQ(bin.substr(0, 10), expect_head);
    size_t size = 10 + (6 + 32 * 4) + 3 * (6 + 4) + (10 + 2) + 7;
    EXPECT_EQ(bin.size(), size);
    EXPECT_EQ(bin.substr(bin.size() - 7), std::string("\x04\x0c\x10\x00\x00\x80\x7e", 7));
}

TEST_F(PalRwDumpTest, NothingRecordedWithoutBuildVersion) {
    unsetenv("BLD_VERSION");
    in_new_thread([&] {
        ASSERT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), 0);
        ctrl(PAL_RW_CTRL_DUMP_INIT, capture_dir_.c_str());
        testing::internal::CaptureStderr();
        ctrl(PAL_RW_CTRL_START_RW, "x");
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "BLD_VERSION is not set, skipping register rw dump\n");
        uint32_t v = 1;
        pal_reg_write(k_regs_pa, &v, 1);
        ctrl(PAL_RW_CTRL_STOP);
    });
    EXPECT_FALSE(std::filesystem::exists(capture_dir_));
}

TEST_F(PalRwDumpTest, CaptureReplaysOntoFreshCard) {
    std::vector<uint8_t> image(40);
    std::iota(image.begin(), image.end(), 7);
    in_new_thread([&] {
        ASSERT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), 0);
        ctrl(PAL_RW_CTRL_DUMP_INIT, capture_dir_.c_str());
        ctrl(PAL_RW_CTRL_START_WR, "cfg");
        pal_mem_write(k_mem_pa + 0x400, image.data(), image.size());
        uint32_t regs[3] = {0xA, 0xB, 0xC};
        pal_reg_write(k_regs_pa + 0x80, regs, 3);
        ctrl(PAL_RW_CTRL_STOP);
    });
    const std::string dir = capture_base("cfg").substr(0, capture_base("cfg").rfind('/'));
    for (const char* fmt : {"txt", "bin"}) {
        fake_card fresh;
        in_new_thread([&] {
            ASSERT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), 0);
            ctrl(PAL_RW_CTRL_REPLAY_INIT, dir.c_str(), fmt);
            ctrl(PAL_RW_CTRL_START_RW, "cfg");
            // After the replay the replayed state is protected until stop.
            uint8_t junk = 0;
            pal_mem_write(k_mem_pa + 0x400, &junk, 1);
            ctrl(PAL_RW_CTRL_STOP);
        });
        EXPECT_EQ(fresh.mem_file(0x400, image.size()), image) << fmt;
        EXPECT_EQ(fresh.regs_file(0x88, 4), (std::vector<uint8_t>{0xC, 0, 0, 0})) << fmt;
        EXPECT_TRUE(log_has("Reg RW control, config replay done, n_reg_writes 3, n_reg_reads 0, "
                            "n_mem_writes 40"));
    }
}

TEST_F(PalRwDumpTest, MalformedCaptureEndsReplay) {
    const std::string dir = card_.root() + "/replay";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/rw-capture-x-1-bad.txt")
        << "MEM-WRITE addr 0x80000000 optype 3 merged 0 nwords 1 data 0x11 \n"
        << "garbage line\n"
        << "MEM-WRITE addr 0x80000001 optype 3 merged 0 nwords 1 data 0x22 \n";
    std::ofstream(dir + "/rw-capture-x-1-bad.bin", std::ios::binary) << std::string("\x00\x03\x00\x00\x00\x80", 6);
    for (const char* fmt : {"txt", "bin"}) {
        in_new_thread([&] {
            ASSERT_EQ(palx86_init_with_rsc_bdf(k_rsc_bdf), 0);
            ctrl(PAL_RW_CTRL_REPLAY_INIT, dir.c_str(), fmt);
            ctrl(PAL_RW_CTRL_START_RW, "bad");
            ctrl(PAL_RW_CTRL_STOP);
        });
    }
    EXPECT_EQ(card_.mem_file(0, 2), (std::vector<uint8_t>{0x11, 0}));
    EXPECT_TRUE(log_has("Malformed replay line 'garbage line', replay ended", trace_level_err));
    EXPECT_TRUE(log_has("Malformed replay record (zero count), replay ended", trace_level_err));
    in_new_thread([&] {
        ctrl(PAL_RW_CTRL_REPLAY_INIT, dir.c_str(), "txt");
        ctrl(PAL_RW_CTRL_START_RW, "missing");
    });
    EXPECT_TRUE(log_has("Failed to open, dir " + dir + ", section missing, file ", trace_level_err));
    EXPECT_EQ(ctrl(99), PAL_RET_NOK);
}

}  // namespace
