#include "relay/RelayConfig.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r");
    const size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

bool ParseInt(const std::string& s, long long& out)
{
    if (s.empty() || s.size() > 12 ||
        !std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
        return false;
    out = std::stoll(s);
    return true;
}

} // namespace

UrlOrigin ParseOrigin(const std::string& url)
{
    UrlOrigin o;
    const size_t sep = url.find("://");
    if (sep == std::string::npos) return o;
    o.scheme = Lower(url.substr(0, sep));
    if (o.scheme != "http" && o.scheme != "https") return o;
    const size_t authorityStart = sep + 3;
    const size_t authorityEnd = url.find_first_of("/?#\\", authorityStart);
    const std::string authority = url.substr(authorityStart, authorityEnd - authorityStart);
    o.pathAndQuery =
        authorityEnd == std::string::npos ? std::string("/") : url.substr(authorityEnd);
    if (!o.pathAndQuery.empty() && o.pathAndQuery[0] != '/')
        return o; // "http://host?x", "http://host\\path": refuse rather than guess
    // Host names and IPv4 addresses only: letters, digits, dots and dashes, then an optional port.
    const size_t colon = authority.find(':');
    std::string host = authority.substr(0, colon);
    if (host.empty() || !std::all_of(host.begin(), host.end(), [](unsigned char c) {
            return std::isalnum(c) || c == '.' || c == '-';
        }))
        return o;
    long long port = o.scheme == "https" ? 443 : 80;
    if (colon != std::string::npos && !ParseInt(authority.substr(colon + 1), port)) return o;
    if (port <= 0 || port > 65535) return o;
    o.host = Lower(host);
    o.port = int(port);
    o.ok = true;
    return o;
}

namespace {

/** One "[relay]" key: how its whole-number value is stored. */
struct RelayKey {
    const char* name;
    void (*store)(RelayConfig&, long long);
};

const RelayKey kRelayKeys[] = {
    {"connect_timeout_ms",
     [](RelayConfig& c, long long n) { c.connectTimeout = std::chrono::milliseconds(n); }},
    {"total_timeout_ms",
     [](RelayConfig& c, long long n) { c.totalTimeout = std::chrono::milliseconds(n); }},
    {"answer_timeout_ms",
     [](RelayConfig& c, long long n) { c.answerTimeout = std::chrono::milliseconds(n); }},
    {"max_page_bytes", [](RelayConfig& c, long long n) { c.maxPageBytes = n; }},
    {"reduce_budget_bytes", [](RelayConfig& c, long long n) { c.reduceBudgetBytes = n; }},
    {"max_rows", [](RelayConfig& c, long long n) { c.maxRows = n; }},
    {"max_reply_bytes", [](RelayConfig& c, long long n) { c.maxReplyBytes = n; }},
    {"max_concurrent_fetches",
     [](RelayConfig& c, long long n) { c.maxConcurrentFetches = int(std::clamp(n, 1LL, 4096LL)); }},
    {"cache_seconds", [](RelayConfig& c, long long n) { c.cacheTime = std::chrono::seconds(n); }},
    {"cache_entries", [](RelayConfig& c, long long n) { c.cacheEntries = size_t(n); }},
    {"cache_bytes", [](RelayConfig& c, long long n) { c.cacheBytes = size_t(n); }},
    {"max_connections",
     [](RelayConfig& c, long long n) { c.maxConnections = unsigned(std::clamp(n, 1LL, 65535LL)); }},
    {"max_connections_per_client",
     [](RelayConfig& c, long long n) {
         c.maxConnectionsPerClient = unsigned(std::clamp(n, 1LL, 65535LL));
     }},
    {"fail_after",
     [](RelayConfig& c, long long n) { c.failAfter = int(std::clamp(n, 1LL, 1000LL)); }},
    {"retry_seconds", [](RelayConfig& c, long long n) { c.retryAfter = std::chrono::seconds(n); }},
    {"request_deadline_ms",
     [](RelayConfig& c, long long n) { c.requestDeadline = std::chrono::milliseconds(n); }},
};

/** A "[site NAME]" key whose text is stored as it stands. */
struct SiteKey {
    const char* name;
    std::string SiteProfile::*field;
};

const SiteKey kSiteKeys[] = {
    {"charset", &SiteProfile::charset},
    {"search_rows", &SiteProfile::searchRows},
    {"search_title", &SiteProfile::searchTitle},
    {"search_path", &SiteProfile::searchPath},
    {"film_rows", &SiteProfile::filmRows},
    {"film_name", &SiteProfile::filmName},
    {"film_link", &SiteProfile::filmLink},
    {"ca_file", &SiteProfile::caFile},
    {"user_agent", &SiteProfile::userAgent},
    {"search_next", &SiteProfile::searchNext},
    {"canary", &SiteProfile::canary},
};

/** Reads "base = http://host[:port]"; an empty result means it is refused. */
std::string SetBase(SiteProfile& site, const std::string& value)
{
    const UrlOrigin o = ParseOrigin(value);
    if (!o.ok || o.pathAndQuery != "/")
        return "base must be http://host[:port] or https://host[:port] without a path";
    site.scheme = o.scheme;
    site.host = o.host;
    site.port = o.port;
    site.base = value.back() == '/' ? value.substr(0, value.size() - 1) : value;
    return {};
}

std::string SetSiteKey(SiteProfile& site, const std::string& key, const std::string& value)
{
    if (key == "base") return SetBase(site, value);
    if (key == "search_pages" || key == "canary_seconds") {
        long long n = 0;
        if (!ParseInt(value, n) || n < 1 || n > 100000)
            return key + " must be a whole number from 1";
        (key == "search_pages" ? site.searchPages : site.canarySeconds) = int(n);
        return {};
    }
    for (const SiteKey& k : kSiteKeys)
        if (key == k.name) {
            site.*k.field = value;
            return {};
        }
    return "unknown site key " + key;
}

std::string SetRelayKey(RelayConfig& config, const std::string& key, const std::string& value)
{
    long long n = 0;
    if (key == "listen") {
        const size_t colon = value.rfind(':');
        if (colon == std::string::npos || !ParseInt(value.substr(colon + 1), n) || n < 1 ||
            n > 65535)
            return "listen must be address:port with a port from 1 to 65535";
        config.listenAddress = value.substr(0, colon);
        config.listenPort = int(n);
        return {};
    }
    for (const RelayKey& k : kRelayKeys)
        if (key == k.name) {
            if (!ParseInt(value, n)) return key + " must be a whole number";
            k.store(config, n);
            return {};
        }
    return "unknown relay key " + key;
}

} // namespace

bool ParseRelayConfig(const std::string& text, RelayConfig& config, std::string& error)
{
    std::istringstream in(text);
    std::string line, section;
    SiteProfile* site = nullptr;
    int number = 0;
    std::vector<int> siteLines;
    auto fail = [&](int at, const std::string& what) {
        error = std::to_string(at) + ": " + what;
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        line = Trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = Trim(line.substr(1, line.size() - 2));
            site = nullptr;
            if (section.rfind("site", 0) == 0) {
                config.sites.push_back({});
                site = &config.sites.back();
                site->name = Trim(section.substr(4));
                siteLines.push_back(number);
            } else if (section != "relay") {
                return fail(number, "unknown section [" + section + "]");
            }
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return fail(number, "expected key = value");
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        std::string wrong;
        if (site) {
            wrong = SetSiteKey(*site, key, value);
            site->lines[key] = number;
        } else if (section == "relay")
            wrong = SetRelayKey(config, key, value);
        else
            wrong = "key outside a section";
        if (!wrong.empty()) return fail(number, wrong);
    }
    for (size_t i = 0; i < config.sites.size(); ++i) {
        const SiteProfile& s = config.sites[i];
        if (s.base.empty() || s.searchRows.empty() || s.filmRows.empty())
            return fail(siteLines[i],
                        "site " + s.name + ": base, search_rows and film_rows are required");
    }
    if (config.sites.empty()) return fail(number, "no [site] section");
    return true;
}
