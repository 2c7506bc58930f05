#include "relay/magnet/MagnetSettings.h"

#include <charconv>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

struct Bound {
    const char* key;
    long long min, max;
};

constexpr Bound kMaxFetches{"max_magnet_fetches", 1, 256};
constexpr Bound kTimeout{"magnet_timeout_ms", 100, 600000};
constexpr Bound kCacheBytes{"magnet_cache_bytes", 0, 16LL << 30};

std::string OutOfBounds(const Bound& b)
{
    return std::string(b.key) + " must be a whole number from " + std::to_string(b.min) + " to " +
           std::to_string(b.max);
}

bool Within(const Bound& b, long long n)
{
    return n >= b.min && n <= b.max;
}

bool ReadNumber(const std::string& text, long long& n)
{
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, n);
    return ec == std::errc() && ptr == end && !text.empty();
}

} // namespace

bool ValidListenAddress(const std::string& listen)
{
    const size_t colon = listen.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string host = listen.substr(0, colon);
    long long port = -1;
    if (!ReadNumber(listen.substr(colon + 1), port) || port < 0 || port > 65535) return false;
    unsigned char address[sizeof(in6_addr)];
    if (host.front() == '[') {
        if (host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
        return inet_pton(AF_INET6, host.c_str(), address) == 1;
    }
    return inet_pton(AF_INET, host.c_str(), address) == 1;
}

std::string CheckMagnetSettings(const MagnetSettings& settings)
{
    if (!settings.listen.empty() && !ValidListenAddress(settings.listen))
        return "bt_listen must be ADDRESS:PORT, a numeric address (IPv6 in brackets) and a port "
               "from 0 to 65535";
    if (!Within(kMaxFetches, settings.maxFetches)) return OutOfBounds(kMaxFetches);
    if (!Within(kTimeout, settings.timeout.count())) return OutOfBounds(kTimeout);
    if (!Within(kCacheBytes, settings.cacheBytes)) return OutOfBounds(kCacheBytes);
    if (!settings.stateDir.empty() && settings.stateDir.front() != '/')
        return "bt_state_dir must be an absolute path";
    if (!settings.cacheDir.empty() && settings.cacheDir.front() != '/')
        return "magnet_cache_dir must be an absolute path";
    return {};
}

std::string SetMagnetKey(MagnetSettings& settings, const std::string& key, const std::string& value)
{
    long long n = 0;
    const bool number = ReadNumber(value, n);
    MagnetSettings changed = settings;
    if (key == "bt_listen") {
        changed.listen = value;
    } else if (key == "bt_dht") {
        if (value != "on" && value != "off") return "bt_dht must be on or off";
        changed.dht = value == "on";
    } else if (key == "bt_state_dir") {
        changed.stateDir = value;
    } else if (key == "magnet_cache_dir") {
        changed.cacheDir = value;
    } else if (key == kMaxFetches.key) {
        if (!number || !Within(kMaxFetches, n)) return OutOfBounds(kMaxFetches);
        changed.maxFetches = int(n);
    } else if (key == kTimeout.key) {
        if (!number || !Within(kTimeout, n)) return OutOfBounds(kTimeout);
        changed.timeout = std::chrono::milliseconds(n);
    } else if (key == kCacheBytes.key) {
        if (!number || !Within(kCacheBytes, n)) return OutOfBounds(kCacheBytes);
        changed.cacheBytes = n;
    } else {
        return "unknown key " + key;
    }
    if (std::string why = CheckMagnetSettings(changed); !why.empty()) return why;
    settings = changed;
    return {};
}
