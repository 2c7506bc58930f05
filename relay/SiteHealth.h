#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

/** How each configured site is doing: fetch counts, a circuit breaker, and what the canary search
 *  last found. Safe to use from several threads. */
class SiteHealth {
public:
    using Clock = std::chrono::steady_clock;
    using Log = std::function<void(const std::string& line)>;

    struct Settings {
        int failAfter = 3;                   // consecutive failed fetches that open the breaker
        std::chrono::seconds retryAfter{30}; // then one request may try again
    };

    SiteHealth(std::vector<std::string> names, Settings settings, Log log);

    /** False while the site's breaker is open: answer 503 at once, without fetching. */
    bool Allow(size_t site);
    void RecordFetch(size_t site, bool ok, const std::string& error);
    /** A canary search: reachable (a page came), its status, how long, how many rows. */
    void RecordCanary(size_t site, bool reachable, long status, double ms, size_t rows,
                      const std::string& error);
    /** {"status": ..., "sites": {name: {...}}} and whether every site is "ok". */
    std::string Json(bool& allOk) const;

private:
    struct Site {
        std::string name;
        std::string state = "ok";
        std::string lastError;
        int consecutiveFailures = 0;
        long long fetchesOk = 0, fetchesFailed = 0;
        Clock::time_point openUntil{};
        bool open = false;
        bool canaryRan = false;
        long long canaryAgeBase = 0; // seconds since the epoch of the last canary
        long canaryStatus = 0;
        double canaryMs = 0;
        long long rows = -1;    // rows the last canary found, -1: none ran
        bool foundRows = false; // some canary ever found rows
        bool layoutChanged = false;
    };
    void Settle(Site& s); // works out the state and logs a change

    Settings settings_;
    Log log_;
    mutable std::mutex mutex_;
    std::vector<Site> sites_;
};
