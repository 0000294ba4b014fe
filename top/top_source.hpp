// Where talonmon-top reads from: the metrics endpoint or the telemetry files.
#pragma once

#include "top/top_config.hpp"
#include "top/top_http_client.hpp"
#include "top/top_snapshot.hpp"
#include "top/top_telemetry_source.hpp"

#include <atomic>
#include <memory>
#include <string>

class top_source {
public:
    virtual ~top_source() = default;
    // Takes a snapshot (its clocks are set here); an empty message on
    // success, else why nothing could be read. Gives up soon after `cancel`
    // becomes true.
    virtual std::string read(top_snapshot_s &snapshot, const std::atomic<bool> *cancel = nullptr) = 0;
    virtual std::string describe() const = 0;
};

std::unique_ptr<top_source> top_endpoint_source(const top_url_s &url, const std::string &text);
std::unique_ptr<top_source> top_files_source(const std::string &dir, const top_config_s &config);
