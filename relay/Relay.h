#pragma once

#include "relay/ByteBudget.h"
#include "relay/Housekeeping.h"
#include "relay/RelayConfig.h"
#include "relay/RelayFailure.h"
#include "relay/ReplyCache.h"
#include "relay/SiteHealth.h"
#include "relay/gateway/Gateway.h"
#include "serve/HttpService.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class HttpCookieJar;
struct ReducedPage;

/** The relay: fetches a configured site's search or film page and answers the flat reply the
 *  program reads ("title|path|..." or "name|link|..."), in GB18030. Nothing but configured sites
 *  is ever fetched. A profile's answer holds one of a few slots from fetch to encoding; every
 *  answer has a deadline shorter than the program's own and is dropped once its client has
 *  gone. Fetching (SiteFetch), reading pages (PageReducer), encoding rows (RowEncoding), the
 *  cache, the sites' health and the canaries (Housekeeping) each have a file of their own; this
 *  one puts them together. */
class Relay {
public:
    using Log = std::function<void(const std::string& line)>;

    explicit Relay(RelayConfig config, Log log = {},
                   ReplyCache::Clock cacheClock = &std::chrono::steady_clock::now);
    ~Relay();
    void Handle(const ServiceRequest& request, ServiceResponse& response);
    /** The configuration in force now. */
    std::shared_ptr<const RelayConfig> config() const;
    size_t cachedBytes() const;

    /** Puts a configuration, checked whole, in force for the requests that come after; those
     *  under way finish on the one they began with. A site whose settings and definition are
     *  unchanged keeps its health, breaker, queue, cookies and lagging state; the cache starts
     *  empty. Returns what only a restart changes (the listen address, the service's limits),
     *  one log line each: those go on as they were. */
    std::vector<std::string> Reload(RelayConfig config);

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
    using Deadline = std::chrono::steady_clock::time_point;
    /** One configuration and what is made of it: a request works on the one in force when it
     *  began, to its end. */
    struct State;
    /** One request on its way through the relay. */
    struct Job {
        Form form;
        const State* state;
        const SiteProfile* site;
        std::string upstream;
        Deadline deadline;
        std::function<bool()> giveUp; // the client has gone, or the relay is stopping
        bool recordHealth = true;     // canaries record their own outcome
        size_t index() const;
        const RelayConfig& config() const;
    };

    std::shared_ptr<const State> Current() const;
    std::shared_ptr<const State> MakeState(RelayConfig config, const State* previous);
    void Answer(const State& state, Form form, const std::string& target,
                const ServiceRequest& request, ServiceResponse& response, std::string& note);
    /** A search, film page or download of the gateway (the definition sites). */
    void AnswerGateway(const State& state, Form form, const std::string& pathAndQuery,
                       const ServiceRequest& request, ServiceResponse& response, std::string& note);
    void AnswerDownload(const State& state, const ServiceRequest& request,
                        ServiceResponse& response, std::string& note);
    using GiveUp = std::function<bool()>;
    /** Runs work within the answer's deadline, holding none of the answer slots; nullopt, the
     *  response then saying 503, when the relay is stopping. */
    std::optional<Gateway::Reply>
    InTime(const State& state, const ServiceRequest& request, ServiceResponse& response,
           const std::function<Gateway::Reply(Deadline, const GiveUp&)>& work);
    Probe ProbeOn(const State& state, size_t site, const std::string& query);
    /** Every result page of a search (one page otherwise), joined; partial when a later page
     *  failed and the rows are those of the pages before it. */
    RelayFailure ReadPages(const Job& job, ReducedPage& reduced, bool& partial);
    RelayFailure FetchAndReduce(const Job& job, const std::string& upstream, size_t maxFieldBytes,
                                ReducedPage& reduced);
    void RecordHealth(const Job& job, const RelayFailure& failure, bool siteAnswered);
    std::string NextPage(const Job& job, const std::string& current, const std::string& link) const;

    Log log_;
    ReplyCache::Clock cacheClock_;
    std::atomic_bool stopping_{false};
    // Sized by the first configuration: a reload that changes them takes a restart.
    ByteBudget slots_; // XPath answers under way, one unit each
    ByteBudget pages_; // bytes of pages being parsed
    mutable std::mutex stateMutex_;
    std::shared_ptr<const State> state_;         // swapped whole by Reload
    std::unique_ptr<Housekeeping> housekeeping_; // last: stops before what it uses goes away
};
