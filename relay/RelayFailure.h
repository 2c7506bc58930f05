#pragma once

#include <string>

/** Why the relay could not make an answer: the status to answer with and the reason in words
 *  (a line without "|", so the program never reads a hit from it). */
struct RelayFailure {
    int status = 0; // 0: no failure
    std::string reason;
    bool siteDown = false; // shows the site down: counts against its breaker
    explicit operator bool() const { return status != 0; }
};
