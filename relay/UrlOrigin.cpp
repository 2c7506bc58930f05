#include "relay/UrlOrigin.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

bool ParsePort(const std::string& s, long long& out)
{
    if (s.empty() || s.size() > 5 ||
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
    if (colon != std::string::npos && !ParsePort(authority.substr(colon + 1), port)) return o;
    if (port <= 0 || port > 65535) return o;
    o.host = Lower(host);
    o.port = int(port);
    o.ok = true;
    return o;
}
