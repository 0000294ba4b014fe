// The handling of firmware responses to every device-information and
// card-control command, over both transports. The fuzzer plays the card: a
// peer thread answers each request the daemon's code sends with the next
// response the input describes (well-formed around fuzzed contents, a
// fuzzed length field, the wrong tag or op, or raw bytes). Properties: no
// crash or hang; requests stay well-formed; accepted results respect their
// bounds; a refused or failed transfer leaves its documented fill.
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
#include "tests/support/process.hpp"

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using ipc_wire::get_le;
using ipc_wire::put_le;

constexpr size_t k_max_payload = 1100;  // a little over what either transport carries
constexpr size_t k_max_responses = 12;
constexpr size_t k_max_lif_walk = 6;
constexpr size_t k_buf_size = 4096;
constexpr uint32_t k_qsfp_image = 256;
constexpr int k_failed_exchange = -71;

enum class transport_e { tawk, fwctl };

enum class rsp_mode_e : uint8_t { well_formed, raw, bad_length, wrong_tag, count };

struct rsp_spec_s {
    rsp_mode_e mode = rsp_mode_e::well_formed;
    uint32_t status = 0;
    uint16_t length = 0;
    std::string payload;
};

// The card's end of one channel.
class fake_card {
public:
    fake_card(int fd, transport_e transport) : fd_(fd), transport_(transport), thread_([this] { serve(); }) {}
    ~fake_card() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    fake_card(const fake_card &) = delete;
    fake_card &operator=(const fake_card &) = delete;

    void load(std::deque<rsp_spec_s> responses) {
        std::lock_guard<std::mutex> lock(mutex_);
        responses_ = std::move(responses);
    }

private:
    std::string frame(const uint8_t *req, size_t req_len, rsp_spec_s spec) const {
        if (spec.mode == rsp_mode_e::raw) {
            return spec.payload;
        }
        if (transport_ == transport_e::fwctl) {
            std::string m(FWCTL_SOCK_RSP_HDR_SIZE, '\0');
            auto *h = reinterpret_cast<uint8_t *>(m.data());
            put_le<uint32_t>(h + FWCTL_SOCK_RSP_RETVAL_OFFSET, spec.status);
            const uint32_t len = spec.mode == rsp_mode_e::bad_length ? spec.length
                                                                    : static_cast<uint32_t>(spec.payload.size());
            put_le<uint32_t>(h + FWCTL_SOCK_RSP_LEN_OFFSET, len);
            return m + spec.payload;
        }
        FUZZ_CHECK(req_len >= IPC_CMD_HDRS_SIZE, "tawk request of %zu bytes", req_len);
        const uint64_t req_hdr = get_le<uint64_t>(req);
        FUZZ_CHECK(ipc_drv_hdr_get_type(req_hdr) == IPC_DRV_HDR_TYPE_REQ, "request is not typed as one");
        FUZZ_CHECK(ipc_drv_hdr_get_pld_len(req_hdr) == req_len - IPC_DRV_HDR_SIZE, "request pld_len is wrong");
        FUZZ_CHECK(get_le<uint32_t>(req + IPC_CMD_MAGIC_OFFSET) == IPC_CMD_MAGIC, "request magic is wrong");
        uint64_t hdr = 0;
        ipc_drv_hdr_set_type(&hdr, IPC_DRV_HDR_TYPE_RSP);
        const uint8_t tag = ipc_drv_hdr_get_tag(req_hdr);
        ipc_drv_hdr_set_tag(&hdr, spec.mode == rsp_mode_e::wrong_tag ? static_cast<uint8_t>(tag + 1) : tag);
        const auto pld = static_cast<uint16_t>(spec.payload.size() + IPC_CMD_MSG_HDR_SIZE);
        ipc_drv_hdr_set_pld_len(&hdr, spec.mode == rsp_mode_e::bad_length ? spec.length : pld);
        ipc_drv_hdr_set_rsp_errno(&hdr, spec.status);
        std::string m(IPC_CMD_HDRS_SIZE, '\0');
        auto *p = reinterpret_cast<uint8_t *>(m.data());
        put_le<uint64_t>(p, hdr);
        std::copy(req + IPC_DRV_HDR_SIZE, req + IPC_CMD_HDRS_SIZE, p + IPC_DRV_HDR_SIZE);  // magic, version, op
        return m + spec.payload;
    }

    void serve() {
        std::vector<uint8_t> req(k_buf_size * 20);
        for (;;) {
            // libFuzzer's time-out alarm interrupts any thread's recv.
            const ssize_t n = ::recv(fd_, req.data(), req.size(), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            rsp_spec_s spec;
            bool answer = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!responses_.empty()) {
                    spec = std::move(responses_.front());
                    responses_.pop_front();
                    answer = true;
                }
            }
            // With nothing left to say the card ends the exchange with an
            // empty message, which every transport refuses at once.
            const std::string m = answer ? frame(req.data(), static_cast<size_t>(n), std::move(spec)) : std::string();
            while (::send(fd_, m.data(), m.size(), MSG_NOSIGNAL) < 0 && errno == EINTR) {
            }
        }
    }

    int fd_;
    transport_e transport_;
    std::mutex mutex_;
    std::deque<rsp_spec_s> responses_;
    std::thread thread_;
};



int listen_at(const std::string &path) {
    ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    FUZZ_CHECK(path.size() < sizeof(addr.sun_path), "socket path too long: %s", path.c_str());
    std::copy(path.begin(), path.end(), addr.sun_path);
    FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 && ::listen(fd, 1) == 0,
               "cannot listen at %s", path.c_str());
    return fd;
}

// One transport's both ends: a channel for the device-information commands
// (over a socket pair) and a thread whose card-control channel reaches a
// card served at the device node's path.
struct transport_rig_s {
    transport_e transport;
    nic_ipc_handle_s handle{};
    std::unique_ptr<fake_card> info_card;
    std::unique_ptr<fake_card> ctl_card;
    std::unique_ptr<fuzz_support::job_thread> ctl_thread;
};

struct rig_s {
    test_support::temp_dir dir;
    transport_rig_s rigs[2];
};

rig_s *g_rig = nullptr;

// Opens the thread's card-control channel while a one-shot acceptor hands
// the connection to a fake card.
void connect_ctl(transport_rig_s &r, const std::string &node) {
    const int listen_fd = listen_at(node);
    int conn = -1;
    std::thread acceptor([&] { conn = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC); });
    std::deque<rsp_spec_s> first;
    r.ctl_thread = std::make_unique<fuzz_support::job_thread>([t = r.transport] {
        nic_ipc_init(static_cast<int32_t>(t == transport_e::tawk ? NIC_IPC_TRANSPORT_TAWK : NIC_IPC_TRANSPORT_FWCTL),
                     false);
    });
    // The first command connects; its answer is empty, so it fails at once.
    std::thread first_cmd([&] { r.ctl_thread->call([] { int v = 0; pal_ipc_c_cpld_rev(&v); }); });
    acceptor.join();
    FUZZ_CHECK(conn >= 0, "no card-control connection at %s", node.c_str());
    r.ctl_card = std::make_unique<fake_card>(conn, r.transport);
    first_cmd.join();
    ::close(listen_fd);
}

std::deque<rsp_spec_s> responses(FuzzedDataProvider &in) {
    std::deque<rsp_spec_s> out;
    const size_t n = in.ConsumeIntegralInRange<size_t>(0, k_max_responses);
    for (size_t i = 0; i < n; ++i) {
        rsp_spec_s s;
        const uint8_t mode = in.ConsumeIntegral<uint8_t>();
        // Mostly well-formed, so that the checks behind the framing get reached.
        s.mode = mode < 160 ? rsp_mode_e::well_formed
                            : static_cast<rsp_mode_e>(mode % static_cast<uint8_t>(rsp_mode_e::count));
        s.status = in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint32_t>();
        s.length = in.ConsumeIntegral<uint16_t>();
        s.payload = in.ConsumeRandomLengthString(k_max_payload);
        out.push_back(std::move(s));
    }
    return out;
}

void check_result(ipc_cmd_e cmd, const ipc_cmd_result_s &res) {
    const ipc_cmd_def_s &def = ipc_cmd_def(cmd);
    if (res.ok()) {
        FUZZ_CHECK(res.rsp_len >= 0 && static_cast<size_t>(res.rsp_len) >= def.rsp_len,
                   "%s accepted a response of %d bytes", std::string(def.name).c_str(), res.rsp_len);
        FUZZ_CHECK(res.transport_status == 0, "accepted with transport status %u", res.transport_status);
    }
    const std::string msg = ipc_cmd_fail_msg(cmd, res, "0000:05:00.0");
    FUZZ_CHECK(!res.ok() || msg.empty(), "an accepted result has a failure message");
    FUZZ_CHECK(msg.find('\n') == std::string::npos, "failure message spans lines");
}

void device_info_command(FuzzedDataProvider &in, nic_ipc_handle_s *h) {
    switch (in.ConsumeIntegralInRange<int>(0, 6)) {
    case 0: {
        nic_ipc_mac_t mac{};
        check_result(ipc_cmd_e::DEVICE_INFO, ipc_cmd_device_info(h, &mac));
        break;
    }
    case 1: {
        uint64_t echo = 0;
        check_result(ipc_cmd_e::HEARTBEAT, ipc_cmd_heartbeat(h, in.ConsumeIntegral<uint64_t>(), &echo));
        break;
    }
    case 2: {
        std::vector<uint32_t> ifindexes;
        const auto res = ipc_cmd_port_ifindex_get(h, &ifindexes);
        check_result(ipc_cmd_e::PORT_IFINDEX_GET, res);
        FUZZ_CHECK(ifindexes.size() <= NIC_IPC_MAX_PORTS, "%zu ports", ifindexes.size());
        for (uint32_t ifindex : ifindexes) {
            FUZZ_CHECK(!nic_ipc_port_name(ifindex).empty(), "port without a name");
        }
        break;
    }
    case 3: {
        uint16_t port = 0;
        check_result(ipc_cmd_e::PORT_INFO_GET, ipc_cmd_port_info_get(h, in.ConsumeIntegral<uint32_t>(), &port));
        break;
    }
    case 4: {
        uint64_t addr = 0;
        uint32_t size = 0;
        check_result(ipc_cmd_e::P4_PORT_STATS_MEM_RE_INFO_GET, ipc_cmd_port_stats_region_get(h, &addr, &size));
        break;
    }
    case 5: {
        ipc_cmd_lif_s lif;
        check_result(ipc_cmd_e::LIF_GET_ALL, ipc_cmd_lif_get(h, in.ConsumeIntegral<uint16_t>(), &lif));
        FUZZ_CHECK(lif.name.size() <= NIC_IPC_LIF_NAME_SIZE, "LIF name of %zu bytes", lif.name.size());
        break;
    }
    default: {
        std::vector<ipc_cmd_lif_s> lifs;
        const size_t limit = in.ConsumeIntegralInRange<size_t>(1, k_max_lif_walk);
        const auto res = ipc_cmd_lif_get_all(h, &lifs, limit);
        check_result(ipc_cmd_e::LIF_GET_ALL, res);
        FUZZ_CHECK(lifs.size() <= limit, "walk of %zu LIFs past its limit %zu", lifs.size(), limit);
        for (const auto &lif : lifs) {
            FUZZ_CHECK(lif.name.size() <= NIC_IPC_LIF_NAME_SIZE && lif.name.find('\0') == std::string::npos,
                       "LIF name of %zu bytes", lif.name.size());
        }
        const std::string msg = ipc_cmd_fail_msg(ipc_cmd_e::LIF_GET_ALL, res, "0000:05:00.0");
        if (res.fail == ipc_cmd_fail_e::walk_limit) {
            FUZZ_CHECK(msg.find("doesn't match") == std::string::npos, "walk limit told as a size mismatch");
        }
        break;
    }
    }
}

bool all_ff(const uint8_t *p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0xFF; });
}

void card_control_command(FuzzedDataProvider &in) {
    const int port = in.ConsumeIntegralInRange<int>(-1, 3);
    const uint8_t a = in.ConsumeIntegral<uint8_t>(), b = in.ConsumeIntegral<uint8_t>();
    int out = 0;
    uint8_t reg = 0;
    const int which = in.ConsumeIntegralInRange<int>(0, 44);
    if (which >= 41) {
        // The transfers: a refusal or a firmware failure fills the whole buffer.
        std::vector<uint8_t> buf(k_qsfp_image + 1, 0xA5);
        const uint32_t size = in.ConsumeIntegralInRange<uint32_t>(0, k_qsfp_image + 1);
        const uint32_t offset = in.ConsumeIntegralInRange<uint32_t>(0, k_qsfp_image + 1);
        int rc;
        switch (which) {
        case 41:
            rc = pal_ipc_c_qsfp_read(buf.data(), size, offset, 1, port);
            break;
        case 42:
            rc = pal_ipc_c_qsfp_dom_read(buf.data(), size, offset, 1, port);
            break;
        case 43:
            rc = pal_ipc_c_qsfp_write(buf.data(), std::min<uint32_t>(size, k_qsfp_image), offset, 1, port);
            return;
        default:
            rc = pal_ipc_c_fru_read(buf.data(), size, offset);
            if (rc < 0 && rc != k_failed_exchange && rc != -2 && rc != -5 && size > 0) {
                FUZZ_CHECK(all_ff(buf.data(), size), "FRU failure %d left data in the buffer", rc);
            }
            if (size < buf.size()) {
                FUZZ_CHECK(buf[size] == 0xA5, "FRU read wrote past its size");
            }
            return;
        }
        if (rc > 1) {
            FUZZ_CHECK(size == 0 || all_ff(buf.data(), size), "QSFP read status %d left data in the buffer", rc);
        }
        if (size < buf.size()) {
            FUZZ_CHECK(buf[size] == 0xA5, "QSFP read wrote past its size");
        }
        return;
    }
    using fn_t = std::function<int()>;
    const fn_t commands[] = {
        [] { return pal_ipc_c_get_system_led(); },
        [&] { return pal_ipc_c_system_set_led(a, b); },
        [&] { return pal_ipc_c_cpld_set_card_status(a); },
        [&] { return pal_ipc_c_write_fw_ver_to_cpld(a, b, a, b); },
        [&] { return pal_ipc_c_cpld_rev(&out); },
        [&] { return pal_ipc_c_cpld_id(&out); },
        [&] { return pal_ipc_c_cpld_minor_rev(&out); },
        [&] { return pal_ipc_c_cpld_boot_status(&out); },
        [] { return pal_ipc_c_get_rstcause(); },
        [] { return pal_ipc_c_get_rst_event(); },
        [&] { return pal_ipc_get_cpld_reg(a, &reg); },
        [&] { return pal_ipc_set_cpld_reg(a, b); },
        [&] { return pal_ipc_c_fwsel(a); },
        [&] { return pal_ipc_c_read_pin(&out); },
        [&] { return pal_ipc_c_read_pout1(&out); },
        [&] { return pal_ipc_c_read_pout2(&out); },
        [&] { return pal_ipc_c_read_vin(&out); },
        [&] { return pal_ipc_c_read_vout1(&out); },
        [&] { return pal_ipc_c_read_vout2(&out); },
        [&] { return pal_ipc_c_read_board_temperature(&out); },
        [&] { return pal_ipc_c_read_die_temperature(&out); },
        [&] { return pal_ipc_c_read_hwtrip_temp(&out); },
        [&] { return pal_ipc_c_is_qsfp_port_psnt(port); },
        [&] { return pal_ipc_c_is_qsfp_port_reset(port); },
        [&] { return pal_ipc_c_qsfp_set_port(port); },
        [&] { return pal_ipc_c_qsfp_reset_port(port); },
        [&] { return pal_ipc_c_qsfp_set_low_power_mode(port); },
        [&] { return pal_ipc_c_qsfp_reset_low_power_mode(port); },
        [&] { return pal_ipc_c_qsfp_power_mode_en(port, a & 1); },
        [&] { return pal_ipc_c_is_qsfp_port_powered_up(port); },
        [&] { return pal_ipc_c_is_qsfp_port_power_failure(port); },
        [&] { return pal_ipc_c_is_qsfp_port_power_ctrl_present(port); },
        [&] { return pal_ipc_c_is_qsfp_presence_intr_pending(port); },
        [&] { return pal_ipc_c_qsfp_presence_intr_clear(port); },
        [&] { return pal_ipc_c_qsfp_set_led(port, a, b); },
        [&] { return pal_ipc_c_write_qsfp_temp(a, port); },
        [&] { return pal_ipc_c_qsfp_set_port_link_status(port, a); },
        [&] { return pal_ipc_c_is_qsfp_port_psnt(port); },
        [&] { return pal_ipc_c_cpld_rev(nullptr); },
        [&] { return pal_ipc_c_read_pin(nullptr); },
        [&] { return pal_ipc_get_cpld_reg(a, nullptr); },
    };
    commands[which]();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    logger_init(null_logger_cb_);
    static rig_s rig;
    g_rig = &rig;
    // An emulated host gives the sysfs tree that leads from the card's
    // address to its device nodes; the fuzzer then serves those nodes.
    talon_emu::config_s cfg;
    cfg.root = rig.dir.path() + "/emu";
    cfg.cards = 1;
    talon_emu::emulator emu(cfg);
    emu.start();
    ::setenv("TALON_SYSFS_DIR", (cfg.root + "/sys").c_str(), 1);
    ::setenv("TALON_DEV_DIR", (cfg.root + "/dev").c_str(), 1);
    const std::string card = talon_emu::emulator::card_bdf(0);
    ::setenv("HUB_BDF", card.c_str(), 1);
    char tawk_node[NIC_IPC_PATH_SIZE] = {}, fwctl_node[NIC_IPC_PATH_SIZE] = {};
    FUZZ_CHECK(nic_tawk_device_path_from_hub_bdf(card.c_str(), tawk_node) == 0 &&
                   nic_fwctl_device_path_from_hub_bdf(card.c_str(), fwctl_node) == 0,
               "the emulated card has no device nodes");
    emu.stop();

    for (int i = 0; i < 2; ++i) {
        transport_rig_s &r = rig.rigs[i];
        r.transport = i == 0 ? transport_e::tawk : transport_e::fwctl;
        int sv[2];
        FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) == 0, "socketpair");
        r.handle.transport = i == 0 ? NIC_IPC_TRANSPORT_TAWK : NIC_IPC_TRANSPORT_FWCTL;
        r.handle.dev.fd = sv[0];
        r.info_card = std::make_unique<fake_card>(sv[1], r.transport);
        connect_ctl(r, i == 0 ? tawk_node : fwctl_node);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    transport_rig_s &r = g_rig->rigs[in.ConsumeBool() ? 1 : 0];
    const bool card_control = in.ConsumeBool();
    fake_card &card = card_control ? *r.ctl_card : *r.info_card;
    card.load(responses(in));
    if (card_control) {
        r.ctl_thread->call([&] { card_control_command(in); });
    } else {
        device_info_command(in, &r.handle);
    }
    return 0;
}
