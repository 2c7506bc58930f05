#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

/** Why a magnet link or info hash was refused. */
enum class MagnetFault {
    None,
    NotMagnet,        // not "magnet:?..." at all
    NoInfoHash,       // no xt naming a BitTorrent info hash
    BadInfoHash,      // an info hash of the wrong length or alphabet
    ConflictingHashes // two different info hashes of the same kind
};

/** A torrent as a magnet link names it: decoded, its trackers and peers checked. */
struct MagnetLink {
    std::string v1; // SHA-1 info hash, 20 raw bytes; empty when the link gives none
    std::string v2; // SHA-256 info hash, 32 raw bytes; empty when the link gives none
    std::string title;
    std::vector<std::string> trackers; // http, https and udp URLs, as given
    std::vector<std::string> peers;    // "host:port", IPv6 hosts in brackets
    /** The hash that names the torrent: v1 when there is one, else v2, in lower-case hex. */
    std::string Key() const;
};

/** A parse's outcome: the link, or the fault and the words that explain it. */
struct MagnetParse {
    MagnetLink link;
    MagnetFault fault = MagnetFault::None;
    std::string detail;
    explicit operator bool() const { return fault == MagnetFault::None; }
};

/** Reads "magnet:?xt=urn:btih:...&dn=...&tr=...&x.pe=...". xt may name a v1 hash (40 hex or 32
 *  base32 characters), a v2 one (urn:btmh:1220 and 64 hex) or both. Trackers other than http,
 *  https and udp are dropped, and so are trackers and peers on addresses that are not public
 *  unless allowPrivate. */
MagnetParse ParseMagnet(std::string_view uri, bool allowPrivate);

/** A bare v1 info hash (40 hex characters) and the trackers given with it. */
MagnetParse MagnetFromInfoHash(std::string_view hex, const std::vector<std::string>& trackers,
                               bool allowPrivate);

/** The link as a short magnet URI: its info hashes, then at most maxTrackers trackers and
 *  maxPeers peers (percent-encoded); no title. ParseMagnet reads it back to the same link. */
std::string MagnetUri(const MagnetLink& link, size_t maxTrackers = 8, size_t maxPeers = 8);

/** 40 hex or 32 base32 characters as 20 bytes; nothing for anything else. */
std::optional<std::string> DecodeV1Hash(std::string_view text);

/** False for a host that is a loopback, private, link-local, shared, unspecified or multicast
 *  address (or "localhost") unless allowPrivate. Names are not resolved here. */
bool HostAllowed(std::string_view host, bool allowPrivate);

/** The host of an http, https or udp tracker URL; nothing for another scheme or a malformed URL. */
std::optional<std::string> TrackerHost(std::string_view url);

/** The host of "host:port" or "[v6]:port" with a port from 1 to 65535; nothing otherwise. */
std::optional<std::string> PeerHost(std::string_view peer);
