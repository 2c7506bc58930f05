#pragma once

#include <string>

/** Where a service listens: a numeric address and a port. */
struct ListenAddress {
    std::string address; // "127.0.0.1" or "::1": what the socket binds, brackets dropped
    int port = 0;
};

/** Reads "IPv4:PORT" or "[IPv6]:PORT" (numeric addresses only: a name would be looked up
 *  anew at every start); on failure returns false with why in words. The command line and the
 *  configuration file both read their addresses with this. */
bool ParseListenAddress(const std::string& text, ListenAddress& out, std::string& why);
