#pragma once

#include "relay/RelayConfig.h"
#include "relay/SiteHealth.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
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

    /** What one round works on: the configuration in force (it may be reloaded between
     *  rounds), its sites' health, a search of its sites and the regular work. */
    struct Round {
        std::shared_ptr<const void> hold; // keeps all of the round's parts alive
        const RelayConfig* config = nullptr;
        SiteHealth* health = nullptr;
        Search search;
        std::function<void()> everySecond;
    };

    /** Starts the thread, which asks current for each round's parts. */
    explicit Housekeeping(std::function<Round()> current);
    ~Housekeeping();
    Housekeeping(const Housekeeping&) = delete;
    Housekeeping& operator=(const Housekeeping&) = delete;

private:
    void RunCanaries(const Round& round, const std::stop_token& stop);

    std::function<Round()> current_;
    // By site name: a reload that keeps a site keeps its canary's turn.
    std::map<std::string, std::chrono::steady_clock::time_point> canaryDue_;
    std::mutex mutex_;
    std::condition_variable_any tick_;
    std::jthread thread_; // last: stops before the members it uses go away
};
