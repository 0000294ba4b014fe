#include "monitor/talonmon_card.hpp"

std::shared_ptr<const talonmon_lif_list_t> talonmon_card_ctxt_s::lifs() const {
    std::lock_guard<std::mutex> lock(lists_mutex_);
    return lifs_;
}

std::shared_ptr<const talonmon_port_list_t> talonmon_card_ctxt_s::ports() const {
    std::lock_guard<std::mutex> lock(lists_mutex_);
    return ports_;
}

void talonmon_card_ctxt_s::set_lifs(talonmon_lif_list_t lifs) {
    for (auto &lif : lifs) {
        lif.line_parts = talonmon_make_line_parts(*this, TALONMON_RECORD_TYPE_LIF, lif.uuid, lif.name);
    }
    if (metrics) {
        for (auto &lif : lifs) {
            if (!lif.metrics) {
                lif.metrics = metrics->lif(lif.uuid, lif.name);
            }
        }
    }
    auto fresh = std::make_shared<const talonmon_lif_list_t>(std::move(lifs));
    std::lock_guard<std::mutex> lock(lists_mutex_);
    lifs_ = std::move(fresh);
}

void talonmon_card_ctxt_s::set_ports(talonmon_port_list_t ports) {
    for (auto &port : ports) {
        port.line_parts = talonmon_make_line_parts(*this, TALONMON_RECORD_TYPE_PORT, port.uuid, port.name);
    }
    if (metrics) {
        for (auto &port : ports) {
            if (!port.metrics) {
                port.metrics = metrics->port(port.uuid, port.name);
            }
        }
    }
    auto fresh = std::make_shared<const talonmon_port_list_t>(std::move(ports));
    std::lock_guard<std::mutex> lock(lists_mutex_);
    ports_ = std::move(fresh);
}

void talonmon_card_ctxt_s::wake_worker() {
    cond.notify_all();
    wake.wake_all();
}

bool talonmon_card_ctxt_s::is_down() {
    std::lock_guard<std::mutex> lock(mutex);
    return down;
}

void talonmon_card_ctxt_s::set_down(bool value) {
    std::lock_guard<std::mutex> lock(mutex);
    down = value;
    wake_worker();
    if (metrics) {
        metrics->set_up(!value);
    }
}

void talonmon_card_ctxt_s::publish_up() {
    std::lock_guard<std::mutex> lock(mutex);
    if (metrics && !down && !stop) {
        metrics->set_up(true);
    }
}

bool talonmon_card_ctxt_s::mark_down() {
    std::lock_guard<std::mutex> lock(mutex);
    if (down) {
        return false;
    }
    down = true;
    wake_worker();
    if (metrics) {
        metrics->set_up(false);
    }
    return !announce_up;
}
