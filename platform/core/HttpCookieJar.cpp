#include "platform/core/HttpCookieJar.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>

namespace {

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t");
    const size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

/** host is domain or one of its subdomains. */
bool DomainMatch(const std::string& host, const std::string& domain)
{
    if (host == domain) return true;
    return host.size() > domain.size() &&
           host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
           host[host.size() - domain.size() - 1] == '.';
}

/** Nothing that could end the header line or split the cookie list. */
bool Sendable(const std::string& text)
{
    return std::none_of(text.begin(), text.end(),
                        [](unsigned char c) { return c < 0x20 || c == 0x7F || c == ';'; });
}

} // namespace

HttpCookieJar::HttpCookieJar() : HttpCookieJar(Limits{}, &std::chrono::system_clock::now) {}

HttpCookieJar::HttpCookieJar(const Limits& limits, Clock clock)
    : limits_(limits), clock_(std::move(clock))
{
}

bool HttpCookieJar::ApplyAttribute(Cookie& cookie, const std::string& attribute,
                                   const std::string& value, Clock::result_type now, bool& remove)
{
    if (attribute == "domain" && !value.empty()) {
        std::string domain = Lower(value);
        if (domain.front() == '.') domain.erase(0, 1);
        if (!DomainMatch(cookie.domain, domain)) return false; // a cookie for someone else
        cookie.domain = domain;
        cookie.hostOnly = false;
    } else if (attribute == "max-age") {
        char* stop = nullptr;
        const long long seconds = std::strtoll(value.c_str(), &stop, 10);
        if (stop && *stop == '\0' && !value.empty()) {
            remove = seconds <= 0;
            if (!remove) cookie.expires = now + std::chrono::seconds(std::min(seconds, 1LL << 32));
        }
    } else if (attribute == "expires" && cookie.expires == Cookie{}.expires) {
        const time_t when = curl_getdate(value.c_str(), nullptr); // Max-Age, when given, wins
        if (when != -1) {
            cookie.expires = std::chrono::system_clock::from_time_t(when);
            remove = cookie.expires <= now;
        }
    } else if (attribute == "secure") {
        cookie.secure = true;
    }
    return true;
}

bool HttpCookieJar::Parse(const std::string& host, const std::string& setCookie,
                          Clock::result_type now, Cookie& cookie, bool& remove)
{
    cookie.domain = Lower(host);
    size_t start = 0;
    for (bool first = true; start <= setCookie.size(); first = false) {
        size_t end = setCookie.find(';', start);
        if (end == std::string::npos) end = setCookie.size();
        const std::string part = setCookie.substr(start, end - start);
        start = end + 1;
        const size_t eq = part.find('=');
        const std::string key = Trim(part.substr(0, eq));
        const std::string value =
            eq == std::string::npos ? std::string() : Trim(part.substr(eq + 1));
        if (first) {
            if (key.empty() || eq == std::string::npos) return false; // no name=value
            cookie.name = key;
            cookie.value = value;
        } else if (!ApplyAttribute(cookie, Lower(key), value, now, remove)) {
            return false;
        }
    }
    return Sendable(cookie.name) && Sendable(cookie.value);
}

void HttpCookieJar::Store(const std::string& host, bool secure, const std::string& setCookie)
{
    const auto now = clock_();
    Cookie cookie;
    bool remove = false;
    if (!Parse(host, setCookie, now, cookie, remove)) return;
    if (cookie.secure && !secure) return; // only a secure page may set a secure cookie
    const size_t size = cookie.name.size() + cookie.value.size();
    std::lock_guard lock(mutex_);
    const auto same = std::find_if(cookies_.begin(), cookies_.end(), [&](const Cookie& c) {
        return c.name == cookie.name && c.domain == cookie.domain;
    });
    if (same != cookies_.end()) {
        bytes_ -= same->name.size() + same->value.size();
        cookies_.erase(same);
    }
    if (remove || size > limits_.maxCookieBytes) return;
    DropExpired(now);
    while (!cookies_.empty() &&
           (cookies_.size() + 1 > limits_.maxCookies || bytes_ + size > limits_.maxBytes)) {
        const auto oldest =
            std::min_element(cookies_.begin(), cookies_.end(),
                             [](const Cookie& a, const Cookie& b) { return a.order < b.order; });
        bytes_ -= oldest->name.size() + oldest->value.size();
        cookies_.erase(oldest);
    }
    cookie.order = ++setCount_;
    bytes_ += size;
    cookies_.push_back(std::move(cookie));
}

bool HttpCookieJar::Matches(const Cookie& c, const std::string& host, bool secure)
{
    if (c.secure && !secure) return false;
    return c.hostOnly ? host == c.domain : DomainMatch(host, c.domain);
}

void HttpCookieJar::DropExpired(std::chrono::system_clock::time_point now) const
{
    std::erase_if(cookies_, [&](const Cookie& c) {
        if (c.expires > now) return false;
        bytes_ -= c.name.size() + c.value.size();
        return true;
    });
}

std::string HttpCookieJar::HeaderFor(const std::string& host, bool secure) const
{
    const std::string lower = Lower(host);
    std::lock_guard lock(mutex_);
    DropExpired(clock_());
    std::string header;
    for (const Cookie& c : cookies_) {
        if (!Matches(c, lower, secure)) continue;
        if (!header.empty()) header += "; ";
        header += c.name + "=" + c.value;
    }
    return header;
}

void HttpCookieJar::Clear()
{
    std::lock_guard lock(mutex_);
    cookies_.clear();
    bytes_ = 0;
}

size_t HttpCookieJar::count() const
{
    std::lock_guard lock(mutex_);
    return cookies_.size();
}

size_t HttpCookieJar::bytes() const
{
    std::lock_guard lock(mutex_);
    return bytes_;
}
