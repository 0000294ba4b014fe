// Response bodies kept for reuse: a scrape renders into a buffer that keeps
// the memory of earlier scrapes, instead of growing a fresh one and handing
// it back to the allocator (and the kernel) each time.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class talonmon_body_pool {
public:
    // Bodies kept while no response holds them: as many as are sent at once
    // in the usual case (one scraper, now and then a second).
    static constexpr std::size_t k_max_spare = 2;

    // An empty body, with the capacity of an earlier one when there is one.
    std::unique_ptr<std::string> take();
    // Gives a body back once its response is done with it.
    void give_back(std::unique_ptr<std::string> body);

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<std::string>> spare_;
};
