#pragma once

#include "relay/UrlOrigin.h"
#include "relay/magnet/MagnetSettings.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct CompiledDefinition;
class TicketKey;

/** Result pages a search may follow and join at most: each is a fetch within one answer. */
constexpr int kMaxSearchPages = 20;

/** How the relay reads one site: where it is and where its pages keep their data. */
struct SiteProfile {
    std::string name;
    std::string scheme; // "http" or "https"
    std::string host;   // as written in base, lower case
    int port = 80;
    std::string base;              // scheme://host[:port], no trailing slash
    std::string charset = "UTF-8"; // "auto": what the page says, else GB18030
    std::string caFile;            // a CA bundle trusted for this site besides the system's
    std::string userAgent =
        "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0";
    std::string searchRows, searchTitle, searchPath;
    std::string filmRows, filmName, filmLink;
    std::string searchForm = "/s.php?q="; // the search, a query after it: for canaries
    std::string searchNext;               // XPath of the link to the next result page
    int searchPages = 1;                  // result pages followed and joined
    std::string canary; // a search the relay runs itself to see that the site still works
    int canarySeconds = 300;
    std::map<std::string, int> lines; // where each key stood in the configuration

    // A site read through a community indexer definition (YAML) rather than XPath profiles:
    // served only through the gateway.
    std::string definitionFile;
    std::shared_ptr<const CompiledDefinition> definition; // read once the configuration is parsed
    std::string siteLink;        // the definition's sitelink: base, any path, "/"
    std::string cookie;          // for definitions that log in with a cookie
    std::string cookieFile;      // or the file it is kept in, which not every user may read
    std::string credentialsFile; // cookie and settings (a password) in a file only its owner reads
    std::map<std::string, std::string> settings; // config.KEY = VALUE over the file's defaults
    /** Values never to be shown: passwords, keys, what credentials_file gave. */
    std::vector<std::string> secrets;
    bool privateBase = false;     // on a loopback or private address: its downloads may be too
    std::string definitionDigest; // of the definition file's bytes: a reload compares it
    bool LogsIn() const { return !cookie.empty(); }
    bool passwordLogin = false; // the definition logs in by post, form or get: sessions
    bool operator==(const SiteProfile&) const = default;
};

/** The relay as the movie site the program was built with, over the definition sites. */
struct GatewayConfig {
    bool enabled = false;
    std::string base; // the address the program was built with, scheme://host[:port]
    UrlOrigin origin;
    std::string secretFile;               // the key that signs download tickets
    std::string definitionsDir;           // where "sites" finds NAME.yml
    std::vector<std::string> sites;       // definitions of that folder to serve, by name
    long long maxTorrentBytes = 10 << 20; // a download larger than this is no torrent
    /** How long a search waits, after the other sites have answered, for a site whose last
     *  search ran out of time and that has not answered since. */
    std::chrono::milliseconds laggingGrace{30};
    std::shared_ptr<const TicketKey> key; // loaded with the definitions
    /** The DHT's state and the magnet cache; empty: a folder beside secret_file. */
    std::string stateDir;
    /** A login the site refused is not tried again for this long, whatever the searches do. */
    std::chrono::seconds loginRetry{900};
    std::string configFile; // as given: what --login must be run with
    MagnetSettings magnet;  // the BitTorrent side: magnet links and info hashes into torrents
    int line = 0;
    std::map<std::string, int> lines; // where each key stood
    bool operator==(const GatewayConfig&) const = default;
};

/** Where the configuration's lines came from: files read one after another, their lines
 *  numbered on as one text, so that every stored line names its file too. */
struct ConfigSources {
    std::vector<std::pair<std::string, int>> files; // name, and the number before its first line
    /** "FILE:LINE" for a line so numbered; "LINE" alone when no file was named. */
    std::string Where(int line) const;
    /** "N: reason" with N so numbered, as "FILE:LINE: reason"; any other text as it stands. */
    std::string Locate(const std::string& error) const;
    bool operator==(const ConfigSources&) const = default;
};

/** One file of the configuration: its name (for messages) and its text. */
struct ConfigText {
    std::string file;
    std::string text;
};

/** The relay's settings. */
struct RelayConfig {
    std::string listenAddress = "127.0.0.1";
    int listenPort = 18080;
    std::chrono::milliseconds connectTimeout{5000};
    std::chrono::milliseconds totalTimeout{20000};
    /** The whole answer, waiting for a slot included: shorter than the program's 30 s. */
    std::chrono::milliseconds answerTimeout{25000};
    long long maxPageBytes = 8 << 20;
    /** Bytes of pages parsed at once: a page's tree costs some 25 times the page. */
    long long reduceBudgetBytes = 8 << 20;
    long long maxRows = 200000;
    long long maxReplyBytes = 16 << 20;
    /** Answers worked on at once (fetch, reduce, encode); further requests wait for a slot. */
    int maxConcurrentFetches = 8;
    std::chrono::seconds cacheTime{60};
    size_t cacheEntries = 2000;
    size_t cacheBytes = 64 << 20;
    unsigned maxConnections = 512;
    unsigned maxConnectionsPerClient = 32;
    std::chrono::milliseconds requestDeadline{5000};
    int failAfter = 3;                   // consecutive failed fetches that open a site's breaker
    std::chrono::seconds retryAfter{30}; // then one request may try the site again
    std::vector<SiteProfile> sites;
    GatewayConfig gateway;
    ConfigSources sources; // empty when read from one text without a name
    bool operator==(const RelayConfig&) const = default;
};

/** Parses the configuration text; on failure returns false with "N: reason" in error, N being
 *  the line, so that "FILE:" before it points an editor at the fault. */
bool ParseRelayConfig(const std::string& text, RelayConfig& config, std::string& error);

/** The same over several files read in turn, each starting outside any section (a later file
 *  may add sites, or set keys again); error is "FILE:LINE: reason". */
bool ParseRelayConfig(const std::vector<ConfigText>& files, RelayConfig& config,
                      std::string& error);

/** Checks what parsing cannot: every site's expressions compile and give what they should, every
 *  charset can be read. Empty when all is well, else "N: reason" (N the line in the file). */
std::string CheckRelayConfig(const RelayConfig& config);

/** Reads "base = URL" into the site: scheme, host, port, base (the origin) and siteLink (the
 *  whole URL ending in "/"); why not, when it is no http(s) URL. */
std::string SetSiteBase(SiteProfile& site, const std::string& value);

/** Reads every definition site's file (a relative name is taken in folder) and the gateway's
 *  key; empty when all is well, else "FILE:LINE: reason" naming the file at fault. */
std::string LoadGateway(RelayConfig& config, const std::string& folder,
                        const std::string& configFile);
