#include "monitor/talonmon_discovery.hpp"

#include "monitor/talonmon_state.hpp"
#include "nic_ipc/nic_ipc.hpp"
#include "nic_ipc/nic_ipc_cmd.hpp"
#include "utils/log/trace.hpp"
#include "utils/log/utf8.hpp"

namespace {

// Adds the entries whose UUID the list does not hold yet, logging each.
template <typename Entry, typename Log>
std::vector<Entry> merge_new(const std::vector<Entry> &existing, const std::vector<Entry> &found, Log log_new) {
    std::vector<Entry> merged = existing;
    for (const auto &entry : found) {
        bool known = false;
        for (const auto &have : merged) {
            known = known || have.uuid == entry.uuid;
        }
        if (!known) {
            log_new(entry);
            merged.push_back(entry);
        }
    }
    return merged;
}

}  // namespace

sdk::sdk_ret_t talonmon_card_port_get(const talonmon_card_ctxt_s &card, std::vector<talonmon_port_entry_s> &out) {
    nic_ipc_channel ipc;
    if (ipc.open(card.bdf.c_str()) < 0) {
        TRACE_ERR("TALON {} - Failed to open IPC connection", card.bdf);
        return sdk::SDK_RET_IPC_CONN_ERR;
    }
    nic_ipc_mac_t mac{};
    if (!ipc_cmd_device_info(ipc.get(), &mac).ok()) {
        return sdk::SDK_RET_ERR;
    }
    std::vector<uint32_t> ifindexes;
    if (!ipc_cmd_port_ifindex_get(ipc.get(), &ifindexes).ok()) {
        return sdk::SDK_RET_ERR;
    }
    for (uint32_t ifindex : ifindexes) {
        talonmon_port_entry_s entry;
        entry.ifindex = ifindex;
        entry.uuid = nic_ipc_port_uuid(mac, ifindex);
        entry.name = nic_ipc_port_name(ifindex);
        ipc_cmd_result_s res = ipc_cmd_port_info_get(ipc.get(), ifindex, &entry.port_num);
        if (!res.ok()) {
            TRACE_ERR("{}", ipc_cmd_fail_msg(ipc_cmd_e::PORT_INFO_GET, res, card.bdf));
            return sdk::SDK_RET_ERR;
        }
        uint32_t size = 0;
        res = ipc_cmd_port_stats_region_get(ipc.get(), &entry.stats_addr, &size);
        if (!res.ok()) {
            TRACE_ERR("{}", ipc_cmd_fail_msg(ipc_cmd_e::P4_PORT_STATS_MEM_RE_INFO_GET, res, card.bdf));
            return sdk::SDK_RET_ERR;
        }
        entry.stats_size = size;
        out.push_back(std::move(entry));
    }
    return sdk::SDK_RET_OK;
}

sdk::sdk_ret_t talonmon_card_lif_get(const talonmon_card_ctxt_s &card, std::vector<talonmon_lif_entry_s> &out) {
    nic_ipc_channel ipc;
    if (ipc.open(card.bdf.c_str()) < 0) {
        TRACE_ERR("TALON {} - Failed to open IPC connection", card.bdf);
        return sdk::SDK_RET_IPC_CONN_ERR;
    }
    std::vector<ipc_cmd_lif_s> lifs;
    ipc_cmd_result_s res = ipc_cmd_lif_get_all(ipc.get(), &lifs);
    for (const auto &lif : lifs) {
        talonmon_lif_entry_s entry;
        entry.uuid = nic_ipc_uuid_text(lif.uuid);
        entry.name = lif.name;
        entry.lif_id = lif.lif_id;
        entry.stats_addr = lif.stats_addr;
        out.push_back(std::move(entry));
    }
    if (!res.ok()) {
        TRACE_ERR("{}", ipc_cmd_fail_msg(ipc_cmd_e::LIF_GET_ALL, res, card.bdf));
        return sdk::SDK_RET_ERR;
    }
    return sdk::SDK_RET_OK;
}

sdk::sdk_ret_t talonmon_state::discover_card_ports_(talonmon_card_ctxt_s &ctxt) {
    std::vector<talonmon_port_entry_s> found;
    sdk::sdk_ret_t rc = talonmon_card_port_get(ctxt, found);
    if (rc != sdk::SDK_RET_OK) {
        TRACE_ERR("TALON {} - Failed to populate port db, err {}", ctxt.bdf, static_cast<uint32_t>(rc));
        return rc;
    }
    // Inside the lambda __func__ would name its operator(): capture this function's name.
    ctxt.set_ports(merge_new(*ctxt.ports(), found, [&, func = __func__](const talonmon_port_entry_s &port) {
        utils::trace_msg(trace_level_info, {__FILE__, __LINE__, func}, "TALON {} - Discovered new port {} - {}",
                         ctxt.bdf, utils::printable{port.name}, port.uuid);
    }));
    return sdk::SDK_RET_OK;
}

sdk::sdk_ret_t talonmon_state::discover_card_lifs_(talonmon_card_ctxt_s &ctxt) {
    std::vector<talonmon_lif_entry_s> found;
    sdk::sdk_ret_t rc = talonmon_card_lif_get(ctxt, found);
    if (rc != sdk::SDK_RET_OK) {
        return rc;
    }
    ctxt.set_lifs(merge_new(*ctxt.lifs(), found, [&, func = __func__](const talonmon_lif_entry_s &lif) {
        utils::trace_msg(trace_level_info, {__FILE__, __LINE__, func}, "TALON {} - Discovered new lif {} - {}",
                         ctxt.bdf, utils::printable{lif.name}, lif.uuid);
    }));
    return sdk::SDK_RET_OK;
}

sdk::sdk_ret_t talonmon_state::discover_ports() {
    const size_t count = num_cards();
    for (size_t i = 0; i < count; ++i) {
        talonmon_card_ctxt_s &ctxt = card(i);
        if (!ctxt.is_down()) {
            discover_card_ports_(ctxt);
        }
    }
    return sdk::SDK_RET_OK;
}

sdk::sdk_ret_t talonmon_state::discover_lifs() {
    const size_t count = num_cards();
    for (size_t i = 0; i < count; ++i) {
        talonmon_card_ctxt_s &ctxt = card(i);
        if (!ctxt.is_down()) {
            discover_card_lifs_(ctxt);
        }
    }
    return sdk::SDK_RET_OK;
}
