#include "top/top_source.hpp"

#include "top/top_scrape.hpp"

#include <chrono>

namespace {

void stamp(top_snapshot_s &snapshot) {
    using namespace std::chrono;
    snapshot.wall = duration<double>(system_clock::now().time_since_epoch()).count();
    snapshot.monotonic = duration<double>(steady_clock::now().time_since_epoch()).count();
}

class endpoint_source : public top_source {
public:
    endpoint_source(top_url_s url, std::string text) : url_(std::move(url)), text_(std::move(text)) {}

    std::string read(top_snapshot_s &snapshot, const std::atomic<bool> *cancel) override {
        top_http_result_s r = top_http_get(url_, k_top_http_timeout, k_top_http_max_bytes, cancel);
        stamp(snapshot);
        if (!r.ok) {
            return text_ + ": " + r.error;
        }
        switch (top_snapshot_from_scrape(r.body, snapshot, cancel)) {
        case top_scrape_status_e::ok:
            return {};
        case top_scrape_status_e::cancelled:
            return text_ + ": reading cancelled";
        case top_scrape_status_e::too_many_series:
            return text_ + ": more than " + std::to_string(k_top_max_series) + " counter series, not read";
        }
        return {};
    }
    std::string describe() const override { return text_; }

private:
    top_url_s url_;
    std::string text_;
};

class files_source : public top_source {
public:
    files_source(const std::string &dir, const top_config_s &config) : dir_(dir), files_(dir, config) {}

    std::string read(top_snapshot_s &snapshot, const std::atomic<bool> *) override {
        stamp(snapshot);
        return files_.poll(snapshot);
    }
    std::string describe() const override { return dir_; }

private:
    std::string dir_;
    top_telemetry_source files_;
};

}  // namespace

std::unique_ptr<top_source> top_endpoint_source(const top_url_s &url, const std::string &text) {
    return std::make_unique<endpoint_source>(url, text);
}

std::unique_ptr<top_source> top_files_source(const std::string &dir, const top_config_s &config) {
    return std::make_unique<files_source>(dir, config);
}
