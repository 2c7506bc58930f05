#pragma once

#include <chrono>
#include <string>

/** How the relay joins the BitTorrent network to turn magnet links into torrents. */
struct MagnetSettings {
    /** Where the session listens for peers, "ADDRESS:PORT" ("[v6]:PORT"); port 0: the system
     *  picks one. Empty: every address. */
    std::string listen;
    bool dht = true;
    std::string stateDir; // where the DHT's state is kept between runs; empty: not kept
    std::string cacheDir; // fetched info dictionaries by info hash; empty: no cache
    int maxFetches = 8;   // swarm fetches at once; more wait their turn
    std::chrono::milliseconds timeout{20000};
    long long cacheBytes = 64LL << 20;
    bool operator==(const MagnetSettings&) const = default;
};

/** Why the settings cannot be used, or empty when they can: every bound in one place. */
std::string CheckMagnetSettings(const MagnetSettings& settings);

/** Sets one configuration key (bt_listen, bt_dht, bt_state_dir, magnet_cache_dir,
 *  max_magnet_fetches, magnet_timeout_ms, magnet_cache_bytes) from its text. Returns why the
 *  value is refused, or empty; keys of others are reported as unknown. */
std::string SetMagnetKey(MagnetSettings& settings, const std::string& key,
                         const std::string& value);

/** True for "ADDRESS:PORT" with a numeric IPv4 or bracketed IPv6 address and a port 0-65535. */
bool ValidListenAddress(const std::string& listen);
