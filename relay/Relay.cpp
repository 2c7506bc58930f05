#include "relay/Relay.h"

#include "platform/core/HttpCookieJar.h"
#include "relay/PageReducer.h"
#include "relay/RowEncoding.h"
#include "relay/SiteFetch.h"
#include "relay/gateway/Gateway.h"
#include "serve/ServiceMain.h"
#include "serve/TextHelpers.h"

#include <QString>
#include <QUrl>

#include <cstdio>
#include <malloc.h>
#include <optional>
#include <set>

namespace {

constexpr qsizetype kLargePage = 1 << 20;

void Plain(ServiceResponse& response, int status, const std::string& text)
{
    response.status = status;
    response.body = text + "\n"; // never holds "|": the program reads no hits from it
    response.contentType = "text/plain; charset=utf-8";
}

void Write(Gateway::Reply reply, ServiceResponse& response, std::string& note)
{
    response.status = reply.status;
    response.body = std::move(reply.body);
    response.contentType = reply.contentType;
    if (!reply.keep && reply.status == 200) response.headers["Cache-Control"] = "no-store";
    note += " " + reply.note;
}

std::string QueryEncoded(const std::string& text)
{
    return QUrl::toPercentEncoding(QString::fromStdString(text)).toStdString();
}

} // namespace

struct Relay::State {
    std::shared_ptr<const RelayConfig> config;
    std::shared_ptr<SiteHealth> health;
    std::vector<std::shared_ptr<HttpCookieJar>> cookies; // one per site, as config->sites
    std::unique_ptr<ReplyCache> cache;
    std::unique_ptr<Gateway> gateway; // when the configuration has [gateway]; last

    const SiteProfile* SiteFor(const UrlOrigin& origin) const
    {
        for (const SiteProfile& site : config->sites)
            if (!site.definition && SameSite(site, origin)) return &site;
        return nullptr;
    }
};

size_t Relay::Job::index() const
{
    return size_t(site - state->config->sites.data());
}

const RelayConfig& Relay::Job::config() const
{
    return *state->config;
}

Relay::Relay(RelayConfig config, Log log, ReplyCache::Clock cacheClock)
    : log_(std::move(log)), cacheClock_(std::move(cacheClock)),
      slots_(size_t(std::max(1, config.maxConcurrentFetches))),
      pages_(size_t(std::max(1LL, config.reduceBudgetBytes)))
{
    if (!log_) log_ = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    state_ = MakeState(std::move(config), nullptr);
    // Started last: it uses all of the above.
    housekeeping_ = std::make_unique<Housekeeping>([this] {
        const std::shared_ptr<const State> state = Current();
        Housekeeping::Round round;
        round.config = state->config.get();
        round.health = state->health.get();
        round.search = [this, s = state.get()](size_t site, const std::string& query) {
            const Probe probe = ProbeOn(*s, site, query);
            return Housekeeping::Outcome{probe.status, probe.siteDown, probe.ms, probe.rows.size(),
                                         probe.error};
        };
        round.everySecond = [s = state.get()] { s->cache->purgeExpired(); };
        round.hold = state;
        return round;
    });
}

Relay::~Relay()
{
    housekeeping_.reset(); // before the state it works on
}

std::shared_ptr<const Relay::State> Relay::Current() const
{
    const std::lock_guard lock(stateMutex_);
    return state_;
}

std::shared_ptr<const RelayConfig> Relay::config() const
{
    return Current()->config;
}

size_t Relay::cachedBytes() const
{
    return Current()->cache->bytes();
}

namespace {

/** Equal but for where the keys stood in the file and the definition's parsed form (the
 *  definition file's content is compared instead). */
bool SameSettings(SiteProfile a, SiteProfile b)
{
    a.lines.clear();
    b.lines.clear();
    a.definition.reset();
    b.definition.reset();
    return a == b;
}

} // namespace

std::shared_ptr<const Relay::State> Relay::MakeState(RelayConfig config, const State* previous)
{
    auto state = std::make_shared<State>();
    state->config = std::make_shared<const RelayConfig>(std::move(config));
    const RelayConfig& c = *state->config;
    // A site carries its state over when it was there before with the same settings.
    std::vector<bool> kept(c.sites.size(), false);
    std::vector<std::string> names;
    for (size_t i = 0; i < c.sites.size(); ++i) {
        names.push_back(c.sites[i].name);
        std::shared_ptr<HttpCookieJar> jar;
        if (previous)
            for (size_t j = 0; j < previous->config->sites.size(); ++j)
                if (SameSettings(previous->config->sites[j], c.sites[i])) {
                    kept[i] = true;
                    jar = previous->cookies[j];
                }
        state->cookies.push_back(jar ? jar : std::make_shared<HttpCookieJar>());
    }
    const SiteHealth::Settings settings{c.failAfter, c.retryAfter};
    if (previous)
        state->health = std::make_shared<SiteHealth>(*previous->health, names, kept, settings);
    else
        state->health = std::make_shared<SiteHealth>(
            names, settings, [this](const std::string& line) { log_(line); });
    state->cache =
        std::make_unique<ReplyCache>(c.cacheTime, c.cacheEntries, c.cacheBytes, cacheClock_);
    if (c.gateway.enabled)
        state->gateway =
            std::make_unique<Gateway>(c, *state->health, pages_, stopping_,
                                      previous ? previous->gateway.get() : nullptr, kept);
    return state;
}

std::vector<std::string> Relay::Reload(RelayConfig config)
{
    const std::shared_ptr<const State> before = Current();
    const RelayConfig& was = *before->config;
    std::vector<std::string> restart;
    auto same = [&restart](bool unchanged, const std::string& what) {
        if (!unchanged) restart.push_back(what + " changes only with a restart");
    };
    same(config.listenAddress == was.listenAddress && config.listenPort == was.listenPort,
         "listen");
    same(config.maxConnections == was.maxConnections, "max_connections");
    same(config.maxConnectionsPerClient == was.maxConnectionsPerClient,
         "max_connections_per_client");
    same(config.requestDeadline == was.requestDeadline, "request_deadline_ms");
    same(config.maxConcurrentFetches == was.maxConcurrentFetches, "max_concurrent_fetches");
    same(config.reduceBudgetBytes == was.reduceBudgetBytes, "reduce_budget_bytes");
    if (before->gateway && config.gateway.enabled)
        same(config.gateway.magnet == was.gateway.magnet &&
                 config.gateway.stateDir == was.gateway.stateDir,
             "the gateway's BitTorrent side (bt_listen, dht, magnet keys, state_dir)");
    if (before->gateway && config.gateway.enabled)
        same(config.gateway.loginRetry == was.gateway.loginRetry, "login_retry_seconds");
    std::shared_ptr<const State> next = MakeState(std::move(config), before.get());
    {
        const std::lock_guard lock(stateMutex_);
        state_ = std::move(next);
    }
    return restart;
}

HttpService::Options Relay::ServiceOptions() const
{
    const std::shared_ptr<const RelayConfig> config = Current()->config;
    HttpService::Options options;
    options.address = config->listenAddress;
    options.port = config->listenPort;
    options.maxConnections = config->maxConnections;
    options.maxConnectionsPerClient = config->maxConnectionsPerClient;
    options.requestDeadline = config->requestDeadline;
    return options;
}

void Relay::Handle(const ServiceRequest& request, ServiceResponse& response)
{
    const auto start = std::chrono::steady_clock::now();
    const std::shared_ptr<const State> held = Current(); // this request's, to its end
    const State& state = *held;
    Gateway* const gateway = state.gateway.get();
    std::string note = "-";
    const std::string& target = request.target;
    const std::string path = target.substr(0, target.find('?'));
    if (path == "/livez") {
        // This process answers: for a balancer's checks, which must not depend on the sites.
        Plain(response, 200, "ok");
    } else if (path == "/healthz") {
        bool allOk = true;
        response.body = state.health->Json(allOk);
        if (const size_t end = response.body.rfind('}'); gateway && end != std::string::npos)
            response.body.insert(end, ",\"bittorrent\":" + gateway->BitTorrentJson());
        response.status = allOk ? 200 : 503;
        response.contentType = "application/json";
    } else if (gateway && request.method == "POST" && path == "/download.php") {
        AnswerDownload(state, request, response, note);
    } else if (request.method != "GET" ||
               (path != "/moviejk/Find.php" && path != "/moviejk/Down.php")) {
        Plain(response, 404, "not found");
    } else {
        const size_t query = target.find('?');
        const size_t url =
            query == std::string::npos ? std::string::npos : target.find("url=", query);
        if (url == std::string::npos)
            Plain(response, 400, "missing url=");
        else
            Answer(state, path == "/moviejk/Find.php" ? Form::Search : Form::Film,
                   target.substr(url + 4), request, response, note);
    }
    const std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - start;
    log_(AccessLogLine(request, response, ms.count(), note));
}

void Relay::Answer(const State& state, Form form, const std::string& target,
                   const ServiceRequest& request, ServiceResponse& response, std::string& note)
{
    const RelayConfig& config = *state.config;
    const UrlOrigin origin = ParseOrigin(target);
    const UrlOrigin& gateway = config.gateway.origin;
    if (state.gateway && origin.ok && origin.scheme == gateway.scheme &&
        origin.host == gateway.host && origin.port == gateway.port) {
        AnswerGateway(state, form, origin.pathAndQuery, request, response, note);
        return;
    }
    const SiteProfile* site = state.SiteFor(origin);
    if (!site) {
        Plain(response, 403, "forbidden: not a configured site");
        return;
    }
    // Rebuilt from the checked parts, so the fetch goes exactly where the check looked.
    const Job job{form,
                  &state,
                  site,
                  site->base + origin.pathAndQuery,
                  std::chrono::steady_clock::now() + config.answerTimeout,
                  [this, &request] { return stopping_.load() || request.clientGone(); }};
    const std::string key = (form == Form::Search ? "S " : "F ") + job.upstream;
    if (auto cached = state.cache->get(key)) {
        note = "cache=hit";
        response.body = std::move(*cached);
        response.contentType = "text/plain; charset=GB18030";
        return;
    }
    note = "cache=miss";
    if (!state.health->Allow(job.index())) {
        // An answer about the site, not about this relay: 502, which a front does not pass
        // to the next relay.
        Plain(response, 502, "site " + site->name + " is down; the relay tries it again shortly");
        note += " breaker=open";
        return;
    }
    const ByteBudget::Hold slot(slots_, 1, job.deadline, job.giveUp);
    if (!slot) {
        Plain(response, 503, stopping_ ? "shutting down" : "busy");
        if (request.clientGone()) note += " client=gone";
        return;
    }
    ReducedPage reduced;
    bool partial = false;
    const auto fetchStart = std::chrono::steady_clock::now();
    const RelayFailure failed = ReadPages(job, reduced, partial);
    if (form == Form::Search)
        state.health->RecordSearch(job.index(), std::chrono::duration<double, std::milli>(
                                                    std::chrono::steady_clock::now() - fetchStart)
                                                    .count());
    if (failed) {
        Plain(response, failed.status, failed.reason);
        return;
    }
    bool cut = reduced.truncated;
    std::string reply =
        EncodeRows(reduced.rows, form == Form::Search, *site, size_t(config.maxReplyBytes), cut);
    reduced = {};
    response.status = 200;
    response.body = Gb18030(std::move(reply));
    response.contentType = "text/plain; charset=GB18030";
    if (cut) note += " truncated";
    if (partial) note += " partial";
    if (cut || partial)
        response.headers["Cache-Control"] = "no-store"; // nor may a front keep it
    else
        state.cache->put(key, response.body);
}

void Relay::AnswerGateway(const State& state, Form form, const std::string& pathAndQuery,
                          const ServiceRequest& request, ServiceResponse& response,
                          std::string& note)
{
    Gateway& gateway = *state.gateway;
    note = "gateway";
    const std::string path = pathAndQuery.substr(0, pathAndQuery.find('?'));
    if (form == Form::Film) { // no fetch: the hit's path holds all the page says
        Write(gateway.FilmPage(path), response, note);
        return;
    }
    if (path != "/s.php" || pathAndQuery.find("?q=") == std::string::npos) {
        Plain(response, 404, "not found: the gateway searches with /s.php?q=");
        return;
    }
    // Everything after "q=", as the program sends it: "&" typed in a name stays in the name.
    const std::string keywords = PercentDecode(pathAndQuery.substr(pathAndQuery.find("?q=") + 3));
    const std::string key = "G " + keywords;
    if (auto cached = state.cache->get(key)) {
        note += " cache=hit";
        response.body = std::move(*cached);
        response.contentType = "text/plain; charset=GB18030";
        return;
    }
    auto reply = InTime(state, request, response, [&](Deadline deadline, const GiveUp& giveUp) {
        return gateway.Search(keywords, deadline, giveUp);
    });
    if (!reply) return;
    if (reply->status == 200 && reply->keep) state.cache->put(key, reply->body);
    Write(std::move(*reply), response, note);
}

void Relay::AnswerDownload(const State& state, const ServiceRequest& request,
                           ServiceResponse& response, std::string& note)
{
    note = "gateway";
    auto reply = InTime(state, request, response, [&](Deadline deadline, const GiveUp& giveUp) {
        return state.gateway->Download(request.body, deadline, giveUp);
    });
    if (reply) Write(std::move(*reply), response, note);
}

std::optional<Gateway::Reply>
Relay::InTime(const State& state, const ServiceRequest& request, ServiceResponse& response,
              const std::function<Gateway::Reply(Deadline, const GiveUp&)>& work)
{
    // No answer slot: a gateway answer mostly waits on sites, and one slow site would hold every
    // slot. Each site's queue bounds the requests to it, the page budget the parsing.
    const Deadline deadline = std::chrono::steady_clock::now() + state.config->answerTimeout;
    const GiveUp giveUp = [this, &request] { return stopping_.load() || request.clientGone(); };
    std::optional<Gateway::Reply> reply;
    if (!stopping_) reply = work(deadline, giveUp);
    if (!reply || stopping_) { // a shutdown that began meanwhile is said as such
        Plain(response, 503, stopping_ ? "shutting down" : "busy");
        return std::nullopt;
    }
    return reply;
}

RelayFailure Relay::ReadPages(const Job& job, ReducedPage& reduced, bool& partial)
{
    // A search may run over several result pages of the same site, joined in order; no page is
    // fetched twice in one answer, so next-page links that loop end the walk.
    const SiteProfile& site = *job.site;
    const int pages = job.form == Form::Search && !site.searchNext.empty() ? site.searchPages : 1;
    std::string upstream = job.upstream;
    std::set<std::string> fetched;
    size_t fieldBytes = 0;
    for (int n = 0; n < pages && !upstream.empty() && !reduced.truncated; ++n) {
        fetched.insert(upstream);
        ReducedPage part;
        const size_t room = size_t(job.config().maxReplyBytes) - fieldBytes;
        if (RelayFailure failed = FetchAndReduce(job, upstream, room, part)) {
            if (n == 0) return failed;
            partial = true; // the pages already read are answered, marked as not to be kept
            return {};
        }
        fieldBytes = std::min(fieldBytes + part.fieldBytes, size_t(job.config().maxReplyBytes));
        const size_t rowRoom = size_t(job.config().maxRows) -
                               std::min(reduced.rows.size(), size_t(job.config().maxRows));
        reduced.truncated = reduced.truncated || part.truncated || part.rows.size() > rowRoom;
        part.rows.resize(std::min(part.rows.size(), rowRoom));
        reduced.rows.insert(reduced.rows.end(), std::make_move_iterator(part.rows.begin()),
                            std::make_move_iterator(part.rows.end()));
        upstream = n + 1 < pages ? NextPage(job, upstream, part.next) : std::string();
        if (fetched.count(upstream)) upstream.clear();
    }
    return {};
}

RelayFailure Relay::FetchAndReduce(const Job& job, const std::string& upstream,
                                   size_t maxFieldBytes, ReducedPage& reduced)
{
    // A page's tree takes many times the page's size: only so many bytes of pages are held
    // and parsed at once, however many answers are under way. A large page claims the whole
    // cap as soon as it shows itself large, before its body is held, so that large pages do
    // not pile up while they wait.
    std::optional<ByteBudget::Hold> memory;
    auto claim = [&](size_t bytes) {
        memory.emplace(pages_, bytes, job.deadline, job.giveUp);
        return bool(*memory);
    };
    SiteRequest request;
    request.site = job.site;
    request.url = upstream;
    request.deadline = job.deadline;
    request.searchForm = job.form == Form::Search;
    request.giveUp = job.giveUp;
    request.admitLarge = [&] { return claim(size_t(job.config().maxPageBytes)); };
    request.cookies = job.state->cookies[job.index()].get();
    FetchedPage page = FetchSitePage(request, job.config(), stopping_);
    RecordHealth(job, page.failure, page.siteAnswered);
    if (page.failure) {
        if (memory && !*memory) return {503, "busy"}; // no room for a large page in time
        return page.failure;
    }
    if (!memory && !claim(size_t(page.body.size()))) return {503, "busy"};
    const std::string charset = PageCharset(job.site->charset, page.contentType, page.body);
    // The fields a page gives are text of that page: more than twice its size (charset
    // widening included) only comes of rows nested in rows repeating the same text. Held
    // that way, they stay within what the page's claim on the budget stands for.
    const size_t fieldCap = std::min(maxFieldBytes, size_t(page.body.size()) * 2 + (64 << 10));
    const bool search = job.form == Form::Search;
    const SiteProfile& site = *job.site;
    const bool large = page.body.size() > kLargePage;
    reduced = ReducePage(std::move(page.body), charset, search ? site.searchRows : site.filmRows,
                         search ? site.searchTitle : site.filmName,
                         search ? site.searchPath : site.filmLink, size_t(job.config().maxRows),
                         search ? site.searchNext : std::string(), fieldCap);
    if (large) malloc_trim(0); // a large page's tree leaves the heap ragged: give it back
    if (!reduced.ok) return {502, "page not understood: " + reduced.error};
    return {};
}

std::string Relay::NextPage(const Job& job, const std::string& current,
                            const std::string& link) const
{
    if (link.empty()) return {};
    const QUrl next =
        QUrl(QString::fromStdString(current)).resolved(QUrl(QString::fromStdString(link)));
    const UrlOrigin origin = ParseOrigin(next.toString(QUrl::FullyEncoded).toStdString());
    if (!SameSite(*job.site, origin)) return {}; // only pages of the same site are followed
    return job.site->base + origin.pathAndQuery;
}

void Relay::RecordHealth(const Job& job, const RelayFailure& failure, bool siteAnswered)
{
    // Only what shows the site up or down counts: not a page over the cap, not the relay's
    // own deadline, not a client that left, not a film page that fails (any client can ask
    // for a path that does).
    if (!job.recordHealth || job.giveUp()) return;
    if (failure.siteDown)
        job.state->health->RecordFetch(job.index(), false, failure.reason);
    else if (siteAnswered)
        job.state->health->RecordFetch(job.index(), true, {});
}

Relay::Probe Relay::ProbeSearch(size_t site, const std::string& query)
{
    return ProbeOn(*Current(), site, query);
}

Relay::Probe Relay::ProbeOn(const State& state, size_t site, const std::string& query)
{
    const SiteProfile& profile = state.config->sites.at(site);
    if (state.gateway && state.gateway->Serves(site)) {
        const Gateway::SiteRows rows = state.gateway->Probe(site, query);
        Probe probe;
        probe.status = rows.failure ? rows.failure.status : rows.searched ? 200 : 0;
        probe.siteDown = rows.failure.siteDown;
        probe.error = rows.failure.reason;
        probe.ms = rows.ms;
        for (const GatewayHit& hit : rows.hits)
            probe.rows.emplace_back(hit.title, hit.url);
        return probe;
    }
    const Job job{Form::Search,
                  &state,
                  &profile,
                  profile.base + profile.searchForm + QueryEncoded(query),
                  std::chrono::steady_clock::now() + state.config->answerTimeout,
                  [this] { return stopping_.load(); },
                  false};
    Probe probe;
    const auto start = std::chrono::steady_clock::now();
    ReducedPage reduced;
    const RelayFailure failed =
        FetchAndReduce(job, job.upstream, size_t(state.config->maxReplyBytes), reduced);
    probe.ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (failed) {
        probe.status = failed.status;
        probe.error = failed.reason;
        probe.siteDown = failed.siteDown;
        return probe;
    }
    probe.status = 200;
    for (auto& row : reduced.rows)
        if (!row.first.empty() && !row.second.empty()) probe.rows.push_back(std::move(row));
    return probe;
}
