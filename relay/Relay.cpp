#include "relay/Relay.h"

#include "platform/core/HttpCall.h"
#include "relay/PageReducer.h"

#include <QFile>
#include <QString>
#include <QStringEncoder>

#include <cstdio>
#include <malloc.h>
#include <mutex>
#include <optional>

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
        if (!site.caFile.empty() &&
            !QFile(QString::fromStdString(site.caFile)).open(QIODevice::ReadOnly))
            return at("ca_file") + "cannot read " + site.caFile;
        if (std::string why = CheckExpressions(site.searchRows, site.searchTitle, site.searchPath);
            !why.empty())
            return at("search_rows") + why;
        if (std::string why = CheckExpressions(site.filmRows, site.filmName, site.filmLink);
            !why.empty())
            return at("film_rows") + why;
    }
    return {};
}

Relay::Relay(RelayConfig config, Log log, ReplyCache::Clock cacheClock)
    : config_(std::move(config)), log_(std::move(log)),
      cache_(config_.cacheTime, config_.cacheEntries, config_.cacheBytes, std::move(cacheClock)),
      slots_(size_t(std::max(1, config_.maxConcurrentFetches))),
      pages_(size_t(std::max(1LL, config_.reduceBudgetBytes))),
      housekeeping_([this](const std::stop_token& stop) {
          std::mutex mutex;
          std::unique_lock lock(mutex);
          while (!stop.stop_requested()) {
              tick_.wait_for(lock, stop, 1s, [] { return false; });
              cache_.purgeExpired();
          }
      })
{
    if (!log_) log_ = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    for (size_t i = 0; i < config_.sites.size(); ++i)
        cookies_.push_back(std::make_unique<HttpCookieJar>());
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
    if (path == "/healthz") {
        Plain(response, 200, "ok");
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
    const ByteBudget::Hold slot(slots_, 1, job.deadline, job.giveUp);
    if (!slot) {
        Plain(response, 503, stopping_ ? "shutting down" : "busy");
        if (request.clientGone()) note += " client=gone";
        return;
    }
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
    if (!Fetch(job, admitLarge, page, contentType, response)) {
        if (memory && !*memory) Plain(response, 503, "busy"); // no room for a large page in time
        return;
    }
    if (!memory && !claim(size_t(page.size()))) {
        Plain(response, 503, "busy");
        return;
    }
    ReducedPage reduced;
    const std::string charset = PageCharset(site->charset, contentType, page);
    if (!Reduce(job, std::move(page), charset, reduced, response)) return;
    bool cut = false;
    std::string reply = Normalise(job, reduced, cut);
    reduced = {};
    response.body = Gb18030(std::move(reply));
    response.contentType = "text/plain; charset=GB18030";
    if (cut) note += " truncated";
    if (!cut) cache_.put(key, response.body);
}

bool Relay::Fetch(const Job& job, const std::function<bool()>& admitLarge, QByteArray& page,
                  std::string& contentType, ServiceResponse& response)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        job.deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero()) {
        Plain(response, 504, "upstream too slow");
        return false;
    }
    HttpCall call;
    call.url = QString::fromUtf8(job.upstream);
    call.limits.connect = std::min(config_.connectTimeout, left);
    call.limits.total = std::min(config_.totalTimeout, left);
    call.limits.maxBody = config_.maxPageBytes;
    call.abandoned = job.giveUp;
    call.admitLargeBody = admitLarge;
    call.userAgent = QByteArray::fromStdString(job.site->userAgent);
    call.caFile = QByteArray::fromStdString(job.site->caFile);
    call.cookies = cookies_[size_t(job.site - config_.sites.data())].get();
    // One session per serving thread: its connection to the site stays open between requests.
    thread_local HttpSession session;
    HttpOutcome outcome = PerformHttp(call, &session);
    if (!outcome.completed) {
        if (stopping_) {
            Plain(response, 503, "shutting down");
            return false;
        }
        Plain(response, job.request.clientGone() ? 503 : 502,
              "upstream failed: " + NoBars(outcome.error.toStdString()));
        return false;
    }
    if (outcome.status >= 300 && outcome.status < 400) {
        Plain(response, 403, "forbidden: the site redirects");
        return false;
    }
    if (outcome.status >= 400) {
        Plain(response, 502, "upstream status " + std::to_string(outcome.status));
        return false;
    }
    page = std::move(outcome.body);
    contentType = outcome.contentType.toStdString();
    return true;
}

bool Relay::Reduce(const Job& job, QByteArray page, const std::string& charset,
                   ReducedPage& reduced, ServiceResponse& response)
{
    const bool search = job.form == Form::Search;
    const SiteProfile& site = *job.site;
    const bool large = page.size() > kLargePage;
    reduced = ReducePage(std::move(page), charset, search ? site.searchRows : site.filmRows,
                         search ? site.searchTitle : site.filmName,
                         search ? site.searchPath : site.filmLink, size_t(config_.maxRows));
    if (large) malloc_trim(0); // a large page's tree leaves the heap ragged: give it back
    if (!reduced.ok) {
        Plain(response, 502, "page not understood: " + reduced.error);
        return false;
    }
    return true;
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
