#include "nic_ipc/nic_ipc_cmd.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sdk/platform/ipcdrv/src/wire.hpp"

using ipc_wire::get_le;
using ipc_wire::put_le;

namespace {

constexpr uint32_t k_cmd_status_ok = 0;
constexpr uint32_t k_cmd_status_retry = 11;

constexpr ipc_cmd_def_s k_cmd_defs[] = {
    {"DEVICE_INFO", NIC_IPC_EP_DEVICE, 0x10001, 0, 388, false, false},
    {"HEARTBEAT", NIC_IPC_EP_DEVICE, 0x10000, 8, 16, true, true},
    {"PORT_INFO_GET", NIC_IPC_EP_PORT, 0x10000, 8, 928, true, true},
    {"PORT_IFINDEX_GET", NIC_IPC_EP_PORT, 0x1000B, 1, 52, false, true},
    {"P4_PORT_STATS_MEM_RE_INFO_GET", NIC_IPC_EP_PORT, 0x1001B, 1, 24, true, true},
    {"LIF_GET_ALL", NIC_IPC_EP_LIF, 0x10001, 2, 152, true, true},
};

constexpr std::string_view k_port_type_names[16] = {
    "none", "eth", "eth-pc", "tunnel", "uplink", "uplink-pc", "l3", "lif",
    "loopback", "control", "host", "internal-mgmt", "dpa", "crypto", "none", "none",
};

// One exchange with the response checks applied in order. buf holds the
// request and is at least max(req_len, rsp_len) bytes.
ipc_cmd_result_s exchange(nic_ipc_handle_s *ipc, ipc_cmd_e cmd, std::vector<uint8_t> &buf)
{
    const ipc_cmd_def_s &d = ipc_cmd_def(cmd);
    ipc_cmd_result_s r;
    uint32_t status = 0;
    int n = nic_ipc_req_rsp(ipc, d.ep, d.op, buf.data(), d.req_len, d.rsp_len, &status);
    r.rsp_len = n;
    if (n < 0) {
        r.fail = ipc_cmd_fail_e::send;
        r.err = errno;
        return r;
    }
    r.transport_status = status;
    if (status != 0) {
        r.fail = ipc_cmd_fail_e::transport;
        return r;
    }
    if (static_cast<size_t>(n) < d.rsp_len) {
        r.fail = ipc_cmd_fail_e::size;
        return r;
    }
    r.cmd_status = get_le<uint32_t>(&buf[IPC_RSP_STATUS_OFFSET]);
    if (d.check_status && r.cmd_status != k_cmd_status_ok &&
        !(d.accept_status_retry && r.cmd_status == k_cmd_status_retry)) {
        r.fail = ipc_cmd_fail_e::status;
    }
    return r;
}

std::vector<uint8_t> cmd_buffer(ipc_cmd_e cmd)
{
    const ipc_cmd_def_s &d = ipc_cmd_def(cmd);
    return std::vector<uint8_t>(d.req_len > d.rsp_len ? d.req_len : d.rsp_len, 0);
}

// An exchange whose request is one little-endian value at the start of the
// payload and whose answer of interest is one value at rsp_offset; *answer is
// set only when the exchange succeeds.
template <typename Req, typename Rsp>
ipc_cmd_result_s exchange_value(nic_ipc_handle_s *ipc, ipc_cmd_e cmd, Req request, size_t rsp_offset, Rsp *answer)
{
    auto buf = cmd_buffer(cmd);
    put_le<Req>(&buf[0], request);
    ipc_cmd_result_s r = exchange(ipc, cmd, buf);
    if (r.ok()) {
        *answer = get_le<Rsp>(&buf[rsp_offset]);
    }
    return r;
}

struct fail_words_s {
    ipc_cmd_e cmd;
    std::string_view what;
};

constexpr fail_words_s k_fail_words[] = {
    {ipc_cmd_e::PORT_INFO_GET, "port information"},
    {ipc_cmd_e::P4_PORT_STATS_MEM_RE_INFO_GET, "p4 port stats mem region"},
    {ipc_cmd_e::LIF_GET_ALL, "lif information"},
};

}  // namespace

const ipc_cmd_def_s &ipc_cmd_def(ipc_cmd_e cmd)
{
    return k_cmd_defs[static_cast<size_t>(cmd)];
}

ipc_cmd_result_s ipc_cmd_device_info(nic_ipc_handle_s *ipc, nic_ipc_mac_t *mac)
{
    auto buf = cmd_buffer(ipc_cmd_e::DEVICE_INFO);
    ipc_cmd_result_s r = exchange(ipc, ipc_cmd_e::DEVICE_INFO, buf);
    if (r.ok()) {
        std::memcpy(mac->data(), &buf[DEVICE_INFO_RSP_MAC_OFFSET], mac->size());
    }
    return r;
}

ipc_cmd_result_s ipc_cmd_heartbeat(nic_ipc_handle_s *ipc, uint64_t nonce, uint64_t *echo)
{
    return exchange_value(ipc, ipc_cmd_e::HEARTBEAT, nonce, HEARTBEAT_RSP_ECHO_OFFSET, echo);
}

ipc_cmd_result_s ipc_cmd_port_ifindex_get(nic_ipc_handle_s *ipc, std::vector<uint32_t> *ifindexes)
{
    auto buf = cmd_buffer(ipc_cmd_e::PORT_IFINDEX_GET);
    ipc_cmd_result_s r = exchange(ipc, ipc_cmd_e::PORT_IFINDEX_GET, buf);
    if (!r.ok()) {
        return r;
    }
    uint32_t count = get_le<uint32_t>(&buf[PORT_IFINDEX_RSP_COUNT_OFFSET]);
    if (count > NIC_IPC_MAX_PORTS) {
        // More entries than the response holds: never read past it.
        r.fail = ipc_cmd_fail_e::size;
        return r;
    }
    ifindexes->clear();
    for (uint32_t i = 0; i < count; ++i) {
        ifindexes->push_back(get_le<uint32_t>(&buf[PORT_IFINDEX_RSP_LIST_OFFSET + 4 * i]));
    }
    return r;
}

ipc_cmd_result_s ipc_cmd_port_info_get(nic_ipc_handle_s *ipc, uint32_t ifindex, uint16_t *port_num)
{
    uint32_t port = 0;
    ipc_cmd_result_s r = exchange_value(ipc, ipc_cmd_e::PORT_INFO_GET, ifindex, PORT_INFO_RSP_PORT_NUM_OFFSET, &port);
    if (r.ok()) {
        *port_num = static_cast<uint16_t>(port);
    }
    return r;
}

ipc_cmd_result_s ipc_cmd_port_stats_region_get(nic_ipc_handle_s *ipc, uint64_t *addr, uint32_t *size)
{
    auto buf = cmd_buffer(ipc_cmd_e::P4_PORT_STATS_MEM_RE_INFO_GET);
    ipc_cmd_result_s r = exchange(ipc, ipc_cmd_e::P4_PORT_STATS_MEM_RE_INFO_GET, buf);
    if (r.ok()) {
        *addr = get_le<uint64_t>(&buf[PORT_STATS_RSP_ADDR_OFFSET]);
        *size = get_le<uint32_t>(&buf[PORT_STATS_RSP_SIZE_OFFSET]);
    }
    return r;
}

ipc_cmd_result_s ipc_cmd_lif_get(nic_ipc_handle_s *ipc, uint16_t cursor, ipc_cmd_lif_s *lif)
{
    auto buf = cmd_buffer(ipc_cmd_e::LIF_GET_ALL);
    put_le<uint16_t>(&buf[0], cursor);
    ipc_cmd_result_s r = exchange(ipc, ipc_cmd_e::LIF_GET_ALL, buf);
    if (!r.ok()) {
        return r;
    }
    std::memcpy(lif->uuid.data(), &buf[LIF_RSP_UUID_OFFSET], lif->uuid.size());
    lif->lif_id = get_le<uint16_t>(&buf[LIF_RSP_ID_OFFSET]);
    // The name ends at its NUL or, without one, at the end of its field.
    const char *name = reinterpret_cast<const char *>(&buf[LIF_RSP_NAME_OFFSET]);
    lif->name.assign(name, ::strnlen(name, NIC_IPC_LIF_NAME_SIZE));
    lif->stats_addr = get_le<uint64_t>(&buf[LIF_RSP_STATS_ADDR_OFFSET]);
    lif->next_cursor = get_le<uint16_t>(&buf[LIF_RSP_NEXT_CURSOR_OFFSET]);
    return r;
}

ipc_cmd_result_s ipc_cmd_lif_get_all(nic_ipc_handle_s *ipc, std::vector<ipc_cmd_lif_s> *lifs,
                                     size_t max_lifs)
{
    uint16_t cursor = LIF_CURSOR_NONE;
    ipc_cmd_result_s r;
    for (size_t taken = 0;; ++taken) {
        if (taken >= max_lifs) {
            r.fail = ipc_cmd_fail_e::walk_limit;
            return r;
        }
        ipc_cmd_lif_s lif;
        r = ipc_cmd_lif_get(ipc, cursor, &lif);
        if (!r.ok()) {
            return r;
        }
        cursor = lif.next_cursor;
        lifs->push_back(std::move(lif));
        if (cursor == LIF_CURSOR_NONE) {
            return r;
        }
    }
}

std::string ipc_cmd_fail_msg(ipc_cmd_e cmd, const ipc_cmd_result_s &res, std::string_view card_bdf)
{
    std::string_view what;
    for (const auto &w : k_fail_words) {
        if (w.cmd == cmd) {
            what = w.what;
        }
    }
    if (what.empty() || res.ok()) {
        return {};
    }
    const ipc_cmd_def_s &d = ipc_cmd_def(cmd);
    const std::string card(card_bdf);
    switch (res.fail) {
    case ipc_cmd_fail_e::send:
        return "Failed to send " + std::string(d.name) + " for card" + card + ", err : " +
               std::strerror(res.err);
    case ipc_cmd_fail_e::transport:
        return "Failed to get " + std::string(what) + " for card " + card + ", err : " +
               std::to_string(res.transport_status);
    case ipc_cmd_fail_e::size:
        return "Error - " + std::string(d.name) + " IPC response size " + std::to_string(res.rsp_len) +
               " doesn't match expected size " + std::to_string(d.rsp_len) + " for card" + card;
    case ipc_cmd_fail_e::status:
        return "Failed to get " + std::string(what) + " for card " + card + ", status : " +
               std::to_string(res.cmd_status);
    case ipc_cmd_fail_e::walk_limit:
        return "Error - " + std::string(d.name) + " walk for card " + card +
               " cut at its limit: the firmware never ended it";
    case ipc_cmd_fail_e::none:
        break;
    }
    return {};
}

std::string_view nic_ipc_port_type_name(uint32_t port_type)
{
    return k_port_type_names[port_type & 0xF];
}

std::string nic_ipc_port_name(uint32_t ifindex)
{
    if (ifindex == 0) {
        return "-";
    }
    std::string name(nic_ipc_port_type_name(ifindex >> 28));
    name += std::to_string((ifindex >> 24) & 0xF) + "/" + std::to_string((ifindex >> 16) & 0xFF);
    if (uint32_t sub = ifindex & 0xFFFF; sub != 0) {
        name += "/" + std::to_string(sub);
    }
    return name;
}

std::string nic_ipc_port_uuid(const nic_ipc_mac_t &mac, uint32_t ifindex)
{
    std::array<uint8_t, 16> b{};
    std::memcpy(b.data(), mac.data(), mac.size());
    b[6] = b[7] = b[8] = b[9] = 0x42;
    b[10] = b[11] = 0;
    b[12] = static_cast<uint8_t>(ifindex >> 24);
    b[13] = static_cast<uint8_t>(ifindex >> 16);
    b[14] = static_cast<uint8_t>(ifindex >> 8);
    b[15] = static_cast<uint8_t>(ifindex);
    return nic_ipc_uuid_text(b);
}
