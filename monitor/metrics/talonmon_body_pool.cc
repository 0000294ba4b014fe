#include "monitor/metrics/talonmon_body_pool.hpp"

std::unique_ptr<std::string> talonmon_body_pool::take() {
    std::unique_ptr<std::string> body;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!spare_.empty()) {
            body = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    if (!body) {
        body = std::make_unique<std::string>();
    }
    body->clear();
    return body;
}

void talonmon_body_pool::give_back(std::unique_ptr<std::string> body) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (body && spare_.size() < k_max_spare) {
        spare_.push_back(std::move(body));
    }
}
