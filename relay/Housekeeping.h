#pragma once

#include "relay/RelayConfig.h"
#include "relay/SiteHealth.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/** The relay's own work between requests, once a second on a thread of its own: each site's
 *  canary search when it is due, a trial of each site whose breaker has waited long enough,
 *  and whatever else must run regularly (the cache's purge). */
class Housekeeping {
public:
    /** What a search of the site gave: the status (200 when rows were read), whether the
     *  failure shows the site down, and what a canary records. */
    struct Outcome {
        long status = 0;
        bool siteDown = false;
        double ms = 0;
        size_t rows = 0;
        std::string error;
    };
    using Search = std::function<Outcome(size_t site, const std::string& query)>;

    /** Starts the thread; config and health must outlive this object. */
    Housekeeping(const RelayConfig& config, SiteHealth& health, Search search,
                 std::function<void()> everySecond);
    ~Housekeeping();
    Housekeeping(const Housekeeping&) = delete;
    Housekeeping& operator=(const Housekeeping&) = delete;

private:
    void RunCanaries(const std::stop_token& stop);

    const RelayConfig& config_;
    SiteHealth& health_;
    Search search_;
    std::function<void()> everySecond_;
    std::vector<std::chrono::steady_clock::time_point> canaryDue_; // as config_.sites
    std::mutex mutex_;
    std::condition_variable_any tick_;
    std::jthread thread_; // last: stops before the members it uses go away
};
