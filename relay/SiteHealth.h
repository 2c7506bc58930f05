#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

/** How each configured site is doing: fetch counts, a circuit breaker, and what the canary search
 *  last found. Safe to use from several threads. */
class SiteHealth {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Log = std::function<void(const std::string& line)>;

    struct Settings {
        int failAfter = 3;                   // consecutive failures that open the breaker
        std::chrono::seconds retryAfter{30}; // then the relay tries the site itself
    };

    SiteHealth(std::vector<std::string> names, Settings settings, Log log,
               Clock clock = &std::chrono::steady_clock::now);
    /** The health of a reloaded configuration's sites: a site marked in kept goes on with its
     *  entry in previous (breaker, counts, canary), shared with it so that answers still under
     *  way on the old configuration count too; the others start afresh. */
    SiteHealth(const SiteHealth& previous, std::vector<std::string> names,
               const std::vector<bool>& kept, Settings settings);

    /** False while the site's breaker is open: answer at once, without fetching. No client's
     *  request ever closes it: only a trial the relay makes itself (TrialDue) or a canary. */
    bool Allow(size_t site) const;
    /** True once for each wait that has run out while the breaker is open: the caller then
     *  tries the site and records the outcome as a canary. */
    bool TrialDue(size_t site);
    /** A fetch that tells whether the site is up: ok, or a failure that shows it down. */
    void RecordFetch(size_t site, bool ok, const std::string& error);
    /** A canary search or trial: reachable (the site answered, whatever it said), its status,
     *  how long, how many rows. */
    void RecordCanary(size_t site, bool reachable, long status, double ms, size_t rows,
                      const std::string& error);
    /** A search of the site for a client, and how long it took. */
    void RecordSearch(size_t site, double ms);
    /** A cookie login's test: a failed one makes the site "login_failed" until one passes. */
    void RecordLogin(size_t site, bool ok, const std::string& error);
    bool LoginFailed(size_t site) const;
    /** A login only a person can make (a captcha): "needs_login", how in the error, until a
     *  login passes. */
    void RecordNeedsLogin(size_t site, const std::string& how);
    /** {"status": ..., "sites": {name: {...}}} and whether every site is "ok". */
    std::string Json(bool& allOk) const;

private:
    struct Site {
        std::string name;
        std::string state = "ok";
        std::string lastError;
        int consecutiveFailures = 0;
        long long fetchesOk = 0, fetchesFailed = 0;
        std::chrono::steady_clock::time_point openUntil{};
        bool open = false;
        bool canaryRan = false;
        long long canaryAgeBase = 0; // seconds since the epoch of the last canary
        long canaryStatus = 0;
        double canaryMs = 0;
        long long rows = -1;    // rows the last canary found, -1: none ran
        bool foundRows = false; // some canary ever found rows
        bool layoutChanged = false;
        bool loginFailed = false;
        bool needsLogin = false;
        long long searchTime = 0; // seconds since the epoch of the last search, 0: none
        double searchMs = 0;
    };
    void Settle(Site& s); // works out the state and logs a change
    void Failed(Site& s, const std::string& error);

    Settings settings_;
    Log log_;
    Clock clock_;
    // Shared with the health of configurations reloaded after this one, as are kept entries.
    std::shared_ptr<std::mutex> mutex_ = std::make_shared<std::mutex>();
    std::vector<std::shared_ptr<Site>> sites_;
};
