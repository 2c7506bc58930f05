#pragma once

#include <QByteArray>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

/** The cookies one site has set, shared by every request made for that site from any thread.
 *  A cookie applies to the whole site whatever its Path: keeping a copy per request folder
 *  would let whoever chooses the paths grow the jar without end. Bounded in count and bytes;
 *  the cookie set longest ago goes first. */
class HttpCookieJar {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    struct Limits {
        size_t maxCookies = 64;
        size_t maxBytes = 16 * 1024;  // names and values together
        size_t maxCookieBytes = 4096; // one larger cookie is not kept at all
    };

    HttpCookieJar();
    HttpCookieJar(const Limits& limits, Clock clock);

    /** Takes one Set-Cookie header value, as a response to host sent it. */
    void Store(const std::string& host, bool secure, const std::string& setCookie);
    /** "a=1; b=2" for a request to host, or empty. */
    std::string HeaderFor(const std::string& host, bool secure) const;

    /** Forgets every cookie: a new login starts from none. */
    void Clear();

    size_t count() const;
    size_t bytes() const;

private:
    struct Cookie {
        std::string name, value, domain;
        bool hostOnly = true, secure = false;
        std::chrono::system_clock::time_point expires =
            std::chrono::system_clock::time_point::max();
        unsigned long long order = 0; // when it was set: the oldest goes when the jar is full
    };
    static bool Matches(const Cookie& c, const std::string& host, bool secure);
    /** Reads one Set-Cookie value; false when it makes no cookie this jar may keep. */
    static bool Parse(const std::string& host, const std::string& setCookie, Clock::result_type now,
                      Cookie& cookie, bool& remove);
    static bool ApplyAttribute(Cookie& cookie, const std::string& attribute,
                               const std::string& value, Clock::result_type now, bool& remove);
    void DropExpired(std::chrono::system_clock::time_point now) const;

    Limits limits_;
    Clock clock_;
    mutable std::mutex mutex_;
    mutable std::vector<Cookie> cookies_;
    mutable size_t bytes_ = 0;
    unsigned long long setCount_ = 0;
};
