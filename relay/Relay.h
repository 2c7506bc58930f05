#pragma once

#include "relay/ByteBudget.h"
#include "relay/RelayConfig.h"
#include "relay/ReplyCache.h"
#include "relay/SiteHealth.h"
#include "serve/HttpService.h"

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class HttpCookieJar;
struct ReducedPage;

/** Checks what parsing cannot: every site's expressions compile and give what they should, every
 *  charset can be read. Empty when all is well, else "N: reason" (N the line in the file). */
std::string CheckRelayConfig(const RelayConfig& config);

/** The relay: fetches a configured site's search or film page and answers the flat reply the
 *  program reads ("title|path|..." or "name|link|..."), in GB18030. Nothing but configured sites
 *  is ever fetched. An answer holds one of a few slots from fetch to encoding, has a deadline
 *  shorter than the program's own and is dropped once its client has gone. */
class Relay {
public:
    using Log = std::function<void(const std::string& line)>;

    explicit Relay(RelayConfig config, Log log = {},
                   ReplyCache::Clock cacheClock = &std::chrono::steady_clock::now);
    ~Relay();
    void Handle(const ServiceRequest& request, ServiceResponse& response);
    const RelayConfig& config() const { return config_; }
    size_t cachedBytes() const { return cache_.bytes(); }

    /** The options a service in front of this relay should listen with. */
    HttpService::Options ServiceOptions() const;
    /** Shutting down: answers under way give up their fetch at once and answer 503. */
    void Stop() { stopping_ = true; }

    /** What one search of the site through its profile gives: for canaries and --check. */
    struct Probe {
        long status = 0;       // 200 when rows were read
        bool siteDown = false; // the failure shows the site down, not just this page wrong
        double ms = 0;
        std::vector<std::pair<std::string, std::string>> rows;
        std::string error;
    };
    Probe ProbeSearch(size_t site, const std::string& query);

private:
    enum class Form { Search, Film };
    /** Why no answer could be made: the status to answer and the reason in words. */
    struct Failure {
        int status = 0; // 0: none
        std::string reason;
        bool siteDown = false; // counts against the site's breaker
        explicit operator bool() const { return status != 0; }
    };
    using Deadline = std::chrono::steady_clock::time_point;
    /** One request on its way through the relay. */
    struct Job {
        Form form;
        const SiteProfile* site;
        std::string upstream;
        Deadline deadline;
        const ServiceRequest& request;
        std::function<bool()> giveUp; // the client has gone, or the relay is stopping
        bool recordHealth = true;     // canaries record their own outcome
        size_t index(const RelayConfig& config) const { return size_t(site - config.sites.data()); }
    };

    void Answer(Form form, const std::string& target, const ServiceRequest& request,
                ServiceResponse& response, std::string& note);
    Failure FetchAndReduce(const Job& job, const std::string& upstream, size_t maxFieldBytes,
                           ReducedPage& reduced);
    Failure Fetch(const Job& job, const std::string& upstream,
                  const std::function<bool()>& admitLarge, QByteArray& page,
                  std::string& contentType);
    void RecordHealth(const Job& job, const Failure& failure, bool siteAnswered);
    std::string NextPage(const Job& job, const std::string& current, const std::string& link) const;
    void RunCanaries();
    Failure Reduce(const Job& job, QByteArray page, const std::string& charset,
                   size_t maxFieldBytes, ReducedPage& reduced);
    std::string Normalise(const Job& job, const ReducedPage& reduced, bool& cut) const;
    const SiteProfile* SiteFor(const UrlOrigin& origin) const;

    RelayConfig config_;
    Log log_;
    ReplyCache cache_;
    std::vector<std::unique_ptr<HttpCookieJar>> cookies_; // one per site, as config_.sites
    std::atomic_bool stopping_{false};
    SiteHealth health_;
    std::vector<std::chrono::steady_clock::time_point> canaryDue_; // as config_.sites
    ByteBudget slots_; // answers under way, one unit each
    ByteBudget pages_; // bytes of pages being parsed
    std::mutex tickMutex_;
    std::condition_variable_any tick_;
    std::jthread housekeeping_; // last: stops before the members it uses go away
};
