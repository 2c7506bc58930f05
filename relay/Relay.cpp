#include "relay/Relay.h"

#include "platform/core/HttpCall.h"
#include "platform/core/HttpCookieJar.h"
#include "relay/PageReducer.h"

#include <QFile>
#include <QString>
#include <QStringEncoder>
#include <QUrl>

#include <cstdio>
#include <malloc.h>
#include <mutex>
#include <optional>
#include <set>

using namespace std::chrono_literals;

namespace {

constexpr qsizetype kLargePage = 1 << 20;

void Plain(ServiceResponse& response, int status, const std::string& text)
{
    response.status = status;
    response.body = text + "\n"; // never holds "|": the program reads no hits from it
    response.contentType = "text/plain; charset=utf-8";
}

std::string Gb18030(std::string utf8)
{
    thread_local QStringEncoder encoder("GB18030"); // opening the converter costs more than a reply
    QString text = QString::fromUtf8(utf8);
    std::string().swap(utf8);
    const QByteArray bytes = encoder.encode(text);
    text = QString();
    return std::string(bytes.constData(), size_t(bytes.size()));
}

std::string NoBars(std::string text)
{
    for (char& c : text)
        if (c == '|') c = '/';
    return text;
}

/** The length a DER value announces in its header, header included; 0 when malformed. */
qsizetype DerLength(const QByteArray& der)
{
    if (der.size() < 2 || uchar(der[0]) != 0x30) return 0; // a certificate is a SEQUENCE
    const auto first = uchar(der[1]);
    if (first < 0x80) return 2 + first;
    const int bytes = first & 0x7F;
    if (bytes == 0 || bytes > 4 || der.size() < 2 + bytes) return 0;
    qsizetype length = 0;
    for (int i = 0; i < bytes; ++i)
        length = length * 256 + uchar(der[2 + i]);
    return 2 + bytes + length;
}

/** Empty when path holds at least one PEM certificate and nothing malformed between the
 *  markers; else why not. */
std::string CheckCaBundle(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    constexpr qint64 kMaxBundle = 16 << 20;
    if (!file.open(QIODevice::ReadOnly)) return "cannot read " + path;
    const QByteArray text = file.read(kMaxBundle + 1);
    if (text.size() > kMaxBundle) return path + " is too large for a CA bundle";
    const QByteArray begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    int certificates = 0;
    for (qsizetype at = text.indexOf(begin); at >= 0; at = text.indexOf(begin, at + 1)) {
        const qsizetype stop = text.indexOf(end, at);
        if (stop < 0) return path + ": a certificate has no end marker";
        const auto der = QByteArray::fromBase64Encoding(
            text.mid(at + begin.size(), stop - at - begin.size()).simplified().replace(' ', ""),
            QByteArray::AbortOnBase64DecodingErrors);
        if (!der || DerLength(*der) != (*der).size())
            return path + ": certificate " + std::to_string(certificates + 1) + " is malformed";
        ++certificates;
    }
    return certificates ? std::string() : path + " holds no PEM certificate";
}

} // namespace

std::string CheckRelayConfig(const RelayConfig& config)
{
    for (const SiteProfile& site : config.sites) {
        const auto at = [&site](const char* key) {
            const auto it = site.lines.find(key);
            return std::to_string(it == site.lines.end() ? 0 : it->second) + ": site " + site.name +
                   ": ";
        };
        if (site.charset != "auto" && !KnownCharset(site.charset))
            return at("charset") + "unknown charset " + site.charset;
        if (!site.caFile.empty())
            if (std::string why = CheckCaBundle(site.caFile); !why.empty())
                return at("ca_file") + why;
        if (std::string why = CheckExpressions(site.searchRows, site.searchTitle, site.searchPath);
            !why.empty())
            return at("search_rows") + why;
        if (!site.searchNext.empty())
            if (std::string why = CheckExpressions(site.searchRows, site.searchNext, {});
                !why.empty())
                return at("search_next") + why;
        if (std::string why = CheckExpressions(site.filmRows, site.filmName, site.filmLink);
            !why.empty())
            return at("film_rows") + why;
    }
    return {};
}

namespace {

std::vector<std::string> SiteNames(const RelayConfig& config)
{
    std::vector<std::string> names;
    for (const SiteProfile& site : config.sites)
        names.push_back(site.name);
    return names;
}

std::string QueryEncoded(const std::string& text)
{
    return QUrl::toPercentEncoding(QString::fromStdString(text)).toStdString();
}

} // namespace

Relay::Relay(RelayConfig config, Log log, ReplyCache::Clock cacheClock)
    : config_(std::move(config)), log_(std::move(log)),
      cache_(config_.cacheTime, config_.cacheEntries, config_.cacheBytes, std::move(cacheClock)),
      health_(SiteNames(config_), {config_.failAfter, config_.retryAfter},
              [this](const std::string& line) { log_(line); }),
      canaryDue_(config_.sites.size(), std::chrono::steady_clock::now()),
      slots_(size_t(std::max(1, config_.maxConcurrentFetches))),
      pages_(size_t(std::max(1LL, config_.reduceBudgetBytes)))
{
    if (!log_) log_ = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    for (size_t i = 0; i < config_.sites.size(); ++i)
        cookies_.push_back(std::make_unique<HttpCookieJar>());
    // Started last: it uses all of the above.
    housekeeping_ = std::jthread([this](const std::stop_token& stop) {
        std::unique_lock lock(tickMutex_); // only for the timed wait: nothing else takes it
        while (!stop.stop_requested()) {
            RunCanaries();
            tick_.wait_for(lock, stop, 1s, [] { return false; });
            cache_.purgeExpired();
        }
    });
}

Relay::~Relay() = default;

HttpService::Options Relay::ServiceOptions() const
{
    HttpService::Options options;
    options.address = config_.listenAddress;
    options.port = config_.listenPort;
    options.maxConnections = config_.maxConnections;
    options.maxConnectionsPerClient = config_.maxConnectionsPerClient;
    options.requestDeadline = config_.requestDeadline;
    return options;
}

const SiteProfile* Relay::SiteFor(const UrlOrigin& origin) const
{
    if (!origin.ok) return nullptr;
    for (const SiteProfile& site : config_.sites)
        if (site.scheme == origin.scheme && site.host == origin.host && site.port == origin.port)
            return &site;
    return nullptr;
}

void Relay::Handle(const ServiceRequest& request, ServiceResponse& response)
{
    const auto start = std::chrono::steady_clock::now();
    std::string note = "-";
    const std::string& target = request.target;
    const std::string path = target.substr(0, target.find('?'));
    if (path == "/livez") {
        // This process answers: for a balancer's checks, which must not depend on the sites.
        Plain(response, 200, "ok");
    } else if (path == "/healthz") {
        bool allOk = true;
        response.body = health_.Json(allOk);
        response.status = allOk ? 200 : 503;
        response.contentType = "application/json";
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
            Answer(path == "/moviejk/Find.php" ? Form::Search : Form::Film, target.substr(url + 4),
                   request, response, note);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    char line[160];
    std::snprintf(line, sizeof line, " %d %zu %.1fms %s", response.status, response.body.size(), ms,
                  note.c_str());
    log_(request.remote + " \"" + LogSafe(request.method) + " " + LogSafe(target) + "\"" + line);
}

void Relay::Answer(Form form, const std::string& target, const ServiceRequest& request,
                   ServiceResponse& response, std::string& note)
{
    const UrlOrigin origin = ParseOrigin(target);
    const SiteProfile* site = SiteFor(origin);
    if (!site) {
        Plain(response, 403, "forbidden: not a configured site");
        return;
    }
    // Rebuilt from the checked parts, so the fetch goes exactly where the check looked.
    const Job job{form,
                  site,
                  site->base + origin.pathAndQuery,
                  std::chrono::steady_clock::now() + config_.answerTimeout,
                  request,
                  [this, &request] { return stopping_.load() || request.clientGone(); }};
    const std::string key = (form == Form::Search ? "S " : "F ") + job.upstream;
    if (auto cached = cache_.get(key)) {
        note = "cache=hit";
        response.body = std::move(*cached);
        response.contentType = "text/plain; charset=GB18030";
        return;
    }
    note = "cache=miss";
    if (!health_.Allow(job.index(config_))) {
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
    // A search may run over several result pages of the same site, joined in order; no page is
    // fetched twice in one answer, so next-page links that loop end the walk.
    std::string upstream = job.upstream;
    std::set<std::string> fetched;
    const int pages = form == Form::Search && !site->searchNext.empty() ? site->searchPages : 1;
    size_t fieldBytes = 0;
    bool partial = false;
    for (int n = 0; n < pages && !upstream.empty() && !reduced.truncated; ++n) {
        fetched.insert(upstream);
        ReducedPage part;
        const size_t room = size_t(config_.maxReplyBytes) - fieldBytes;
        if (const Failure failed = FetchAndReduce(job, upstream, room, part)) {
            if (n == 0) {
                Plain(response, failed.status, failed.reason);
                return;
            }
            partial = true; // the pages already read are answered, marked as not to be kept
            note += " partial=" + std::to_string(failed.status);
            break;
        }
        fieldBytes = std::min(fieldBytes + part.fieldBytes, size_t(config_.maxReplyBytes));
        const size_t rowRoom =
            size_t(config_.maxRows) - std::min(reduced.rows.size(), size_t(config_.maxRows));
        reduced.truncated = reduced.truncated || part.truncated || part.rows.size() > rowRoom;
        part.rows.resize(std::min(part.rows.size(), rowRoom));
        reduced.rows.insert(reduced.rows.end(), std::make_move_iterator(part.rows.begin()),
                            std::make_move_iterator(part.rows.end()));
        upstream = n + 1 < pages ? NextPage(job, upstream, part.next) : std::string();
        if (fetched.count(upstream)) upstream.clear();
    }
    bool cut = false;
    std::string reply = Normalise(job, reduced, cut);
    reduced = {};
    response.status = 200;
    response.body = Gb18030(std::move(reply));
    response.contentType = "text/plain; charset=GB18030";
    if (cut) note += " truncated";
    if (cut || partial)
        response.headers["Cache-Control"] = "no-store"; // nor may a front keep it
    else
        cache_.put(key, response.body);
}

Relay::Failure Relay::FetchAndReduce(const Job& job, const std::string& upstream,
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
    QByteArray page;
    std::string contentType;
    const auto admitLarge = [&] { return claim(size_t(config_.maxPageBytes)); };
    if (Failure failed = Fetch(job, upstream, admitLarge, page, contentType)) {
        if (memory && !*memory) return {503, "busy"}; // no room for a large page in time
        return failed;
    }
    if (!memory && !claim(size_t(page.size()))) return {503, "busy"};
    const std::string charset = PageCharset(job.site->charset, contentType, page);
    // The fields a page gives are text of that page: more than twice its size (charset
    // widening included) only comes of rows nested in rows repeating the same text. Held
    // that way, they stay within what the page's claim on the budget stands for.
    const size_t fieldCap = std::min(maxFieldBytes, size_t(page.size()) * 2 + (64 << 10));
    return Reduce(job, std::move(page), charset, fieldCap, reduced);
}

std::string Relay::NextPage(const Job& job, const std::string& current,
                            const std::string& link) const
{
    if (link.empty()) return {};
    const QUrl next =
        QUrl(QString::fromStdString(current)).resolved(QUrl(QString::fromStdString(link)));
    const UrlOrigin origin = ParseOrigin(next.toString(QUrl::FullyEncoded).toStdString());
    if (SiteFor(origin) != job.site) return {}; // only pages of the same site are followed
    return job.site->base + origin.pathAndQuery;
}

void Relay::RecordHealth(const Job& job, const Failure& failure, bool siteAnswered)
{
    // Only what shows the site up or down counts: not a page over the cap, not the relay's
    // own deadline, not a client that left, not a film page that fails (any client can ask
    // for a path that does).
    if (!job.recordHealth || job.giveUp()) return;
    if (failure.siteDown)
        health_.RecordFetch(job.index(config_), false, failure.reason);
    else if (siteAnswered)
        health_.RecordFetch(job.index(config_), true, {});
}

Relay::Failure Relay::Fetch(const Job& job, const std::string& upstream,
                            const std::function<bool()>& admitLarge, QByteArray& page,
                            std::string& contentType)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        job.deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero()) return {504, "no time left for the site"};
    HttpCall call;
    call.url = QString::fromUtf8(upstream);
    call.limits.connect = std::min(config_.connectTimeout, left);
    call.limits.total = std::min(config_.totalTimeout, left);
    call.limits.maxBody = config_.maxPageBytes;
    call.abandoned = job.giveUp;
    call.admitLargeBody = admitLarge;
    call.userAgent = QByteArray::fromStdString(job.site->userAgent);
    call.caFile = QByteArray::fromStdString(job.site->caFile);
    call.cookies = cookies_[job.index(config_)].get();
    // One session per serving thread: its connection to the site stays open between requests.
    thread_local HttpSession session;
    HttpOutcome outcome = PerformHttp(call, &session);
    const bool siteLimits = left >= config_.totalTimeout; // not cut short by the answer's deadline
    Failure failed;
    if (!outcome.completed) {
        const std::string why = NoBars(outcome.error.toStdString());
        switch (outcome.failure) {
        case HttpFailure::Abandoned:
            failed = {503, stopping_ ? "shutting down" : "the client has gone"};
            break;
        case HttpFailure::TimedOut:
            failed = {504, "the site did not answer in time: " + why, siteLimits};
            break;
        case HttpFailure::TooLarge:
            failed = {502, "the page is too large (over max_page_bytes)"};
            break;
        case HttpFailure::Refused:
            failed = {503, "busy"};
            break;
        default:
            failed = {502, "could not reach the site: " + why,
                      outcome.failure == HttpFailure::Unreachable};
            break;
        }
        if (stopping_) failed = {503, "shutting down"};
    } else if (outcome.status >= 300 && outcome.status < 400) {
        failed = {403, "forbidden: the site redirects"};
    } else if (outcome.status >= 400 && outcome.status < 500) {
        // The site's own answer about this page, passed on: the program lists no hits.
        failed = {int(outcome.status), "the site answered " + std::to_string(outcome.status)};
    } else if (outcome.status >= 500 || outcome.status < 200) {
        failed = {502, "the site answered " + std::to_string(outcome.status),
                  job.form == Form::Search};
    }
    RecordHealth(job, failed, outcome.completed && outcome.status < 500);
    if (failed) return failed;
    page = std::move(outcome.body);
    contentType = outcome.contentType.toStdString();
    return {};
}

Relay::Failure Relay::Reduce(const Job& job, QByteArray page, const std::string& charset,
                             size_t maxFieldBytes, ReducedPage& reduced)
{
    const bool search = job.form == Form::Search;
    const SiteProfile& site = *job.site;
    const bool large = page.size() > kLargePage;
    reduced = ReducePage(std::move(page), charset, search ? site.searchRows : site.filmRows,
                         search ? site.searchTitle : site.filmName,
                         search ? site.searchPath : site.filmLink, size_t(config_.maxRows),
                         search ? site.searchNext : std::string(), maxFieldBytes);
    if (large) malloc_trim(0); // a large page's tree leaves the heap ragged: give it back
    if (!reduced.ok) return {502, "page not understood: " + reduced.error};
    return {};
}

std::string Relay::Normalise(const Job& job, const ReducedPage& reduced, bool& cut) const
{
    cut = reduced.truncated;
    std::string reply;
    for (auto [first, second] : reduced.rows) {
        if (first.empty() || second.empty()) continue; // a row without both fields is no hit
        if (job.form == Form::Search) {
            // The path relative to the site's base URL.
            if (second.rfind("http://", 0) == 0 || second.rfind("https://", 0) == 0) {
                const UrlOrigin link = ParseOrigin(second);
                if (SiteFor(link) != job.site) continue;
                second = link.pathAndQuery;
            } else if (second.rfind("//", 0) == 0) {
                continue;
            } else if (second[0] != '/') {
                second.insert(0, 1, '/');
            }
        }
        if (reply.size() + first.size() + second.size() + 2 > size_t(config_.maxReplyBytes)) {
            cut = true; // whole rows only: the program must never read half a pair
            break;
        }
        reply.append(first).append(1, '|').append(second).append(1, '|');
    }
    return reply;
}

Relay::Probe Relay::ProbeSearch(size_t site, const std::string& query)
{
    const SiteProfile& profile = config_.sites.at(site);
    const ServiceRequest nobody; // the relay asks for itself: no client to lose
    const Job job{Form::Search,
                  &profile,
                  profile.base + "/s.php?q=" + QueryEncoded(query),
                  std::chrono::steady_clock::now() + config_.answerTimeout,
                  nobody,
                  [this] { return stopping_.load(); },
                  false};
    Probe probe;
    const auto start = std::chrono::steady_clock::now();
    ReducedPage reduced;
    const Failure failed =
        FetchAndReduce(job, job.upstream, size_t(config_.maxReplyBytes), reduced);
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

void Relay::RunCanaries()
{
    for (size_t i = 0; i < config_.sites.size() && !stopping_; ++i) {
        const SiteProfile& site = config_.sites[i];
        const auto now = std::chrono::steady_clock::now();
        // A site whose breaker is open is tried by the relay itself once its wait is over,
        // never by a client's request: nobody else can take the trial or time it.
        const bool trial = health_.TrialDue(i);
        if (!trial && (site.canary.empty() || now < canaryDue_[i])) continue;
        if (!site.canary.empty()) canaryDue_[i] = now + std::chrono::seconds(site.canarySeconds);
        const Probe probe = ProbeSearch(i, site.canary);
        if (probe.status == 503) continue; // the relay was busy or stopping: nothing learnt
        health_.RecordCanary(i, !probe.siteDown, probe.status, probe.ms, probe.rows.size(),
                             probe.error);
    }
}
