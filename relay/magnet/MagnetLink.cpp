#include "relay/magnet/MagnetLink.h"

#include "platform/core/HttpCall.h"
#include "serve/TextHelpers.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

std::string Lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

std::optional<std::string> DecodeHex(std::string_view text, size_t bytes)
{
    if (text.size() != bytes * 2) return std::nullopt;
    std::string out(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out[i] = char(high * 16 + low);
    }
    return out;
}

std::optional<std::string> DecodeBase32(std::string_view text)
{
    if (text.size() != 32) return std::nullopt;
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (char c : text) {
        const char u = char(std::toupper(static_cast<unsigned char>(c)));
        int value = -1;
        if (u >= 'A' && u <= 'Z') value = u - 'A';
        if (u >= '2' && u <= '7') value = u - '2' + 26;
        if (value < 0) return std::nullopt;
        buffer = (buffer << 5) | unsigned(value);
        bits += 5;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(char((buffer >> bits) & 0xFF));
        }
    }
    return out;
}

bool Port(std::string_view text)
{
    if (text.empty() || text.size() > 5) return false;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        port = port * 10 + (c - '0');
    }
    return port >= 1 && port <= 65535;
}

bool PlainHost(std::string_view host)
{
    if (host.empty()) return false;
    return std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == '_';
    });
}

/** host[:port] or [v6][:port]: the host, brackets removed; nothing when malformed. */
std::optional<std::string> SplitAuthority(std::string_view authority, bool portRequired)
{
    std::string_view host, port;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(1, close - 1);
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return std::nullopt;
        if (!rest.empty()) port = rest.substr(1);
        in6_addr v6{};
        if (inet_pton(AF_INET6, std::string(host).c_str(), &v6) != 1) return std::nullopt;
    } else {
        const size_t colon = authority.rfind(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) port = authority.substr(colon + 1);
        if (!PlainHost(host)) return std::nullopt;
    }
    if ((portRequired || !port.empty()) && !Port(port)) return std::nullopt;
    return Lower(host);
}

void Keep(std::vector<std::string>& list, std::string value)
{
    if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(std::move(value));
}

void AddTracker(MagnetLink& link, const std::string& url, bool allowPrivate)
{
    const std::optional<std::string> host = TrackerHost(url);
    if (host && HostAllowed(*host, allowPrivate)) Keep(link.trackers, url);
}

void AddPeer(MagnetLink& link, const std::string& peer, bool allowPrivate)
{
    const std::optional<std::string> host = PeerHost(peer);
    if (host && HostAllowed(*host, allowPrivate)) Keep(link.peers, peer);
}

/** Sets a hash once; a second, different one of the same kind is a conflict. */
bool SetHash(std::string& slot, const std::string& value)
{
    if (!slot.empty() && slot != value) return false;
    slot = value;
    return true;
}

MagnetParse Refuse(MagnetFault fault, std::string detail)
{
    MagnetParse parse;
    parse.fault = fault;
    parse.detail = std::move(detail);
    return parse;
}

/** One xt value: a v1 or v2 hash into link, or a fault. Other URNs are ignored. */
MagnetFault ReadTopic(const std::string& topic, MagnetLink& link)
{
    const std::string lower = Lower(topic);
    if (lower.rfind("urn:btih:", 0) == 0) {
        const std::optional<std::string> hash = DecodeV1Hash(std::string_view(topic).substr(9));
        if (!hash) return MagnetFault::BadInfoHash;
        return SetHash(link.v1, *hash) ? MagnetFault::None : MagnetFault::ConflictingHashes;
    }
    if (lower.rfind("urn:btmh:", 0) == 0) {
        // A multihash: 0x12 (SHA-256), 0x20 (32 bytes), then the digest.
        const std::string_view multihash = std::string_view(topic).substr(9);
        if (multihash.size() != 68 || Lower(multihash.substr(0, 4)) != "1220")
            return MagnetFault::BadInfoHash;
        const std::optional<std::string> hash = DecodeHex(multihash.substr(4), 32);
        if (!hash) return MagnetFault::BadInfoHash;
        return SetHash(link.v2, *hash) ? MagnetFault::None : MagnetFault::ConflictingHashes;
    }
    return MagnetFault::None;
}

/** "xt", "xt.1", "xt.2"...: the name without its number. */
std::string BaseKey(std::string_view key)
{
    std::string lower = Lower(key);
    for (const char* base : {"xt", "tr"}) {
        const std::string prefix = std::string(base) + ".";
        if (lower.rfind(prefix, 0) == 0 &&
            lower.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
            return base;
    }
    return lower;
}

} // namespace

std::string MagnetLink::Key() const
{
    static const char digits[] = "0123456789abcdef";
    const std::string& raw = v1.empty() ? v2 : v1;
    std::string hex;
    for (unsigned char c : raw) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 15]);
    }
    return hex;
}

std::string MagnetUri(const MagnetLink& link, size_t maxTrackers, size_t maxPeers)
{
    static const char digits[] = "0123456789abcdef";
    const auto hex = [](const std::string& raw) {
        std::string out;
        for (unsigned char c : raw) {
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
        return out;
    };
    const auto encoded = [](const std::string& text) {
        std::string out;
        for (unsigned char c : text) {
            if (std::isalnum(c) || std::strchr("-._~:/[]", c) != nullptr) {
                out.push_back(char(c));
            } else {
                out.push_back('%');
                out.push_back(digits[c >> 4]);
                out.push_back(digits[c & 15]);
            }
        }
        return out;
    };
    std::string uri = "magnet:?";
    if (!link.v1.empty()) uri += "xt=urn:btih:" + hex(link.v1);
    if (!link.v2.empty())
        uri += std::string(link.v1.empty() ? "" : "&") + "xt=urn:btmh:1220" + hex(link.v2);
    for (size_t i = 0; i < link.trackers.size() && i < maxTrackers; ++i)
        uri += "&tr=" + encoded(link.trackers[i]);
    for (size_t i = 0; i < link.peers.size() && i < maxPeers; ++i)
        uri += "&x.pe=" + encoded(link.peers[i]);
    return uri;
}

std::optional<std::string> DecodeV1Hash(std::string_view text)
{
    if (text.size() == 40) return DecodeHex(text, 20);
    return DecodeBase32(text);
}

bool HostAllowed(std::string_view host, bool allowPrivate)
{
    if (allowPrivate) return true;
    const std::string name = Lower(host);
    if (name == "localhost" || (name.size() > 10 && name.ends_with(".localhost"))) return false;
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    if (inet_pton(AF_INET, name.c_str(), &v4.sin_addr) == 1)
        return IsPublicAddress(reinterpret_cast<const sockaddr*>(&v4));
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, name.c_str(), &v6.sin6_addr) == 1)
        return IsPublicAddress(reinterpret_cast<const sockaddr*>(&v6));
    return true; // a name: what it resolves to is the session's business
}

std::optional<std::string> TrackerHost(std::string_view url)
{
    const size_t sep = url.find("://");
    if (sep == std::string_view::npos) return std::nullopt;
    const std::string scheme = Lower(url.substr(0, sep));
    if (scheme != "http" && scheme != "https" && scheme != "udp") return std::nullopt;
    const std::string_view rest = url.substr(sep + 3);
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (authority.find('@') != std::string_view::npos) return std::nullopt;
    return SplitAuthority(authority, scheme == "udp");
}

std::optional<std::string> PeerHost(std::string_view peer)
{
    return SplitAuthority(peer, true);
}

MagnetParse ParseMagnet(std::string_view uri, bool allowPrivate)
{
    if (uri.size() < 8 || Lower(uri.substr(0, 8)) != "magnet:?")
        return Refuse(MagnetFault::NotMagnet, "not a magnet link");
    MagnetParse parse;
    std::string_view query = uri.substr(8);
    query = query.substr(0, query.find('#'));
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const size_t eq = pair.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string key = BaseKey(PercentDecode(std::string(pair.substr(0, eq))));
        const std::string value = PercentDecode(std::string(pair.substr(eq + 1)));
        if (key == "xt") {
            const MagnetFault fault = ReadTopic(value, parse.link);
            if (fault == MagnetFault::BadInfoHash)
                return Refuse(fault, "the info hash must be 40 hex or 32 base32 characters "
                                     "(v1) or urn:btmh:1220 and 64 hex characters (v2)");
            if (fault == MagnetFault::ConflictingHashes)
                return Refuse(fault, "the link names two different info hashes");
        } else if (key == "dn") {
            // "+" is a space here, "%2B" a plus.
            parse.link.title = PercentDecode(std::string(pair.substr(eq + 1)), true);
        } else if (key == "tr") {
            AddTracker(parse.link, value, allowPrivate);
        } else if (key == "x.pe") {
            AddPeer(parse.link, value, allowPrivate);
        }
    }
    if (parse.link.v1.empty() && parse.link.v2.empty())
        return Refuse(MagnetFault::NoInfoHash, "the link names no BitTorrent info hash");
    return parse;
}

MagnetParse MagnetFromInfoHash(std::string_view hex, const std::vector<std::string>& trackers,
                               bool allowPrivate)
{
    if (hex.empty()) return Refuse(MagnetFault::NoInfoHash, "no info hash");
    const std::optional<std::string> hash = DecodeHex(hex, 20);
    if (!hash) return Refuse(MagnetFault::BadInfoHash, "the info hash must be 40 hex characters");
    MagnetParse parse;
    parse.link.v1 = *hash;
    for (const std::string& tracker : trackers)
        AddTracker(parse.link, tracker, allowPrivate);
    return parse;
}
