#include "serve/ListenAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>

bool ParseListenAddress(const std::string& text, ListenAddress& out, std::string& why)
{
    why = "want ADDRESS:PORT with a numeric address (1.2.3.4 or [::1]) and a port from 1 to 65535";
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    const int port = std::stoi(digits);
    if (port < 1 || port > 65535) return false;
    std::string address = text.substr(0, colon);
    in_addr v4{};
    in6_addr v6{};
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
        if (inet_pton(AF_INET6, address.c_str(), &v6) != 1) return false;
    } else if (inet_pton(AF_INET, address.c_str(), &v4) != 1) {
        return false; // a name, "999.1.1.1", or an IPv6 address without brackets
    }
    out = {address, port};
    why.clear();
    return true;
}
