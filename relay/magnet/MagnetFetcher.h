#pragma once

#include "relay/magnet/MagnetLink.h"
#include "relay/magnet/MagnetSettings.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

/** Why a magnet link gave no torrent. */
enum class MagnetFailure {
    None,
    TimedOut,     // no peer sent the metadata in time
    GaveUp,       // the caller no longer wanted it
    ShuttingDown, // the relay is stopping
    Refused       // the session would not take the torrent
};

/** One fetch's outcome: the .torrent file's bytes, or why there are none. */
struct MagnetFetch {
    std::string torrent;
    MagnetFailure failure = MagnetFailure::None;
    std::string words;
    bool fromCache = false;
    std::chrono::milliseconds took{0};
    explicit operator bool() const { return failure == MagnetFailure::None; }
};

/** What /healthz shows of the BitTorrent side. */
struct MagnetCounters {
    int dhtNodes = 0;
    int fetchesRunning = 0;     // swarm fetches under way
    int fetchesWaiting = 0;     // swarm fetches waiting for their turn
    long long cacheHits = 0;    // fetches answered from the cache
    long long swarmFetches = 0; // torrents ever added to the session
    int listenPort = 0;
};

/** Turns magnet links into .torrent files by asking the swarm for the torrent's metadata, with
 *  one BitTorrent session for the whole relay. Only metadata moves: no piece is requested,
 *  stored or served, and nothing but the cache and the DHT's state is written. Fetches of the
 *  same torrent at once share one swarm fetch. Safe to use from any thread. */
class MagnetFetcher {
public:
    /** settings must have passed CheckMagnetSettings. */
    explicit MagnetFetcher(const MagnetSettings& settings);
    /** Returns promptly: fetches under way end with ShuttingDown. */
    ~MagnetFetcher();
    MagnetFetcher(const MagnetFetcher&) = delete;
    MagnetFetcher& operator=(const MagnetFetcher&) = delete;

    /** Blocks until the torrent is known, the deadline or the fetch time-out passes (whichever
     *  comes first), giveUp returns true or the fetcher is destroyed. siteName goes into the
     *  torrent's comment. */
    MagnetFetch Fetch(const MagnetLink& link, std::chrono::steady_clock::time_point deadline,
                      const std::function<bool()>& giveUp, const std::string& siteName = {});

    MagnetCounters Counters() const;
    int ListenPort() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
