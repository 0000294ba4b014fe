#include <algorithm>
#include <cstring>

#include "emulator/emu_impl.hpp"
#include "emulator/emu_files.hpp"
#include "emulator/emu_socket.hpp"
#include "emulator/emu_text.hpp"
#include "sdk/platform/ipcdrv/src/wire.hpp"

namespace talon_emu {

using ipc_wire::put_le;

// Builds the response of one firmware command.
void emulator::impl::firmware(card_s &c, uint32_t ep, uint32_t op, const uint8_t *req, size_t req_len,
                              uint32_t *transport, std::vector<uint8_t> *rsp)
{
    auto req_u = [&](size_t off, size_t width) -> uint64_t {
        uint64_t v = 0;
        for (size_t i = 0; i < width && off + i < req_len; ++i) {
            v |= static_cast<uint64_t>(req[off + i]) << (8 * i);
        }
        return v;
    };
    if (card_ctl::serves(ep)) {
        c.ctl.answer(ep, op, req, req_len, transport, rsp);
        return;
    }
    int cmd = -1;
    for (unsigned i = 0; i < k_cmd_count; ++i) {
        if (k_cmds[i].ep == ep && k_cmds[i].op == op) {
            cmd = static_cast<int>(i);
        }
    }
    *transport = 0;
    rsp->clear();
    if (cmd < 0) {
        *transport = k_transport_enotsup;
        return;
    }
    rsp->assign(k_cmds[cmd].rsp_len, 0);
    uint8_t *r = rsp->data();
    uint32_t status = k_status_ok;
    switch (cmd) {
    case DEVICE_INFO:
        std::memcpy(r + 20, c.mac.data(), c.mac.size());
        break;
    case HEARTBEAT: {
        uint64_t echo = req_u(0, 8);
        const uint64_t previous = c.last_heartbeat_nonce;
        c.last_heartbeat_nonce = echo;
        if (c.heartbeat == heartbeat_e::replay) {
            echo = previous;
        }
        if (c.heartbeat == heartbeat_e::fail) {
            *transport = k_transport_eio;
            rsp->clear();
            return;
        }
        if (c.heartbeat == heartbeat_e::mismatch) {
            echo += 1;
        }
        put_le<uint64_t>(r + 8, echo);
        break;
    }
    case PORT_INFO_GET: {
        const uint32_t ifx = static_cast<uint32_t>(req_u(0, 4));
        bool found = false;
        for (uint32_t p : c.ports) {
            found = found || p == ifx;
        }
        if (!found) {
            status = k_status_not_found;
            break;
        }
        put_le<uint32_t>(r + 4, ifx);
        put_le<uint32_t>(r + 24, (ifx >> 16) & 0xFF);
        break;
    }
    case PORT_IFINDEX_GET:
        put_le<uint32_t>(r + 4, static_cast<uint32_t>(c.ports.size()));
        for (size_t i = 0; i < c.ports.size(); ++i) {
            put_le<uint32_t>(r + 8 + 4 * i, c.ports[i]);
        }
        break;
    case P4_PORT_STATS:
        put_le<uint64_t>(r + 8, k_mem_window_base + k_port_region_offset);
        put_le<uint32_t>(r + 16, static_cast<uint32_t>(k_max_ports * k_port_stats_stride));
        break;
    case LIF_GET_ALL: {
        const uint16_t cursor = static_cast<uint16_t>(req_u(0, 2));
        const size_t idx = cursor == k_lif_cursor_none ? 0 : cursor;
        if (idx >= c.lifs.size()) {
            status = k_status_not_found;
            break;
        }
        const lif_s &lif = c.lifs[idx];
        std::memcpy(r + 8, lif.uuid.data(), lif.uuid.size());
        put_le<uint16_t>(r + 48, lif.lif_id);
        std::memcpy(r + 50, lif.name.data(), std::min(lif.name.size(), k_lif_name_field));
        put_le<uint64_t>(r + 128, k_mem_window_base + k_lif_region_offset + idx * k_lif_stats_stride);
        put_le<uint16_t>(r + 144, idx + 1 < c.lifs.size() ? static_cast<uint16_t>(idx + 1) : k_lif_cursor_none);
        break;
    }
    default:
        break;
    }
    put_le<uint32_t>(r, status);

    apply_fault(c.faults[cmd], rsp, transport);
}

}  // namespace talon_emu
