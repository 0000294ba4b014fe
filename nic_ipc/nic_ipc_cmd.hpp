// The firmware commands the monitor sends over a card's IPC channel, their
// request/response layouts, and the checks a response must pass.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nic_ipc/nic_ipc.hpp"
#include "nic_ipc/nic_ipc_dev.hpp"

inline constexpr uint32_t NIC_IPC_EP_PORT = 0x11;
inline constexpr uint32_t NIC_IPC_EP_LIF = 0x12;
inline constexpr uint32_t NIC_IPC_EP_DEVICE = 0x13;

inline constexpr uint16_t LIF_CURSOR_NONE = 0xFFFF;
inline constexpr size_t NIC_IPC_MAX_PORTS = 11;
inline constexpr size_t NIC_IPC_LIF_NAME_SIZE = 78;

enum class ipc_cmd_e : uint8_t {
    DEVICE_INFO,
    HEARTBEAT,
    PORT_INFO_GET,
    PORT_IFINDEX_GET,
    P4_PORT_STATS_MEM_RE_INFO_GET,
    LIF_GET_ALL,
};

struct ipc_cmd_def_s {
    std::string_view name;
    uint32_t ep;
    uint32_t op;
    size_t req_len;
    size_t rsp_len;
    bool accept_status_retry;  // command status 11 counts as success
    bool check_status;         // the command status is examined at all
};

const ipc_cmd_def_s &ipc_cmd_def(ipc_cmd_e cmd);

// Response layouts: byte offsets in the response payload.
inline constexpr size_t IPC_RSP_STATUS_OFFSET = 0;
inline constexpr size_t DEVICE_INFO_RSP_MAC_OFFSET = 20;
inline constexpr size_t HEARTBEAT_RSP_ECHO_OFFSET = 8;
inline constexpr size_t PORT_IFINDEX_RSP_COUNT_OFFSET = 4;
inline constexpr size_t PORT_IFINDEX_RSP_LIST_OFFSET = 8;
inline constexpr size_t PORT_INFO_RSP_PORT_NUM_OFFSET = 24;
inline constexpr size_t PORT_STATS_RSP_ADDR_OFFSET = 8;
inline constexpr size_t PORT_STATS_RSP_SIZE_OFFSET = 16;
inline constexpr size_t LIF_RSP_UUID_OFFSET = 8;
inline constexpr size_t LIF_RSP_ID_OFFSET = 48;
inline constexpr size_t LIF_RSP_NAME_OFFSET = 50;
inline constexpr size_t LIF_RSP_STATS_ADDR_OFFSET = 128;
inline constexpr size_t LIF_RSP_NEXT_CURSOR_OFFSET = 144;
static_assert(PORT_IFINDEX_RSP_LIST_OFFSET + 4 * NIC_IPC_MAX_PORTS == 52);
static_assert(LIF_RSP_NAME_OFFSET + NIC_IPC_LIF_NAME_SIZE == LIF_RSP_STATS_ADDR_OFFSET);

// How a command ended, in the order the checks are applied.
enum class ipc_cmd_fail_e : uint8_t {
    none,       // accepted
    send,       // nic_ipc_req_rsp failed; err holds errno
    transport,  // non-zero transport status
    size,       // response shorter than the command's size (or a count that does not fit)
    status,     // command status outside the accepted set
    walk_limit, // a LIF walk that did not end within its bound
};

struct ipc_cmd_result_s {
    ipc_cmd_fail_e fail = ipc_cmd_fail_e::none;
    int err = 0;                    // errno of a send failure
    uint32_t transport_status = 0;
    int rsp_len = 0;                // result of nic_ipc_req_rsp
    uint32_t cmd_status = 0;        // u32 at offset 0
    bool ok() const { return fail == ipc_cmd_fail_e::none; }
};

using nic_ipc_mac_t = std::array<uint8_t, 6>;

struct ipc_cmd_lif_s {
    std::array<uint8_t, 16> uuid{};
    uint16_t lif_id = 0;
    std::string name;
    uint64_t stats_addr = 0;
    uint16_t next_cursor = LIF_CURSOR_NONE;
};

// One exchange each on an open channel.
ipc_cmd_result_s ipc_cmd_device_info(nic_ipc_handle_s *ipc, nic_ipc_mac_t *mac);
ipc_cmd_result_s ipc_cmd_heartbeat(nic_ipc_handle_s *ipc, uint64_t nonce, uint64_t *echo);
ipc_cmd_result_s ipc_cmd_port_ifindex_get(nic_ipc_handle_s *ipc, std::vector<uint32_t> *ifindexes);
ipc_cmd_result_s ipc_cmd_port_info_get(nic_ipc_handle_s *ipc, uint32_t ifindex, uint16_t *port_num);
ipc_cmd_result_s ipc_cmd_port_stats_region_get(nic_ipc_handle_s *ipc, uint64_t *addr, uint32_t *size);
ipc_cmd_result_s ipc_cmd_lif_get(nic_ipc_handle_s *ipc, uint16_t cursor, ipc_cmd_lif_s *lif);

// Walks every LIF from LIF_CURSOR_NONE until a response carries it as the
// next cursor. LIFs taken before a failure stay in *lifs. A walk longer than
// max_lifs (a firmware that never ends it) fails with walk_limit.
inline constexpr size_t IPC_CMD_MAX_LIF_WALK = 4096;
ipc_cmd_result_s ipc_cmd_lif_get_all(nic_ipc_handle_s *ipc, std::vector<ipc_cmd_lif_s> *lifs,
                                     size_t max_lifs = IPC_CMD_MAX_LIF_WALK);

// The discovery message of a failed PORT_INFO_GET,
// P4_PORT_STATS_MEM_RE_INFO_GET or LIF_GET_ALL, without the "[func:line] "
// prefix that the trace call adds. Empty for an accepted result and for the
// commands whose failures discovery does not log.
std::string ipc_cmd_fail_msg(ipc_cmd_e cmd, const ipc_cmd_result_s &res, std::string_view card_bdf);

// Port name from an ifindex: "-" for 0, else type name, slot/port and, when
// not 0, /sub-port (0x11010002 -> eth1/1/2).
std::string nic_ipc_port_name(uint32_t ifindex);
// Port type name of ifindex bits 28-31.
std::string_view nic_ipc_port_type_name(uint32_t port_type);
// Port UUID from the card's MAC and the ifindex.
std::string nic_ipc_port_uuid(const nic_ipc_mac_t &mac, uint32_t ifindex);
