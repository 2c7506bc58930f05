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
    if (s.empty() || s.size() > 12 || !std::all_of(s.begin(), s.end(), ::isdigit)) return false;
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

bool ParseRelayConfig(const std::string& text, RelayConfig& config, std::string& error)
{
    std::istringstream in(text);
    std::string line, section;
    SiteProfile* site = nullptr;
    int number = 0;
    auto fail = [&](const std::string& what) {
        error = "line " + std::to_string(number) + ": " + what;
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
            } else if (section != "relay") {
                return fail("unknown section [" + section + "]");
            }
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return fail("expected key = value");
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        long long n = 0;
        if (site) {
            if (key == "base") {
                const UrlOrigin o = ParseOrigin(value);
                if (!o.ok || o.scheme != "http" || o.pathAndQuery != "/")
                    return fail("base must be http://host[:port] without a path");
                site->scheme = o.scheme;
                site->host = o.host;
                site->port = o.port;
                site->base = value.back() == '/' ? value.substr(0, value.size() - 1) : value;
            } else if (key == "charset")
                site->charset = value;
            else if (key == "search_rows")
                site->searchRows = value;
            else if (key == "search_title")
                site->searchTitle = value;
            else if (key == "search_path")
                site->searchPath = value;
            else if (key == "film_rows")
                site->filmRows = value;
            else if (key == "film_name")
                site->filmName = value;
            else if (key == "film_link")
                site->filmLink = value;
            else
                return fail("unknown site key " + key);
        } else if (section == "relay") {
            if (key == "listen") {
                const size_t colon = value.rfind(':');
                if (colon == std::string::npos || !ParseInt(value.substr(colon + 1), n))
                    return fail("listen must be address:port");
                config.listenAddress = value.substr(0, colon);
                config.listenPort = int(n);
            } else if (!ParseInt(value, n)) {
                return fail(key + " must be a whole number");
            } else if (key == "connect_timeout_ms")
                config.connectTimeout = std::chrono::milliseconds(n);
            else if (key == "total_timeout_ms")
                config.totalTimeout = std::chrono::milliseconds(n);
            else if (key == "max_page_bytes")
                config.maxPageBytes = n;
            else if (key == "max_concurrent_fetches")
                config.maxConcurrentFetches = int(std::max(1LL, n));
            else if (key == "cache_seconds")
                config.cacheTime = std::chrono::seconds(n);
            else if (key == "cache_entries")
                config.cacheEntries = size_t(n);
            else
                return fail("unknown relay key " + key);
        } else {
            return fail("key outside a section");
        }
    }
    for (const SiteProfile& s : config.sites)
        if (s.base.empty() || s.searchRows.empty() || s.filmRows.empty())
            return (error = "site " + s.name + ": base, search_rows and film_rows are required",
                    false);
    if (config.sites.empty()) return (error = "no [site] section", false);
    return true;
}
