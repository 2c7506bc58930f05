#include "relay/Relay.h"

#include "platform/core/HttpCall.h"
#include "relay/PageReducer.h"

#include <QString>
#include <QStringEncoder>

#include <chrono>
#include <cstdio>

namespace {

void Plain(ServiceResponse& response, int status, const std::string& text)
{
    response.status = status;
    response.body = text + "\n"; // never holds "|": the program reads no hits from it
    response.contentType = "text/plain; charset=utf-8";
}

std::string Gb18030(const std::string& utf8)
{
    thread_local QStringEncoder encoder("GB18030"); // opening the converter costs more than a reply
    const QByteArray bytes = encoder.encode(QString::fromUtf8(utf8));
    return bytes.toStdString();
}

std::string NoBars(std::string text)
{
    for (char& c : text)
        if (c == '|') c = '/';
    return text;
}

} // namespace

Relay::Relay(RelayConfig config, Log log)
    : config_(std::move(config)), log_(std::move(log)),
      cache_(config_.cacheTime, config_.cacheEntries),
      fetches_(std::max(1, config_.maxConcurrentFetches))
{
    if (!log_) log_ = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
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
                   response, note);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    char line[160];
    std::snprintf(line, sizeof line, " %d %zu %.1fms %s", response.status, response.body.size(), ms,
                  note.c_str());
    log_(request.remote + " \"" + request.method + " " + target + "\"" + line);
}

void Relay::Answer(Form form, const std::string& target, ServiceResponse& response,
                   std::string& note)
{
    const UrlOrigin origin = ParseOrigin(target);
    const SiteProfile* site = SiteFor(origin);
    if (!site) {
        Plain(response, 403, "forbidden: not a configured site");
        return;
    }
    // Rebuilt from the checked parts, so the fetch goes exactly where the check looked.
    const std::string upstream = site->base + origin.pathAndQuery;
    const std::string key = (form == Form::Search ? "S " : "F ") + upstream;
    if (auto cached = cache_.get(key)) {
        note = "cache=hit";
        response.body = std::move(*cached);
        response.contentType = "text/plain; charset=GB18030";
        return;
    }
    note = "cache=miss";
    if (!fetches_.try_acquire_for(config_.totalTimeout)) {
        Plain(response, 503, "busy");
        return;
    }
    HttpCall call;
    call.url = QString::fromUtf8(upstream);
    call.limits.connect = config_.connectTimeout;
    call.limits.total = config_.totalTimeout;
    call.limits.maxBody = config_.maxPageBytes;
    // One session per serving thread: its connection to the site stays open between requests.
    thread_local HttpSession session;
    const HttpOutcome page = PerformHttp(call, &session);
    fetches_.release();
    if (!page.completed) {
        Plain(response, 502, "upstream failed: " + NoBars(page.error.toStdString()));
        return;
    }
    if (page.status >= 300 && page.status < 400) {
        Plain(response, 403, "forbidden: the site redirects");
        return;
    }
    if (page.status >= 400) {
        Plain(response, 502, "upstream status " + std::to_string(page.status));
        return;
    }
    const bool search = form == Form::Search;
    const ReducedPage reduced = ReducePage(
        page.body.toStdString(), site->charset, search ? site->searchRows : site->filmRows,
        search ? site->searchTitle : site->filmName, search ? site->searchPath : site->filmLink);
    if (!reduced.ok) {
        Plain(response, 502, "page not understood: " + reduced.error);
        return;
    }
    std::string reply;
    for (auto [first, second] : reduced.rows) {
        if (first.empty() || second.empty()) continue; // a row without both fields is no hit
        if (search) {
            // The path relative to the site's base URL.
            if (second.rfind("http://", 0) == 0 || second.rfind("https://", 0) == 0) {
                const UrlOrigin link = ParseOrigin(second);
                if (SiteFor(link) != site) continue;
                second = link.pathAndQuery;
            } else if (second.rfind("//", 0) == 0) {
                continue;
            } else if (second[0] != '/') {
                second = "/" + second;
            }
        }
        reply += first + "|" + second + "|";
    }
    response.body = Gb18030(reply);
    response.contentType = "text/plain; charset=GB18030";
    cache_.put(key, response.body);
}
