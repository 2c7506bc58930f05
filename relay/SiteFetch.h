#pragma once

#include "relay/RelayConfig.h"
#include "relay/RelayFailure.h"

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

class HttpCookieJar;
struct HttpOutcome;

/** One page to fetch from a configured site, within the answer's deadline. */
struct SiteRequest {
    const SiteProfile* site = nullptr;
    std::string url;
    std::chrono::steady_clock::time_point deadline;
    bool searchForm = false;          // the site's search form: a 5xx there shows the site down
    std::function<bool()> giveUp;     // the client has gone, or the relay is stopping
    std::function<bool()> admitLarge; // asked once a body shows itself large
    HttpCookieJar* cookies = nullptr;
    std::string method = "GET";
    std::string body;                 // for POST
    std::vector<std::string> headers; // "Name: value"
    /** Sent only when url is on the site's own origin: a definition's headers (an API key, say),
     *  a cookie, a Referer naming the site's pages; never to a host a link or redirect names. */
    std::vector<std::string> siteHeaders;
    bool publicOnly = false; // refuse loopback and private addresses
    long long maxBody = 0;   // 0: the relay's max_page_bytes
};

/** What came of it: the page, or why none. */
struct FetchedPage {
    RelayFailure failure;
    bool siteAnswered = false; // the site gave an answer below 500: it is up
    QByteArray body;
    std::string contentType;
    std::string url;      // the page's address: what its links are relative to
    long status = 0;      // what the site answered, when it did
    std::string location; // where a redirect points, absolute
};

/** Fetches the page on the calling thread, keeping one connection to the site open per thread
 *  between requests. The site's own limits apply, cut short by the deadline. */
/** stopping is read once the fetch is over: a shutdown that began meanwhile is said as such. */
FetchedPage FetchSitePage(const SiteRequest& request, const RelayConfig& config,
                          const std::atomic_bool& stopping);

/** What an HTTP outcome means for the answer: the site's 4xx passed on, the site unreachable or
 *  broken 502, too slow 504, the relay busy or stopping 503. siteLimits: the site's own time
 *  limits were in force (not the answer's deadline), so a time-out shows the site slow. */
RelayFailure ClassifyOutcome(const HttpOutcome& outcome, bool searchForm, bool siteLimits,
                             bool stopping);
