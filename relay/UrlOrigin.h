#pragma once

#include <string>

/** Scheme, host and port of an absolute URL; ok is false for anything else. */
struct UrlOrigin {
    bool ok = false;
    std::string scheme, host;
    int port = 0;
    std::string pathAndQuery; // from the first "/" after the authority on ("/" when absent)
    bool operator==(const UrlOrigin&) const = default;
};

/** Splits an absolute http URL strictly: no user info, no percent signs or odd characters in the
 *  host, a decimal port. Anything unusual is refused rather than interpreted. */
UrlOrigin ParseOrigin(const std::string& url);
