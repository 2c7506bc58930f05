#include "relay/SiteFetch.h"

#include "platform/core/HttpCall.h"
#include "relay/RowEncoding.h"
#include "relay/definitions/CompiledDefinition.h"

namespace {

std::string NoBars(std::string text)
{
    for (char& c : text)
        if (c == '|') c = '/';
    return text;
}

RelayFailure TransportFailure(const HttpOutcome& outcome, bool siteLimits, bool stopping)
{
    if (stopping) return {503, "shutting down"};
    const std::string why = NoBars(outcome.error.toStdString());
    switch (outcome.failure) {
    case HttpFailure::Abandoned:
        return {503, "the client has gone"};
    case HttpFailure::TimedOut:
        return {504, "the site did not answer in time: " + why, siteLimits};
    case HttpFailure::TooLarge:
        return {502, "the page is too large (over max_page_bytes)"};
    case HttpFailure::Refused:
        return {503, "busy"};
    case HttpFailure::NotPublic:
        return {502, "refused: the address is not on the public Internet"};
    default:
        return {502, "could not reach the site: " + why,
                outcome.failure == HttpFailure::Unreachable};
    }
}

} // namespace

RelayFailure ClassifyOutcome(const HttpOutcome& outcome, bool searchForm, bool siteLimits,
                             bool stopping)
{
    if (!outcome.completed) return TransportFailure(outcome, siteLimits, stopping);
    const long status = outcome.status;
    if (status >= 300 && status < 400) return {403, "forbidden: the site redirects"};
    if (status >= 400 && status < 500) // the site's own word about this page: no hits
        return {int(status), "the site answered " + std::to_string(status)};
    if (status >= 500 || status < 200)
        return {502, "the site answered " + std::to_string(status), searchForm};
    return {};
}

FetchedPage FetchSitePage(const SiteRequest& request, const RelayConfig& config,
                          const std::atomic_bool& stopping)
{
    FetchedPage fetched;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        request.deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero()) {
        fetched.failure = {504, "no time left for the site"};
        return fetched;
    }
    HttpCall call;
    call.url = QString::fromUtf8(request.url);
    call.limits.connect = std::min(config.connectTimeout, left);
    call.limits.total = std::min(config.totalTimeout, left);
    call.limits.maxBody = request.maxBody > 0 ? request.maxBody : config.maxPageBytes;
    call.method = QByteArray::fromStdString(request.method);
    call.body = QByteArray::fromStdString(request.body);
    for (const std::string& header : request.headers)
        call.headers.append(QByteArray::fromStdString(header));
    if (SameSite(*request.site, ParseOrigin(request.url)))
        for (const std::string& header : request.siteHeaders)
            call.headers.append(QByteArray::fromStdString(header));
    call.publicAddressesOnly = request.publicOnly;
    call.abandoned = request.giveUp;
    call.admitLargeBody = request.admitLarge;
    call.userAgent = QByteArray::fromStdString(request.site->userAgent);
    call.caFile = QByteArray::fromStdString(request.site->caFile);
    if (const Definition* d = request.site->definition.get())
        for (const std::string& pin : d->certificates)
            call.pinnedCertificates << QByteArray::fromStdString(pin);
    call.cookies = request.cookies;
    // One session per serving thread: its connection to the site stays open between requests.
    thread_local HttpSession session;
    HttpOutcome outcome = PerformHttp(call, &session);
    fetched.failure =
        ClassifyOutcome(outcome, request.searchForm, left >= config.totalTimeout, stopping.load());
    fetched.siteAnswered = outcome.completed && outcome.status < 500;
    if (outcome.completed) {
        fetched.status = outcome.status;
        fetched.location = outcome.location.toStdString();
    }
    // A 4xx page is kept too: a login reads the site's reason on it.
    if (!fetched.failure || (outcome.completed && outcome.status >= 400 && outcome.status < 500)) {
        fetched.body = std::move(outcome.body);
        fetched.contentType = outcome.contentType.toStdString();
    }
    return fetched;
}
