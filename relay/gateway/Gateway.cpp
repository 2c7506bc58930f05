#include "relay/gateway/Gateway.h"

#include "platform/core/HttpCookieJar.h"
#include "relay/PageReducer.h"
#include "relay/RowEncoding.h"
#include "relay/definitions/CompiledDefinition.h"
#include "relay/definitions/HtmlDocument.h"
#include "relay/definitions/PageRows.h"
#include "relay/gateway/DownloadTicket.h"
#include "relay/gateway/SiteLogin.h"
#include "relay/gateway/SiteSession.h"

#include <QString>

#include <cmath>
#include <future>

namespace {

constexpr int kMaxRedirects = 5;
constexpr char kHitPath[] = "/t/"; // "/t/ID/MAC": a hit's film page
/** A byte of the parse budget stands for this much tree (see reduce_budget_bytes). */
constexpr size_t kTreeBytesPerBudgetByte = 25;

double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

bool UsedMostOf(std::chrono::steady_clock::duration allowed,
                std::chrono::steady_clock::duration took)
{
    return took * 4 >= allowed * 3;
}

/** At most this many requests to one site at once: more would read as an attack to its
 *  operators, and many sites limit clients below that anyway. */
constexpr int kSiteWorkers = 8;

struct Gateway::Site {
    explicit Site(std::chrono::milliseconds delay) : queue(delay, kSiteWorkers) {}
    SiteQueue queue;   // the site's requests, its requestDelay apart
    HttpCookieJar jar; // what a public site sets; a cookie login sends its own cookie instead
    /** Its last search ran out of time, and nothing since has shown it answering: searches
     *  wait for it only a short grace after the other sites. */
    std::atomic_bool lagging{false};
    std::atomic_bool trialRunning{false}; // a lagging site's search runs as a trial
    std::mutex trialMutex;
    std::future<SiteRows> trial;          // that search, once it has outlived its grace
    const Gateway* trialOwner = nullptr;  // the gateway whose search the trial runs
    std::unique_ptr<SiteSession> session; // a password login's session
};

Gateway::Reply Gateway::HtmlReply(int status, const std::string& text, const std::string& note)
{
    Reply reply;
    reply.status = status;
    reply.body = ErrorPage(status, text);
    reply.contentType = "text/html; charset=utf-8";
    reply.keep = false;
    reply.note = note;
    return reply;
}

std::string ErrorPage(int status, const std::string& text)
{
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + std::to_string(status) +
           "</title></head>\n<body><p>" +
           QString::fromStdString(text).toHtmlEscaped().toStdString() + "</p></body></html>\n";
}

Gateway::Gateway(const RelayConfig& config, SiteHealth& health, ByteBudget& pages,
                 const std::atomic_bool& stopping, const Gateway* previous,
                 const std::vector<bool>& kept)
    : config_(config), health_(health), pages_(pages), stopping_(stopping)
{
    for (size_t i = 0; i < config.sites.size(); ++i) {
        const SiteProfile& site = config.sites[i];
        const size_t before =
            previous && i < kept.size() && kept[i] ? previous->IndexOf(site.name) : size_t(-1);
        if (before != size_t(-1)) {
            sites_.push_back(previous->sites_[before]);
            // The session is kept too; its logins now run through this gateway, which
            // outlives the one before.
            if (sites_.back()->session)
                sites_.back()->session->Rebind(
                    [this, i](Deadline deadline) { return LogIn(i, deadline); },
                    [this, i](const LoginOutcome& outcome) { RecordLogin(i, outcome); });
            continue;
        }
        const double delay = site.definition ? site.definition->requestDelaySeconds : 0;
        sites_.push_back(
            std::make_shared<Site>(std::chrono::milliseconds(std::llround(delay * 1000))));
        if (site.passwordLogin) {
            const size_t index = sites_.size() - 1;
            sites_.back()->session = std::make_unique<SiteSession>(
                site, config.gateway, sites_.back()->jar,
                [this, index](Deadline deadline) { return LogIn(index, deadline); },
                [this, index](const LoginOutcome& outcome) { RecordLogin(index, outcome); });
        }
    }
    magnets_ =
        previous ? previous->magnets_ : std::make_shared<MagnetFetcher>(config.gateway.magnet);
}

std::string Gateway::BitTorrentJson() const
{
    const MagnetCounters c = magnets_->Counters();
    const std::string& listen = config_.gateway.magnet.listen;
    const std::string address = listen.empty() ? "*" : listen.substr(0, listen.rfind(':'));
    return "{\"listen\":\"" + address + ":" + std::to_string(c.listenPort) +
           "\",\"dht\":" + (config_.gateway.magnet.dht ? "true" : "false") +
           ",\"dht_nodes\":" + std::to_string(c.dhtNodes) +
           ",\"fetches_running\":" + std::to_string(c.fetchesRunning) +
           ",\"fetches_waiting\":" + std::to_string(c.fetchesWaiting) +
           ",\"cache_hits\":" + std::to_string(c.cacheHits) +
           ",\"swarm_fetches\":" + std::to_string(c.swarmFetches) + "}";
}

Gateway::~Gateway()
{
    closing_ = true; // trials still running end within a tick
    // A kept site outlives this gateway: the trial this one started must not outlive it.
    for (const auto& site : sites_) {
        const std::lock_guard lock(site->trialMutex);
        if (site->trialOwner == this && site->trial.valid()) site->trial.wait();
    }
}

size_t Gateway::IndexOf(const std::string& siteName) const
{
    for (size_t i = 0; i < config_.sites.size(); ++i)
        if (config_.sites[i].name == siteName && Serves(i)) return i;
    return size_t(-1);
}

FetchedPage Gateway::Fetch(size_t index, SiteRequest request, bool followRedirects,
                           bool sitePagesOnly, unsigned long long* session)
{
    const SiteProfile& site = config_.sites[index];
    SiteSession* login = sites_[index]->session.get();
    if (!login || !SameSite(site, ParseOrigin(request.url)))
        return FetchPage(index, std::move(request), followRedirects, sitePagesOnly);
    // A password login: the session first, and a new one (once) when the site refuses it.
    unsigned long long unused = 0;
    unsigned long long* const mine = session ? session : &unused;
    unsigned long long& generation = *mine;
    RelayFailure failed = login->Ready(request.deadline, generation);
    if (!failed) {
        FetchedPage page = FetchPage(index, request, followRedirects, sitePagesOnly);
        if (!LooksLoggedOut(site, page)) return page;
        failed = login->Renew(request.deadline, generation);
        if (!failed) return FetchPage(index, std::move(request), followRedirects, sitePagesOnly);
    }
    FetchedPage page;
    page.url = request.url;
    page.failure = failed;
    return page;
}

LoginOutcome Gateway::LogIn(size_t index, Deadline deadline)
{
    SiteLogin login(
        config_.sites[index],
        [this, index](SiteRequest request, bool follow) {
            request.giveUp = [this] { return stopping_.load(); };
            return FetchPage(index, std::move(request), follow, true);
        },
        deadline);
    return login.Run();
}

void Gateway::RecordLogin(size_t index, const LoginOutcome& outcome)
{
    switch (outcome.kind) {
    case LoginOutcome::Kind::LoggedIn:
        health_.RecordLogin(index, true, {});
        break;
    case LoginOutcome::Kind::Refused:
        health_.RecordLogin(index, false, "login failed: " + outcome.reason);
        break;
    case LoginOutcome::Kind::NeedsPerson:
        health_.RecordNeedsLogin(index, outcome.reason);
        break;
    case LoginOutcome::Kind::SiteFault: // the request that needed the login records it
        break;
    }
}

FetchedPage Gateway::FetchPage(size_t index, SiteRequest request, bool followRedirects,
                               bool sitePagesOnly)
{
    const SiteProfile& site = config_.sites[index];
    request.site = &site;
    request.publicOnly = !site.privateBase;
    // The user's cookie goes to the site itself, never to another host a link names.
    if (site.LogsIn()) request.siteHeaders.push_back("Cookie: " + site.cookie);
    for (int hop = 0;; ++hop) {
        const bool own = SameSite(site, ParseOrigin(request.url));
        FetchedPage page;
        page.url = request.url;
        if (sitePagesOnly && !own) {
            page.failure = {403, "forbidden: the site sends the relay elsewhere"};
            return page;
        }
        request.cookies = own && !site.LogsIn() ? &sites_[index]->jar : nullptr;
        // Downloads (anything but a search) never wait behind the site's searches.
        const SiteQueue::Outcome ran = sites_[index]->queue.Run(
            [&] { page = FetchSitePage(request, config_, stopping_); }, request.deadline,
            [&] { return stopping_ || (request.giveUp && request.giveUp()); }, !request.searchForm);
        if (ran == SiteQueue::Outcome::NoTurn)
            page.failure = {504, "no turn for the site before the deadline (its requestDelay)"};
        else if (ran == SiteQueue::Outcome::GaveUp)
            page.failure = {503, stopping_ ? "shutting down" : "the client has gone"};
        if (ran != SiteQueue::Outcome::Done) return page;
        page.url = request.url;
        if (page.status < 300 || page.status >= 400 || !followRedirects) return page;
        if (hop == kMaxRedirects || !IsWebUrl(page.location)) {
            page.failure = {502, "the site redirects too often, or to no web page"};
            return page;
        }
        if (request.method == "POST" && page.status != 307 && page.status != 308) {
            request.method = "GET"; // as browsers do after a form
            request.body.clear();
        }
        request.url = page.location;
    }
}

void Gateway::RecordHealth(size_t index, const FetchedPage& page)
{
    if (page.failure.siteDown)
        health_.RecordFetch(index, false, page.failure.reason);
    else if (page.siteAnswered)
        health_.RecordFetch(index, true, {});
}

bool Gateway::Claim(std::unique_ptr<ByteBudget::Hold>& hold, size_t bytes, Deadline deadline,
                    const GiveUp& giveUp)
{
    // A page's tree costs many times the page: pages are parsed only within the relay's budget.
    if (!hold) hold = std::make_unique<ByteBudget::Hold>(pages_, bytes, deadline, giveUp);
    return bool(*hold);
}

HtmlLimits Gateway::TreeLimits(ByteBudget::Hold& hold, Deadline deadline, bool& noRoom)
{
    // The tree is charged to the budget as it is allocated: a page whose tree outgrows what
    // its claim stands for claims more, or is refused, rather than taking gigabytes.
    HtmlLimits limits;
    limits.treeBytes = hold.bytes() * kTreeBytesPerBudgetByte;
    limits.deadline = deadline;
    limits.grow = [this, &hold, &noRoom](size_t treeBytes) {
        const size_t wanted = treeBytes / kTreeBytesPerBudgetByte + 1;
        if (wanted > pages_.total()) return false;
        // The budget had the room, but others held it.
        noRoom = wanted > hold.bytes() && !hold.Grow(wanted - hold.bytes());
        return !noRoom;
    };
    return limits;
}

RelayFailure Gateway::PageRefused(PageFailure failure, bool noRoom)
{
    switch (failure) {
    case PageFailure::None:
        return {};
    case PageFailure::TooDeep:
        return {502, "page nested too deeply"};
    case PageFailure::TooLarge:
        return noRoom ? RelayFailure{503, "busy"}
                      : RelayFailure{502, "page too large to read: its tree outgrew the "
                                          "relay's budget for parsing"};
    case PageFailure::TimedOut:
        return {504, "the page could not be read before the deadline"};
    case PageFailure::NotUnderstood:
    case PageFailure::SiteError:
    case PageFailure::LoggedOut:
        break;
    }
    return {502, "page not understood"};
}

std::unique_ptr<HtmlDocument> Gateway::Parse(size_t index, const FetchedPage& page,
                                             Deadline deadline, const GiveUp& giveUp,
                                             std::unique_ptr<ByteBudget::Hold>& hold,
                                             RelayFailure& failure)
{
    if (!Claim(hold, size_t(page.body.size()), deadline, giveUp)) {
        failure = {503, "busy"};
        return nullptr;
    }
    const std::string charset =
        PageCharset(config_.sites[index].definition->encoding, page.contentType, page.body);
    bool noRoom = false;
    PageFailure refused = PageFailure::None;
    auto document = ParsePage(page.body, charset, TreeLimits(*hold, deadline, noRoom), refused);
    if (!document) failure = PageRefused(refused, noRoom);
    return document;
}

Gateway::SiteRows Gateway::SearchSite(size_t index, const std::string& keywords, Deadline deadline,
                                      const GiveUp& giveUp, bool probe)
{
    const auto start = std::chrono::steady_clock::now();
    const SiteProfile& site = config_.sites[index];
    SiteRows out;
    out.searched = true;
    if (!probe && !health_.Allow(index)) {
        out.failure = {502, "site " + site.name + " is down; the relay tries it again shortly"};
        return out;
    }
    // No rows, and no error for the other sites (a password login says why itself).
    if (!site.passwordLogin && health_.LoginFailed(index)) return out;
    // Each site has its own deadline: a slow one costs its rows, not the answer.
    const Deadline own = std::min(deadline, start + config_.totalTimeout);
    const TemplateValues values = SearchValues(site, keywords);
    const std::vector<SearchRequest> requests = SearchRequests(site, values);
    for (const SearchRequest& r : requests) { // one request per path, in order
        SiteRequest request;
        request.url = r.url;
        request.method = r.method;
        request.body = r.body;
        request.siteHeaders = r.headers;
        if (r.method == "POST")
            request.headers.push_back("Content-Type: application/x-www-form-urlencoded");
        request.deadline = own;
        request.searchForm = true;
        request.giveUp = giveUp;
        std::unique_ptr<ByteBudget::Hold> hold;
        request.admitLarge = [&] { return Claim(hold, size_t(config_.maxPageBytes), own, giveUp); };
        unsigned long long session = 0;
        FetchedPage page = Fetch(index, request, r.followRedirect, true, &session);
        if (!probe && !giveUp()) RecordHealth(index, page);
        if (page.siteAnswered)
            sites_[index]->lagging =
                UsedMostOf(own - start, std::chrono::steady_clock::now() - start);
        else if (page.failure.status == 504 && !giveUp())
            sites_[index]->lagging = true;
        if (page.failure) {
            out.failure = page.failure;
            break;
        }
        ExtractedRows rows;
        bool loggedOut = false;
        RelayFailure failed =
            ReadRows(index, r.path, page, values, own, giveUp, hold, rows, &loggedOut);
        if (loggedOut) { // the page lacks the login test's mark: a new session, and once more
            failed = sites_[index]->session->Renew(own, session);
            if (!failed) page = Fetch(index, request, r.followRedirect, true, &session);
            if (!failed) failed = page.failure;
            if (!failed) {
                rows = {};
                hold.reset();
                failed = ReadRows(index, r.path, page, values, own, giveUp, hold, rows);
            }
        }
        if (failed) {
            out.failure = failed;
            break;
        }
        out.skipped += rows.skipped;
        for (const auto& row : rows.rows) {
            GatewayHit hit;
            bool badMagnet = false;
            if (HitOf(site, row, hit, badMagnet)) {
                out.magnets += hit.magnet ? 1 : 0;
                out.hits.push_back(std::move(hit));
            } else {
                ++(badMagnet ? out.badMagnets : out.skipped);
            }
        }
    }
    out.ms = MsSince(start);
    if (!probe) health_.RecordSearch(index, out.ms);
    return out;
}

RelayFailure Gateway::ReadRows(size_t index, size_t path, const FetchedPage& page,
                               const TemplateValues& values, Deadline deadline,
                               const GiveUp& giveUp, std::unique_ptr<ByteBudget::Hold>& hold,
                               ExtractedRows& rows, bool* loggedOut)
{
    const CompiledDefinition& d = *config_.sites[index].definition;
    if (!Claim(hold, size_t(page.body.size()), deadline, giveUp)) return {503, "busy"};
    bool noRoom = false;
    PageLimits limits;
    limits.html = TreeLimits(*hold, deadline, noRoom);
    // A node or attribute of both trees takes some 250 to 500 bytes: feeds as sites write
    // them have one in 15 bytes or more, a hostile one in 2.
    limits.xmlNodes = hold->bytes() * kTreeBytesPerBudgetByte / 256;
    const std::string charset = PageCharset(d.encoding, page.contentType, page.body);
    limits.needsLoginMark = loggedOut && config_.sites[index].passwordLogin;
    PageRows read = ::ReadRows(d, path, page.body, charset, page.url, values, limits);
    rows = std::move(read.rows);
    switch (read.failure) {
    case PageFailure::None:
        return {};
    case PageFailure::NotUnderstood:
        return {502, "page not understood: " + read.detail};
    case PageFailure::SiteError: {
        if (!read.messageFromPage) return {502, "the site says: " + read.detail};
        const std::string text = CleanField(read.detail);
        return {502, "the site says: " + (text.empty() ? "an error page" : text.substr(0, 300))};
    }
    case PageFailure::LoggedOut:
        *loggedOut = true;
        return {502, "site " + config_.sites[index].name + ": logged out (the page has no " +
                         d.loginTestSelector + ")"};
    case PageFailure::TooLarge:
        if (d.xml)
            return {502, "page too large to read: more nodes than the relay's budget for "
                         "parsing"};
        break;
    default:
        break;
    }
    return PageRefused(read.failure, noRoom);
}

Gateway::Reply Gateway::Search(const std::string& keywords, Deadline deadline, const GiveUp& giveUp)
{
    std::vector<size_t> served;
    for (size_t i = 0; i < config_.sites.size(); ++i)
        if (Serves(i)) served.push_back(i);
    if (served.empty())
        return HtmlReply(503,
                         "The relay has no site to search yet: put a site's definition (NAME.yml) "
                         "in its definitions folder and reload it.",
                         "sites=0");
    std::vector<SiteRows> rows(served.size());
    if (served.size() == 1) {
        rows[0] = SearchSite(served[0], keywords, deadline, giveUp, false);
    } else {
        SearchAll(served, keywords, deadline, giveUp, rows);
    }
    return SignedHits(served, rows);
}

void Gateway::SearchAll(const std::vector<size_t>& served, const std::string& keywords,
                        Deadline deadline, const GiveUp& giveUp, std::vector<SiteRows>& rows)
{
    // Every site at once, each on a thread of its own within its own deadline. A lagging site
    // (its last search ran out of time) is a trial instead: given only a short grace after the
    // others, then left to finish in the background, where an answer clears it. While one
    // trial of a site runs, searches leave the site out.
    std::vector<std::future<SiteRows>> running(served.size());
    std::vector<bool> trial(served.size(), false);
    for (size_t k = 0; k < served.size(); ++k) {
        const size_t i = served[k];
        Site& site = *sites_[i];
        // A site that has its whole share of requests under way already (slow searches
        // pile up there) is waited for as a lagging one: no search queues behind them.
        if (site.lagging || site.queue.Pending() >= kSiteWorkers) {
            // One trial at a time, whichever search starts it.
            if (site.trialRunning.exchange(true)) {
                rows[k].failure = {504, "site " + config_.sites[i].name +
                                            ": left out while a trial search shows whether it "
                                            "answers again (lagging)"};
                continue;
            }
            trial[k] = true;
            running[k] = std::async(std::launch::async, [this, i, keywords] {
                SiteRows found = SearchSite(
                    i, keywords, std::chrono::steady_clock::now() + config_.totalTimeout,
                    [this] { return closing_ || stopping_; }, false);
                sites_[i]->trialRunning = false;
                return found;
            });
            continue;
        }
        running[k] = std::async(std::launch::async, [this, i, &keywords, deadline, &giveUp] {
            return SearchSite(i, keywords, deadline, giveUp, false);
        });
    }
    for (size_t k = 0; k < running.size(); ++k)
        if (running[k].valid() && !trial[k]) rows[k] = running[k].get();
    const Deadline grace = std::chrono::steady_clock::now() + config_.gateway.laggingGrace;
    for (size_t k = 0; k < running.size(); ++k) {
        if (!trial[k]) continue;
        if (running[k].wait_until(grace) == std::future_status::ready) {
            rows[k] = running[k].get();
            continue;
        }
        Site& site = *sites_[served[k]];
        {
            const std::lock_guard lock(site.trialMutex);
            site.trial = std::move(running[k]); // the one before has ended: nothing waits
            site.trialOwner = this;
        }
        rows[k] = {};
        rows[k].failure = {504, "site " + config_.sites[served[k]].name +
                                    ": no answer within the grace after the other sites "
                                    "(lagging); it is tried on in the background"};
    }
}

Gateway::Reply Gateway::SignedHits(const std::vector<size_t>& served,
                                   const std::vector<SiteRows>& rows) const
{
    Reply reply;
    const RelayFailure* first = nullptr;
    int failed = 0, magnets = 0, badMagnets = 0, skipped = 0;
    std::string text;
    size_t count = 0;
    bool cut = false;
    for (size_t k = 0; k < rows.size(); ++k) {
        const SiteProfile& site = config_.sites[served[k]];
        magnets += rows[k].magnets;
        badMagnets += rows[k].badMagnets;
        skipped += rows[k].skipped;
        if (rows[k].failure) {
            ++failed;
            if (!first) first = &rows[k].failure;
        }
        for (const GatewayHit& hit : rows[k].hits) {
            const auto [id, mac] =
                config_.gateway.key->Sign({site.name, hit.url, hit.details, hit.title, hit.magnet});
            const std::string title =
                CleanField(served.size() > 1 ? "[" + site.name + "] " + hit.title : hit.title);
            std::string line = title;
            line.append("|").append(kHitPath).append(id).append("/").append(mac).append("|");
            if (count == size_t(config_.maxRows) ||
                text.size() + line.size() > size_t(config_.maxReplyBytes)) {
                cut = true; // whole rows only
                break;
            }
            text += line;
            ++count;
        }
    }
    if (first && failed == int(rows.size())) {
        reply.status = first->status;
        reply.body = first->reason + "\n";
        reply.contentType = "text/plain; charset=utf-8";
        reply.keep = false;
    } else {
        reply.body = Gb18030(std::move(text));
        reply.keep = failed == 0 && !cut;
    }
    reply.note = "sites=" + std::to_string(rows.size()) + " failed=" + std::to_string(failed) +
                 " hits=" + std::to_string(count) + " magnets=" + std::to_string(magnets) +
                 " bad_magnets=" + std::to_string(badMagnets) +
                 " skipped=" + std::to_string(skipped) + (cut ? " truncated" : "");
    return reply;
}

Gateway::Reply Gateway::FilmPage(const std::string& path)
{
    const size_t slash = path.find('/', sizeof kHitPath - 1);
    if (path.rfind(kHitPath, 0) != 0 || slash == std::string::npos)
        return HtmlReply(404, "not a hit of this gateway", "refused");
    const std::string id = path.substr(sizeof kHitPath - 1, slash - (sizeof kHitPath - 1));
    const std::string mac = path.substr(slash + 1);
    const auto ticket = config_.gateway.key->Verify(id, mac);
    if (!ticket)
        return HtmlReply(403, "this link was altered, or made by another gateway", "refused");
    if (IndexOf(ticket->site) == size_t(-1))
        return HtmlReply(404, "site " + ticket->site + " is no longer served here", "refused");
    // One torrent: the release itself, named as the site titles it.
    const std::string title = CleanField(ticket->title);
    Reply reply;
    reply.body = Gb18030((title.empty() ? std::string("torrent") : title) + ".torrent|" +
                         "/download.php?action=download&id=" + id + "&uhash=" + mac + "|");
    return reply;
}

Gateway::SiteRows Gateway::Probe(size_t index, const std::string& keywords)
{
    const Deadline deadline = std::chrono::steady_clock::now() + config_.answerTimeout;
    const SiteProfile& site = config_.sites[index];
    if (site.LogsIn()) TestLogin(index, deadline);
    if (SiteSession* session = sites_[index]->session.get()) { // logs in at start
        unsigned long long generation = 0;
        if (RelayFailure failed = session->Ready(deadline, generation)) {
            SiteRows out;
            if (failed.siteDown) out.failure = failed; // else the health says it already
            return out;
        }
    }
    // Only the login was due (no canary is set): nothing to search, unless this is the trial
    // of an open breaker.
    if (keywords.empty() && site.canary.empty() && health_.Allow(index)) return {};
    return SearchSite(
        index, keywords, deadline, [this] { return stopping_.load(); }, true);
}
