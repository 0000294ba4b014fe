// Firmware responses to every device-information and card-control command over
// both transports: the fuzzer plays the card, answering each request as the
// input says (well-formed around fuzzed contents, a bad length, the wrong tag,
// raw bytes). No crash or hang; requests are well-formed; accepted results keep
// their bounds; a refused or failed transfer leaves its documented fill.
#include "emulator/emulator.hpp"
#include "logger/logger.hpp"
#include "nic_ipc/nic_ipc.hpp"
#include "nic_ipc/nic_ipc_cmd.hpp"
#include "nic_ipc/nic_ipc_dev.hpp"
#include "sdk/platform/ipcdrv/src/fwctl_rpc.hpp"
#include "sdk/platform/ipcdrv/src/protocol.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"
#include "sdk/platform/pal/include/card_cmd.hpp"
#include "tests/fuzz/fuzz_support.hpp"
#include "testkit/process.hpp"

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/un.h>

#include <algorithm>
#include <memory>

namespace {

using namespace ipc_wire;

constexpr uint32_t k_qsfp_image = 256;
enum rsp_mode_e : uint8_t { well_formed, raw, bad_length, wrong_tag, k_modes };

struct rsp_s { uint8_t mode; uint32_t status; uint16_t length; std::string payload; };

// The card's answer to request `req` over tawk or fwctl; with nothing left to
// say, an empty message, which every transport refuses at once.
std::string frame(bool tawk, std::string_view req, const std::optional<rsp_s> &rsp) {
    if (!rsp || rsp->mode == raw) {
        return rsp ? rsp->payload : std::string();
    }
    const uint32_t len = rsp->mode == bad_length ? rsp->length : static_cast<uint32_t>(rsp->payload.size());
    if (!tawk) {
        std::string m(FWCTL_SOCK_RSP_HDR_SIZE, '\0');
        put_le<uint32_t>(reinterpret_cast<uint8_t *>(m.data()) + FWCTL_SOCK_RSP_RETVAL_OFFSET, rsp->status);
        put_le<uint32_t>(reinterpret_cast<uint8_t *>(m.data()) + FWCTL_SOCK_RSP_LEN_OFFSET, len);
        return m + rsp->payload;
    }
    const auto *q = reinterpret_cast<const uint8_t *>(req.data());
    FUZZ_CHECK(req.size() >= IPC_CMD_HDRS_SIZE && ipc_drv_hdr_get_type(get_le<uint64_t>(q)) == IPC_DRV_HDR_TYPE_REQ &&
                   ipc_drv_hdr_get_pld_len(get_le<uint64_t>(q)) == req.size() - IPC_DRV_HDR_SIZE &&
                   get_le<uint32_t>(q + IPC_CMD_MAGIC_OFFSET) == IPC_CMD_MAGIC,
               "malformed tawk request of %zu bytes", req.size());
    uint64_t hdr = 0;
    ipc_drv_hdr_set_type(&hdr, IPC_DRV_HDR_TYPE_RSP);
    ipc_drv_hdr_set_tag(&hdr, static_cast<uint8_t>(ipc_drv_hdr_get_tag(get_le<uint64_t>(q)) + (rsp->mode == wrong_tag)));
    ipc_drv_hdr_set_pld_len(&hdr, static_cast<uint16_t>(rsp->mode == bad_length ? len : len + IPC_CMD_MSG_HDR_SIZE));
    ipc_drv_hdr_set_rsp_errno(&hdr, rsp->status);
    std::string m(req.substr(0, IPC_CMD_HDRS_SIZE));  // magic, version and op echoed
    put_le<uint64_t>(reinterpret_cast<uint8_t *>(m.data()), hdr);
    return m + rsp->payload;
}

// A transport's device-information channel (a socket pair), and a thread whose
// card-control channel reaches a card at the device node.
struct transport_s {
    nic_ipc_handle_s handle{};
    std::unique_ptr<fuzz_support::peer<rsp_s>> info, ctl;
    fuzz_support::job_thread ctl_thread;
};
test_support::temp_dir g_dir;
transport_s g_transports[2];

void device_info_command(FuzzedDataProvider &in, nic_ipc_handle_s *h) {
    nic_ipc_mac_t mac{};
    uint64_t u64 = 0;
    uint32_t u32 = 0;
    uint16_t u16 = 0;
    size_t limit = 1;  // LIFs the command may give
    std::vector<uint32_t> ifindexes;
    std::vector<ipc_cmd_lif_s> lifs;
    const std::pair<ipc_cmd_e, std::function<ipc_cmd_result_s()>> commands[] = {
        {ipc_cmd_e::DEVICE_INFO, [&] { return ipc_cmd_device_info(h, &mac); }},
        {ipc_cmd_e::HEARTBEAT, [&] { return ipc_cmd_heartbeat(h, in.ConsumeIntegral<uint64_t>(), &u64); }},
        {ipc_cmd_e::PORT_IFINDEX_GET, [&] { return ipc_cmd_port_ifindex_get(h, &ifindexes); }},
        {ipc_cmd_e::PORT_INFO_GET, [&] { return ipc_cmd_port_info_get(h, in.ConsumeIntegral<uint32_t>(), &u16); }},
        {ipc_cmd_e::P4_PORT_STATS_MEM_RE_INFO_GET, [&] { return ipc_cmd_port_stats_region_get(h, &u64, &u32); }},
        {ipc_cmd_e::LIF_GET_ALL, [&] { lifs.resize(1); return ipc_cmd_lif_get(h, in.ConsumeIntegral<uint16_t>(), &lifs[0]); }},
        {ipc_cmd_e::LIF_GET_ALL, [&] { limit = in.ConsumeIntegralInRange<size_t>(1, 6); return ipc_cmd_lif_get_all(h, &lifs, limit); }},
    };
    const auto &[cmd, run] = commands[in.ConsumeIntegralInRange<size_t>(0, std::size(commands) - 1)];
    const ipc_cmd_result_s res = run();
    const ipc_cmd_def_s &def = ipc_cmd_def(cmd);
    const std::string msg = ipc_cmd_fail_msg(cmd, res, "0000:05:00.0");
    // The command's response size is also the capacity given: exactly that is accepted.
    FUZZ_CHECK(!res.ok() || (res.rsp_len >= 0 && static_cast<size_t>(res.rsp_len) == def.rsp_len &&
                             res.transport_status == 0 && msg.empty()),
               "%s accepted %d bytes, transport status %u, message '%s'", std::string(def.name).c_str(), res.rsp_len,
               res.transport_status, msg.c_str());
    FUZZ_CHECK(msg.find('\n') == std::string::npos, "failure message spans lines");
    FUZZ_CHECK(res.fail != ipc_cmd_fail_e::walk_limit || msg.find("doesn't match") == std::string::npos,
               "walk limit told as a size mismatch");
    FUZZ_CHECK(ifindexes.size() <= NIC_IPC_MAX_PORTS && lifs.size() <= limit, "%zu ports, %zu LIFs", ifindexes.size(),
               lifs.size());
    for (uint32_t ifindex : ifindexes) {
        FUZZ_CHECK(!nic_ipc_port_name(ifindex).empty(), "port without a name");
    }
    for (const auto &lif : lifs) {
        FUZZ_CHECK(lif.name.size() <= NIC_IPC_LIF_NAME_SIZE && lif.name.find('\0') == std::string::npos,
                   "LIF name of %zu bytes", lif.name.size());
    }
}

constexpr int (*k_readers[])(int *) = {
    pal_ipc_c_cpld_rev, pal_ipc_c_cpld_id, pal_ipc_c_cpld_minor_rev, pal_ipc_c_cpld_boot_status,
    pal_ipc_c_read_pin, pal_ipc_c_read_pout1, pal_ipc_c_read_pout2, pal_ipc_c_read_vin, pal_ipc_c_read_vout1,
    pal_ipc_c_read_vout2, pal_ipc_c_read_board_temperature, pal_ipc_c_read_die_temperature, pal_ipc_c_read_hwtrip_temp};
constexpr int (*k_port_commands[])(int) = {
    pal_ipc_c_is_qsfp_port_psnt, pal_ipc_c_is_qsfp_port_reset, pal_ipc_c_qsfp_set_port, pal_ipc_c_qsfp_reset_port,
    pal_ipc_c_qsfp_set_low_power_mode, pal_ipc_c_qsfp_reset_low_power_mode, pal_ipc_c_is_qsfp_port_powered_up,
    pal_ipc_c_is_qsfp_port_power_failure, pal_ipc_c_is_qsfp_port_power_ctrl_present,
    pal_ipc_c_is_qsfp_presence_intr_pending, pal_ipc_c_qsfp_presence_intr_clear};

void card_control_command(FuzzedDataProvider &in) {
    const int port = in.ConsumeIntegralInRange<int>(-1, 3);
    const uint8_t a = in.ConsumeIntegral<uint8_t>(), b = in.ConsumeIntegral<uint8_t>();
    const bool null_out = in.ConsumeBool();
    uint8_t reg = 0;
    int out = -12345;
    std::vector<std::function<int()>> commands = {
        [] { return pal_ipc_c_get_system_led(); }, [&] { return pal_ipc_c_system_set_led(a, b); },
        [&] { return pal_ipc_c_cpld_set_card_status(a); }, [&] { return pal_ipc_c_write_fw_ver_to_cpld(a, b, a, b); },
        [] { return pal_ipc_c_get_rstcause(); }, [] { return pal_ipc_c_get_rst_event(); },
        [&] { return pal_ipc_get_cpld_reg(a, null_out ? nullptr : &reg); },
        [&] { return pal_ipc_set_cpld_reg(a, b); }, [&] { return pal_ipc_c_fwsel(a); },
        [&] { return pal_ipc_c_qsfp_power_mode_en(port, a & 1); }, [&] { return pal_ipc_c_qsfp_set_led(port, a, b); },
        [&] { return pal_ipc_c_write_qsfp_temp(a, port); }, [&] { return pal_ipc_c_qsfp_set_port_link_status(port, a); },
    };
    for (auto *reader : k_readers) {
        commands.push_back([&, reader] {
            const int rc = reader(null_out ? nullptr : &out);
            // An output is written only when the firmware status is 0.
            FUZZ_CHECK(rc == 0 || out == -12345, "a reader with result %d wrote %d", rc, out);
            return rc;
        });
    }
    for (auto *command : k_port_commands) {
        commands.push_back([&, command] { return command(port); });
    }
    const size_t which = in.ConsumeIntegralInRange<size_t>(0, commands.size() + 3);
    if (which < commands.size()) {
        commands[which]();
        return;
    }
    // The transfers: a refusal or a firmware failure fills the whole buffer
    // with 0xFF, and nothing past the size is touched.
    std::vector<uint8_t> buf(k_qsfp_image + 1, 0xA5);
    const uint32_t size = in.ConsumeIntegralInRange<uint32_t>(0, k_qsfp_image + 1);
    const uint32_t offset = in.ConsumeIntegralInRange<uint32_t>(0, k_qsfp_image + 1);
    int rc = 0;
    bool failed = false;
    switch (which - commands.size()) {
    case 0: failed = (rc = pal_ipc_c_qsfp_read(buf.data(), size, offset, 1, port)) > 1; break;
    case 1: failed = (rc = pal_ipc_c_qsfp_dom_read(buf.data(), size, offset, 1, port)) > 1; break;
    case 2: pal_ipc_c_qsfp_write(buf.data(), std::min(size, k_qsfp_image), offset, 1, port); return;
    default:
        rc = pal_ipc_c_fru_read(buf.data(), size, offset);
        failed = rc < 0 && rc != -71 && rc != -2 && rc != -5;  // not a failed exchange or a refused size
    }
    FUZZ_CHECK(!failed || std::all_of(buf.begin(), buf.begin() + size, [](uint8_t x) { return x == 0xFF; }),
               "transfer status %d left data in the buffer", rc);
    FUZZ_CHECK(size == buf.size() || buf[size] == 0xA5, "transfer wrote past its size");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    logger_init(null_logger_cb_);
    // An emulated host lays out the sysfs tree that leads to the card's device nodes.
    const talon_emu::config_s cfg{.root = g_dir.path() + "/emu"};
    talon_emu::emulator emu(cfg);
    emu.start();
    ::setenv("TALON_SYSFS_DIR", (cfg.root + "/sys").c_str(), 1);
    ::setenv("TALON_DEV_DIR", (cfg.root + "/dev").c_str(), 1);
    const std::string card = talon_emu::emulator::card_bdf(0);
    ::setenv("HUB_BDF", card.c_str(), 1);
    char nodes[2][NIC_IPC_PATH_SIZE] = {};
    FUZZ_CHECK(nic_tawk_device_path_from_hub_bdf(card.c_str(), nodes[0]) == 0 &&
                   nic_fwctl_device_path_from_hub_bdf(card.c_str(), nodes[1]) == 0,
               "the emulated card has no device nodes");
    emu.stop();

    for (int i = 0; i < 2; ++i) {
        transport_s &t = g_transports[i];
        t.handle.transport = i == 0 ? NIC_IPC_TRANSPORT_TAWK : NIC_IPC_TRANSPORT_FWCTL;
        const auto make_card = [tawk = i == 0](int fd, bool listening) {
            return std::make_unique<fuzz_support::peer<rsp_s>>(
                fd, listening, [tawk](std::string_view req, auto &self) { return frame(tawk, req, self.next()); });
        };
        int sv[2];
        FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) == 0, "socketpair");
        t.handle.dev.fd.reset(sv[0]);
        t.info = make_card(sv[1], false);
        sockaddr_un addr{AF_UNIX, {}};
        std::string_view(nodes[i]).copy(addr.sun_path, sizeof(addr.sun_path) - 1);
        const int listen_fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        ::unlink(nodes[i]);
        ::bind(listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
        ::listen(listen_fd, 1);
        t.ctl = make_card(listen_fd, true);
        // The first command connects; with nothing to answer, it fails at once.
        // A node this card cannot listen at (a path too long, a failed bind)
        // leaves it unconnected, which the check below reports.
        t.ctl_thread.call([&] {
            nic_ipc_init(static_cast<int32_t>(t.handle.transport), false);
            pal_ipc_c_cpld_rev(nullptr);
        });
        FUZZ_CHECK(t.ctl->connected(), "no card-control connection at %s", nodes[i]);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    transport_s &t = g_transports[in.ConsumeBool() ? 1 : 0];
    const bool card_control = in.ConsumeBool();
    std::deque<rsp_s> responses(in.ConsumeIntegralInRange<size_t>(0, 12));
    for (auto &r : responses) {
        // Mostly well-formed, to reach the checks behind the framing; payloads up to a
        // little over what a transport carries.
        const uint8_t mode = in.ConsumeIntegral<uint8_t>();
        r = {static_cast<uint8_t>(mode < 160 ? well_formed : mode % k_modes), in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint32_t>(),
             in.ConsumeIntegral<uint16_t>(), in.ConsumeRandomLengthString(1100)};
    }
    (card_control ? t.ctl : t.info)->load(std::move(responses));
    if (card_control) {
        t.ctl_thread.call([&] { card_control_command(in); });
    } else {
        device_info_command(in, &t.handle);
    }
    return 0;
}
