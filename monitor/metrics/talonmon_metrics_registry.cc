#include "monitor/metrics/talonmon_metrics_registry.hpp"

#include "monitor/metrics/talonmon_label_set.hpp"

#include <algorithm>

talonmon_metrics_registry g_talonmon_metrics;

talonmon_entity_metrics::talonmon_entity_metrics(std::string name, std::string uuid, size_t counters,
                                                 std::string labels, std::vector<size_t> histograms)
    : name_(std::move(name)), uuid_(std::move(uuid)), labels_(std::move(labels)), num_counters_(counters),
      readings_(std::make_unique<std::atomic<uint64_t>[]>(counters)), histogram_positions_(std::move(histograms)),
      histograms_(std::make_unique<talonmon_rate_histogram[]>(histogram_positions_.size())) {}

talonmon_card_metrics::talonmon_card_metrics(std::string bdf, std::string uuid, size_t lif_counters,
                                             size_t port_counters, std::vector<size_t> lif_histograms,
                                             std::vector<size_t> port_histograms)
    : bdf_(std::move(bdf)), uuid_(std::move(uuid)), labels_(talonmon_label_set({{"bdf", bdf_}, {"card_uuid", uuid_}})),
      lif_counters_(lif_counters), port_counters_(port_counters), lif_histograms_(std::move(lif_histograms)),
      port_histograms_(std::move(port_histograms)) {}

std::shared_ptr<talonmon_entity_metrics> talonmon_card_metrics::find_or_add_(entity_list_t &list,
                                                                             std::string_view kind,
                                                                             const std::string &uuid,
                                                                             const std::string &name,
                                                                             size_t counters,
                                                                             const std::vector<size_t> &histograms) {
    // The card's labels, then the entity's name and uuid under its kind.
    auto labels = [&] {
        const std::string uuid_label = std::string(kind) + "_uuid";
        return labels_ + "," + talonmon_label_set({{kind, name}, {uuid_label, uuid}});
    };
    std::lock_guard<std::mutex> lock(entities_mutex_);
    for (auto &entity : list) {
        if (entity->uuid() != uuid) {
            continue;
        }
        if (entity->name() != name) {
            // Scrapes read the name without a lock: a renamed entity is a
            // new object.
            auto renamed = std::make_shared<talonmon_entity_metrics>(name, uuid, counters, labels(), histograms);
            std::vector<uint64_t> readings;
            for (size_t i = 0; i < entity->num_counters(); ++i) {
                readings.push_back(entity->reading(i));
            }
            renamed->publish(readings);
            for (size_t h = 0; h < entity->histogram_positions().size() && h < histograms.size(); ++h) {
                renamed->restore_histogram(h, entity->histogram(h).snapshot());
            }
            entity = std::move(renamed);
        }
        return entity;
    }
    list.push_back(std::make_shared<talonmon_entity_metrics>(name, uuid, counters, labels(), histograms));
    return list.back();
}

std::shared_ptr<talonmon_entity_metrics> talonmon_card_metrics::lif(const std::string &uuid,
                                                                    const std::string &name) {
    return find_or_add_(lifs_, "lif", uuid, name, lif_counters_, lif_histograms_);
}

std::shared_ptr<talonmon_entity_metrics> talonmon_card_metrics::port(const std::string &uuid,
                                                                     const std::string &name) {
    return find_or_add_(ports_, "port", uuid, name, port_counters_, port_histograms_);
}

void talonmon_card_metrics::retain(const std::vector<std::string> &lif_uuids,
                                   const std::vector<std::string> &port_uuids) {
    auto keep_only = [](entity_list_t &list, const std::vector<std::string> &uuids) {
        std::erase_if(list, [&](const auto &entity) {
            return std::find(uuids.begin(), uuids.end(), entity->uuid()) == uuids.end();
        });
    };
    std::lock_guard<std::mutex> lock(entities_mutex_);
    keep_only(lifs_, lif_uuids);
    keep_only(ports_, port_uuids);
}

std::vector<std::shared_ptr<const talonmon_entity_metrics>> talonmon_card_metrics::lifs() const {
    std::lock_guard<std::mutex> lock(entities_mutex_);
    return {lifs_.begin(), lifs_.end()};
}

std::vector<std::shared_ptr<const talonmon_entity_metrics>> talonmon_card_metrics::ports() const {
    std::lock_guard<std::mutex> lock(entities_mutex_);
    return {ports_.begin(), ports_.end()};
}

void talonmon_metrics_registry::enable(std::vector<std::string> lif_counters, std::vector<std::string> port_counters,
                                       std::vector<size_t> lif_histograms, std::vector<size_t> port_histograms) {
    lif_counters_ = std::move(lif_counters);
    port_counters_ = std::move(port_counters);
    lif_histograms_ = std::move(lif_histograms);
    port_histograms_ = std::move(port_histograms);
    enabled_ = true;
}

std::shared_ptr<talonmon_card_metrics> talonmon_metrics_registry::make_card(const std::string &bdf,
                                                                           const std::string &uuid) const {
    if (!enabled_) {
        return nullptr;
    }
    return std::make_shared<talonmon_card_metrics>(bdf, uuid, lif_counters_.size(), port_counters_.size(),
                                                   lif_histograms_, port_histograms_);
}

void talonmon_metrics_registry::add_card(std::shared_ptr<talonmon_card_metrics> card) {
    if (!card) {
        return;
    }
    std::lock_guard<std::mutex> lock(cards_mutex_);
    cards_.push_back(std::move(card));
}

void talonmon_metrics_registry::replace_card(const std::shared_ptr<talonmon_card_metrics> &old,
                                             std::shared_ptr<talonmon_card_metrics> card) {
    std::lock_guard<std::mutex> lock(cards_mutex_);
    for (auto &held : cards_) {
        if (held == old) {
            held = std::move(card);
            return;
        }
    }
}

std::vector<std::shared_ptr<const talonmon_card_metrics>> talonmon_metrics_registry::cards() const {
    std::lock_guard<std::mutex> lock(cards_mutex_);
    return {cards_.begin(), cards_.end()};
}

void talonmon_metrics_registry::reset() {
    std::lock_guard<std::mutex> lock(cards_mutex_);
    cards_.clear();
    lif_counters_.clear();
    port_counters_.clear();
    lif_histograms_.clear();
    port_histograms_.clear();
    discovery_passes_.store(0, std::memory_order_relaxed);
    enabled_ = false;
}
