// The emulator's card-control firmware seen from the wire: raw exchanges on
// both transports, the "more data follows" reads, refusals, the control
// verbs and their faults.
#include <array>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>

#include "emulator/emu_card_ctl.hpp"
#include "nic_ipc/nic_ipc.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"
#include "tests/emulator/emu_env.hpp"

using namespace pal_card_wire;
using ipc_wire::get_le;
using ipc_wire::put_le;
using talon_test::emu_cfg;
using talon_test::emu_env;

namespace {

struct answer_s {
    int len = -1;
    uint32_t transport = 0;
    std::array<uint8_t, k_qsfp_buf_size> buf{};
    uint32_t status() const { return get_le<uint32_t>(buf.data()); }
    uint32_t u32(size_t off) const { return get_le<uint32_t>(buf.data() + off); }
};

class raw_card {
public:
    explicit raw_card(unsigned card = 0) { rc_ = ch_.open(talon_emu::emulator::card_bdf(card).c_str()); }
    int open_rc() const { return rc_; }
    answer_s send(uint32_t ep, uint32_t op, std::array<uint8_t, k_qsfp_buf_size> req, size_t req_len,
                  size_t rsp_len)
    {
        answer_s a;
        a.buf = req;
        a.len = nic_ipc_req_rsp(ch_.get(), ep, op, a.buf.data(), req_len, rsp_len, &a.transport);
        return a;
    }
    answer_s qsfp_read(uint32_t port, uint32_t offset, uint32_t size, uint32_t progress)
    {
        std::array<uint8_t, k_qsfp_buf_size> q{};
        put_le<uint32_t>(&q[k_qsfp_progress_off], progress);
        put_le<uint32_t>(&q[k_qsfp_port_off], port);
        put_le<uint32_t>(&q[k_qsfp_offset_off], offset);
        put_le<uint32_t>(&q[k_qsfp_size_off], size);
        return send(k_ep_qsfp, k_op_qsfp_read, q, k_qsfp_req_len, k_qsfp_rsp_len);
    }

private:
    nic_ipc_channel ch_;
    int rc_ = -1;
};

class EmuCardCtl : public ::testing::TestWithParam<talon_emu::transport_e> {};

TEST_P(EmuCardCtl, LongReadComesInChunksWithMoreDataStatus)
{
    emu_env emu(emu_cfg(1, 2, 2, GetParam()));
    emu.ctl("qsfp 0 1 byte 129 0x5e");
    raw_card card;
    ASSERT_EQ(card.open_rc(), 0);
    answer_s first = card.qsfp_read(1, 0, 256, 0);
    ASSERT_EQ(first.transport, 0u);
    EXPECT_EQ(first.len, static_cast<int>(k_qsfp_data_off + talon_emu::k_qsfp_read_chunk));
    EXPECT_EQ(first.status(), k_qsfp_status_more);
    EXPECT_EQ(first.buf[k_qsfp_data_off], 0x11);
    answer_s second = card.qsfp_read(1, 0, 256, 128);
    EXPECT_EQ(second.len, static_cast<int>(k_qsfp_data_off + 128));
    EXPECT_EQ(second.status(), k_qsfp_status_done);
    EXPECT_EQ(second.buf[k_qsfp_data_off + 1], 0x5e);
    // A short read fits one response.
    answer_s small = card.qsfp_read(1, 120, 10, 0);
    EXPECT_EQ(small.len, static_cast<int>(k_qsfp_data_off + 10));
    EXPECT_EQ(small.status(), k_qsfp_status_done);
    EXPECT_EQ(small.buf[k_qsfp_data_off + 9], 0x5e);
}

TEST_P(EmuCardCtl, CpldAnswersCarryStatusValueAndRegisterByte)
{
    emu_env emu(emu_cfg(1, 2, 2, GetParam()));
    emu.ctl("cpld 0 reg 7 0xab");
    raw_card card;
    std::array<uint8_t, k_qsfp_buf_size> q{};
    answer_s id = card.send(k_ep_cpld, k_op_cpld_id, q, k_cpld_req_len, k_cpld_rsp_len);
    EXPECT_EQ(id.len, static_cast<int>(k_cpld_rsp_len));
    EXPECT_EQ(id.status(), 0u);
    EXPECT_EQ(id.u32(k_cpld_value_off), 101u);
    q[k_cpld_arg_off] = 7;
    answer_s reg = card.send(k_ep_cpld, k_op_get_cpld_reg, q, k_cpld_req_len, k_cpld_rsp_len);
    EXPECT_EQ(reg.buf[k_cpld_reg_off], 0xab);
    answer_s sensor = card.send(k_ep_cpld, k_op_read_die_temperature, {}, 0, k_sensor_rsp_len);
    EXPECT_EQ(sensor.len, static_cast<int>(k_sensor_rsp_len));
    EXPECT_EQ(sensor.u32(k_sensor_value_off), 62u);
    // An operation the endpoint does not know is a transport error.
    answer_s unknown = card.send(k_ep_qsfp, 0x10099, {}, 0, k_qsfp_rsp_len);
    EXPECT_EQ(unknown.transport, 95u);
}

INSTANTIATE_TEST_SUITE_P(transports, EmuCardCtl,
                         ::testing::Values(talon_emu::transport_e::tawk, talon_emu::transport_e::fwctl),
                         [](const auto &info) {
                             return std::string(info.param == talon_emu::transport_e::tawk ? "tawk" : "fwctl");
                         });

TEST(EmuCardCtlRequests, RefusesRangesSizesAndPortsItCannotServe)
{
    emu_env emu;
    raw_card card;
    EXPECT_EQ(card.qsfp_read(1, 250, 7, 0).status(), k_qsfp_status_bad_request);
    EXPECT_EQ(card.qsfp_read(1, 0, 16, 17).status(), k_qsfp_status_bad_request);
    EXPECT_EQ(card.qsfp_read(3, 0, 16, 0).status(), k_qsfp_status_bad_request);
    std::array<uint8_t, k_qsfp_buf_size> w{};
    put_le<uint32_t>(&w[k_qsfp_port_off], 1);
    put_le<uint32_t>(&w[k_qsfp_size_off], 213);
    EXPECT_EQ(card.send(k_ep_qsfp, k_op_qsfp_write, w, k_qsfp_req_len, k_qsfp_rsp_len).status(),
              k_qsfp_status_bad_request);
    emu.ctl("qsfp 0 1 powered 0");
    EXPECT_EQ(card.qsfp_read(1, 0, 16, 0).status(), k_qsfp_status_failed);
    std::array<uint8_t, k_qsfp_buf_size> f{};
    put_le<uint32_t>(&f[k_fru_offset_off], 4096);
    EXPECT_EQ(card.send(k_ep_cpld, k_op_fru_read, f, k_fru_req_len, k_fru_rsp_len).status(),
              k_qsfp_status_bad_request);
}

TEST(EmuCardCtlControl, VerbsFaultsAndTheirErrors)
{
    emu_env emu;
    EXPECT_EQ(emu.ctl("fault 0 QSFP_READ status=2"), "fault 0000:05:00.0 QSFP_READ status=2");
    raw_card card;
    EXPECT_EQ(card.qsfp_read(1, 0, 16, 0).status(), 2u);
    emu.ctl("fault 0 QSFP_READ short");
    EXPECT_EQ(card.qsfp_read(1, 0, 16, 0).len, static_cast<int>((k_qsfp_data_off + 16) / 2));
    emu.ctl("fault 0 CPLD_ID transport=7");
    EXPECT_EQ(card.send(k_ep_cpld, k_op_cpld_id, {}, k_cpld_req_len, k_cpld_rsp_len).transport, 7u);
    emu.ctl("fault 0 CPLD_ID ok");
    EXPECT_EQ(card.send(k_ep_cpld, k_op_cpld_id, {}, k_cpld_req_len, k_cpld_rsp_len).transport, 0u);

    EXPECT_EQ(emu.ctl("cpld 0 id 103"), "cpld 0000:05:00.0 id 103");
    EXPECT_EQ(emu.ctl("sensor 0 vin 11900"), "sensor 0000:05:00.0 vin 11900");
    EXPECT_EQ(emu.ctl("qsfp 0 2 present 0"), "qsfp 0000:05:00.0 2 present 0");
    EXPECT_NE(emu.ctl("show 0 cpld").find("id=103 "), std::string::npos);
    EXPECT_NE(emu.ctl("show 0 qsfp 2").find("present=0 "), std::string::npos);

    std::string answer;
    const std::string root = emu.root();
    struct {
        const char *cmd;
        const char *answer;
    } bad[] = {
        {"qsfp 0 3 present 1", "no QSFP port 3 (ports 1-2)"},
        {"qsfp 0 1 present 2", "usage: qsfp CARD PORT"},
        {"qsfp 0 1 byte 256 1", "usage: qsfp CARD PORT"},
        {"cpld 0 bogus 1", "usage: cpld CARD"},
        {"cpld 0 reg 300 1", "usage: cpld CARD"},
        {"sensor 0 fan 1", "usage: sensor CARD"},
        {"show 0 lifs", "usage: show CARD cpld"},
        {"show 0 qsfp 9", "no QSFP port 9"},
        {"fault 0 QSFP_NOPE ok", "unknown firmware command 'QSFP_NOPE'"},
        {"fault 0 QSFP_READ status=x", "bad fault value in 'status=x'"},
        {"cpld 7 id 1", "unknown card '7'"},
    };
    for (const auto &b : bad) {
        EXPECT_FALSE(talon_emu::control(root, b.cmd, &answer)) << b.cmd;
        EXPECT_EQ(answer.rfind(b.answer, 0), 0u) << b.cmd << ": " << answer;
    }
}

TEST(EmuCardCtlControl, HelpDocumentsTheAddedCommands)
{
    FILE *p = ::popen((std::string(TALON_EMU_EXE) + " --help").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    while (std::fgets(buf, sizeof(buf), p)) {
        out += buf;
    }
    EXPECT_EQ(WEXITSTATUS(::pclose(p)), 0);
    for (const char *s : {"fault CARD COMMAND ok|status=N|transport=N|short", "LIF_GET_ALL", "QSFP_READ",
                          "FRU_READ", "QSFP_INTR_CLEAR", "cpld CARD reg REG VALUE", "sensor CARD pin|",
                          "qsfp CARD PORT byte OFFSET VALUE", "show CARD cpld | show CARD qsfp PORT"}) {
        EXPECT_NE(out.find(s), std::string::npos) << s;
    }
    // Every fault name the emulator accepts is documented.
    std::string names = talon_emu::card_ctl::command_names();
    for (size_t pos = 0; pos < names.size();) {
        size_t end = names.find(' ', pos);
        std::string n = names.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        EXPECT_NE(out.find(n), std::string::npos) << n;
        pos = end == std::string::npos ? names.size() : end + 1;
    }
}

}  // namespace
