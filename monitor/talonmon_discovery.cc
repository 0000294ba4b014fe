#include "monitor/talonmon_discovery.hpp"

#include "monitor/talonmon_state.hpp"
#include "aml/aml_inventory.hpp"
#include "monitor/metrics/talonmon_metrics_registry.hpp"
#include "monitor/pipeline.hpp"
#include "monitor/talonmon_oper_logger.hpp"
#include "nic_ipc/nic_ipc.hpp"
#include "nic_ipc/nic_ipc_cmd.hpp"
#include "utils/log/trace.hpp"
#include "utils/log/utf8.hpp"

namespace {

// Adds the entries whose UUID the list does not hold yet, logging each. An
// entry the card now reports under a new name takes that name (and fresh
// metrics slots, which carry it).
template <typename Entry, typename Log>
std::vector<Entry> merge_new(const std::vector<Entry> &existing, const std::vector<Entry> &found, Log log_new) {
    std::vector<Entry> merged = existing;
    for (const auto &entry : found) {
        bool known = false;
        for (auto &have : merged) {
            if (have.uuid != entry.uuid) {
                continue;
            }
            known = true;
            if (have.name != entry.name) {
                have.name = entry.name;
                have.metrics = nullptr;
            }
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

sdk::sdk_ret_t talonmon_state::discover_cards() {
    const sdk::sdk_ret_t rc = discover_cards_pass_();
    report_card_count_();
    return rc;
}

// One line whenever the number of cards the daemon holds changes. At the
// first pass only "none" is news: found cards have their own lines.
void talonmon_state::report_card_count_() {
    const size_t count = num_cards();
    if (count == reported_cards_ || (reported_cards_ == k_cards_not_reported && count > 0)) {
        reported_cards_ = count;
        return;
    }
    reported_cards_ = count;
    TRACE_INFO("Monitoring {} TALON card(s)", count);
}

sdk::sdk_ret_t talonmon_state::discover_cards_pass_() {
    g_talonmon_metrics.count_discovery_pass();
    aml_card_inventory_get_req_s req{};
    aml_card_inventory_get_rsp_s rsp{};
    aml_status_e status = aml_card_inventory_get(&req, &rsp);
    if (status != AML_STATUS_OK) {
        // One line, however the listing's text ends.
        const std::string &msg = rsp.err_msg;
        std::fprintf(stderr, "Error %s\n", msg.substr(0, msg.find_last_not_of('\n') + 1).c_str());
        return aml_to_sdk_ret_status(status);
    }
    report_inventory_error_(rsp.err_msg);
    const std::vector<aml_card_handle_s> handles = rsp.cards;
    for (const auto &handle : handles) {
        for (size_t i = 0; i < num_cards(); ++i) {
            if (card(i).bdf == handle.bdf && card(i).uuid != handle.uuid) {
                replace_card_(card(i), handle);
            }
        }
    }
    const size_t known_before = num_cards();

    // Contexts appended by this pass get their workers when the pass ends,
    // also when it ends early: no context stays active without a worker.
    struct start_new_workers {
        talonmon_state &state;
        size_t from;
        ~start_new_workers() {
            for (size_t i = from; i < state.num_cards(); ++i) {
                state.start_worker_(state.card(i));
            }
        }
    };
    {
        start_new_workers starter{*this, known_before};
        for (const auto &handle : handles) {
            bool known = false;
            for (size_t i = 0; i < num_cards() && !known; ++i) {
                known = talonmon_same_card(card(i), handle);
            }
            if (known) {
                continue;
            }
            auto ctxt = std::make_unique<talonmon_card_ctxt_s>(handle);
            ctxt->metrics = g_talonmon_metrics.make_card(ctxt->bdf, ctxt->uuid);
            if (init_card_(*ctxt) != sdk::SDK_RET_OK) {
                continue;  // retried at the next discovery pass
            }
            // A card whose files cannot be opened (the error names the
            // file) is monitored all the same, shown as not writing its
            // telemetry; its files are opened once that becomes possible.
            ctxt->telemetry = std::make_shared<talonmon_telemetry_status>(ctxt->metrics);
            ctxt->stats_logger = talonmon_oper_logger_init(*ctxt, telemetry_dir_, "stats", ctxt->telemetry);
            ctxt->event_logger = talonmon_oper_logger_init(*ctxt, telemetry_dir_, "event", ctxt->telemetry);
            append_card_(std::move(ctxt));
        }
    }

    // Card up: a listed card that is down and readable again gets a new worker.
    for (const auto &handle : handles) {
        for (size_t i = 0; i < num_cards(); ++i) {
            talonmon_card_ctxt_s &ctxt = card(i);
            if (!talonmon_same_card(ctxt, handle) || !ctxt.is_down()) {
                continue;
            }
            // A card that answers its listing may still fail its heartbeat:
            // it is read afresh (and its LIFs and ports logged) only once
            // that passes, so a card that stays down is not reported found
            // again on every pass.
            if (!card_alive_(ctxt) || init_card_(ctxt) != sdk::SDK_RET_OK) {
                continue;
            }
            stop_worker_(ctxt);
            pipeline_reinit(ctxt);  // the new worker starts from zero
            {
                std::lock_guard<std::mutex> lock(ctxt.mutex);
                ctxt.stop = false;
                ctxt.down = false;
                // The new worker reports the card up once its platform
                // access has started, before its first sample.
                ctxt.announce_up = true;
            }
            start_worker_(ctxt);
        }
    }
    return sdk::SDK_RET_OK;
}

// The card that held the slot is reported down (its heartbeat, answered by
// the new card, may not tell) and its worker ends; the context, with its
// telemetry files, then stands for the new card under fresh metrics, down
// until the card-up pass reads it afresh: new LIFs and ports, its UUID on
// every line.
void talonmon_state::replace_card_(talonmon_card_ctxt_s &ctxt, const aml_card_handle_s &handle) {
    TRACE_INFO("TALON {} - card {} replaced by card {}", ctxt.bdf, ctxt.uuid, handle.uuid);
    if (ctxt.mark_down()) {
        TRACE_INFO("TALON {} - card down detected", ctxt.bdf);
        talonmon_post_health_check_event(ctxt, "card down detected");
    }
    stop_worker_(ctxt);
    auto metrics = g_talonmon_metrics.make_card(ctxt.bdf, handle.uuid);
    g_talonmon_metrics.replace_card(ctxt.metrics, metrics);
    {
        std::lock_guard<std::mutex> lock(cards_mutex_);
        ctxt.uuid = handle.uuid;
    }
    ctxt.metrics = std::move(metrics);
    ctxt.set_lifs({});
    ctxt.set_ports({});
    ctxt.set_down(true);
}

// A listing that failed (lspci missing or failing) yields no cards, like a
// host without any: the error level line tells the operator which it is.
void talonmon_state::report_inventory_error_(const std::string &err_msg) {
    if (err_msg == inventory_error_) {
        return;
    }
    inventory_error_ = err_msg;
    if (!err_msg.empty()) {
        TRACE_ERR("{}", err_msg.substr(0, err_msg.find_last_not_of('\n') + 1));
    }
}

sdk::sdk_ret_t talonmon_state::init_card_(talonmon_card_ctxt_s &ctxt) {
    ctxt.set_lifs({});
    ctxt.set_ports({});
    sdk::sdk_ret_t rc = discover_card_lifs_(ctxt);
    if (rc != sdk::SDK_RET_OK) {
        return rc;
    }
    rc = discover_card_ports_(ctxt);
    if (rc != sdk::SDK_RET_OK) {
        return rc;
    }
    retain_entity_metrics_(ctxt);
    TRACE_INFO("TALON {} - Card init successful", ctxt.bdf);
    return sdk::SDK_RET_OK;
}

// Entities a card no longer reports stay published while it is down and
// go once it has been read afresh.
void talonmon_state::retain_entity_metrics_(talonmon_card_ctxt_s &ctxt) {
    if (!ctxt.metrics) {
        return;
    }
    std::vector<std::string> lif_uuids;
    std::vector<std::string> port_uuids;
    for (const auto &lif : *ctxt.lifs()) {
        lif_uuids.push_back(lif.uuid);
    }
    for (const auto &port : *ctxt.ports()) {
        port_uuids.push_back(port.uuid);
    }
    ctxt.metrics->retain(lif_uuids, port_uuids);
}
