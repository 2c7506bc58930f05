#include "relay/ConfigKeys.h"

#include "relay/RelayConfig.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr long long kKiB = 1024, kMiB = 1024 * kKiB, kGiB = 1024 * kMiB;
constexpr long long kDay = 86400;

} // namespace

const std::vector<ConfigKey>& ConfigKeys()
{
    static const std::vector<ConfigKey> keys = {
        // [relay]
        {"relay", "listen", "127.0.0.1:18080", "ADDRESS:PORT, a numeric address",
         "where the relay serves (a change takes a restart)"},
        {"relay", "connect_timeout_ms", "5000", "milliseconds", "connecting to a site", 100, 60000},
        {"relay", "total_timeout_ms", "20000", "milliseconds",
         "one page's fetch, shorter than the program's 30 s", 100, 120000},
        {"relay", "answer_timeout_ms", "25000", "milliseconds",
         "the whole answer, waiting for a slot included", 100, 120000},
        {"relay", "max_concurrent_fetches", "8", "answers",
         "XPath answers worked on at once; more wait, then get 503 (a change takes a restart)", 1,
         4096},
        {"relay", "max_page_bytes", "8388608", "bytes", "a larger page is refused (502)", kKiB,
         256 * kMiB},
        {"relay", "reduce_budget_bytes", "8388608", "bytes",
         "bytes of pages parsed at once, a tree costing some 25 times its page (a change takes a "
         "restart)",
         64 * kKiB, 4 * kGiB},
        {"relay", "max_rows", "200000", "rows", "rows an answer keeps at most", 1, 10000000},
        {"relay", "max_reply_bytes", "16777216", "bytes",
         "bytes an answer keeps at most, whole rows", kKiB, kGiB},
        {"relay", "cache_seconds", "60", "seconds",
         "how long a reply is kept; 0 turns the cache off", 0, kDay},
        {"relay", "cache_entries", "2000", "replies", "replies kept at most", 0, 10000000},
        {"relay", "cache_bytes", "67108864", "bytes", "bytes of replies kept at most", 0,
         16 * kGiB},
        {"relay", "max_connections", "512", "connections",
         "connections at once (a change takes a restart)", 1, 65535},
        {"relay", "max_connections_per_client", "32", "connections",
         "connections at once from one client address (a change takes a restart)", 1, 65535},
        {"relay", "request_deadline_ms", "5000", "milliseconds",
         "a request's line, headers and body must have arrived within this (a change takes a "
         "restart)",
         100, 600000},
        {"relay", "fail_after", "3", "failures",
         "failures in a row that show a site down and open its breaker", 1, 1000},
        {"relay", "retry_seconds", "30", "seconds",
         "how long an open breaker waits before the relay tries the site itself", 1, kDay},
        // [site NAME]
        {"site", "base", "", "http(s)://host[:port]",
         "the site; required for XPath sites, optional with a definition"},
        {"site", "charset", "UTF-8", "a character set name, or auto",
         "the pages' charset; auto: the header, then the page, else GB18030"},
        {"site", "ca_file", "", "a PEM file",
         "CA certificates trusted for this site besides the system's"},
        {"site", "user_agent",
         "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0", "text",
         "sent with every fetch"},
        {"site", "search_rows", "", "XPath", "one node per hit of a search page"},
        {"site", "search_title", "", "XPath", "a hit's title, relative to its row"},
        {"site", "search_path", "", "XPath", "a hit's page path, relative to its row"},
        {"site", "search_next", "", "XPath", "the link to the next result page"},
        {"site", "search_pages", "1", "pages", "result pages followed and joined", 1,
         kMaxSearchPages},
        {"site", "search_form", "/s.php?q=", "a path and query key",
         "the search the canary and trials ask for, the query after it"},
        {"site", "film_rows", "", "XPath", "one node per torrent of a film page"},
        {"site", "film_name", "", "XPath", "a torrent's name, relative to its row"},
        {"site", "film_link", "", "XPath", "a torrent's download link, relative to its row"},
        {"site", "canary", "", "a search", "what the relay searches itself to see the site works"},
        {"site", "canary_seconds", "300", "seconds", "how often the canary runs", 10, kDay},
        {"site", "definition", "", "a .yml file",
         "an indexer definition the gateway reads the site with"},
        {"site", "cookie", "", "a Cookie: header value",
         "a cookie login's cookie, for a definition site"},
        {"site", "cookie_file", "", "a file, not readable by every user",
         "instead of cookie: the file it is in"},
        {"site", "credentials_file", "", "a file, not readable by every user",
         "KEY = VALUE lines: the site's secret settings (password, apikey) or its cookie"},
        {"site", "config.KEY", "", "the setting's value",
         "a definition's setting over its default"},
        // [gateway]
        {"gateway", "base", "", "http://host[:port]", "the address the program was built with"},
        {"gateway", "secret_file", "", "a file, mode 0600",
         "the key that seals download links; made at first start"},
        {"gateway", "definitions", "", "a folder", "where the definition files are"},
        {"gateway", "sites", "", "names, separated by commas",
         "which definitions of the folder to serve; none: all of them"},
        {"gateway", "lagging_grace_ms", "30", "milliseconds",
         "how long a search waits, after the other sites, for a lagging one", 0, 30000},
        {"gateway", "max_torrent_bytes", "10485760", "bytes", "a larger download is no torrent",
         kKiB, kGiB},
        {"gateway", "state_dir", "", "a folder",
         "logins' sessions, the catalogue, `--add-site`'s credentials, the magnet cache and DHT "
         "state; none: the unit's state folder, or beside secret_file"},
        {"gateway", "login_retry_seconds", "900", "seconds",
         "how long a site that refused a login waits before the next (a change takes a restart)",
         10, 7 * kDay},
        {"gateway", "bt_listen", "", "ADDRESS:PORT, a numeric address",
         "BitTorrent's address; none: every address, a port the system picks"},
        {"gateway", "dht", "on", "on or off", "whether the DHT is asked for a magnet's peers"},
        {"gateway", "max_magnet_fetches", "8", "fetches", "swarm fetches at once; more wait", 1,
         256},
        {"gateway", "magnet_timeout_ms", "", "milliseconds",
         "a metadata fetch's time, less than answer_timeout_ms; none: 20 s, or four fifths of that "
         "when shorter",
         100, 600000},
        {"gateway", "magnet_cache_bytes", "67108864", "bytes",
         "fetched metadata kept, oldest going first", 0, 16 * kGiB},
    };
    return keys;
}

std::string ConfigKey::Accepts() const
{
    if (!Numeric()) return accepts;
    return std::to_string(min) + " to " + std::to_string(max) + " " + accepts;
}

const ConfigKey* FindConfigKey(const std::string& section, const std::string& name)
{
    const bool setting = name.rfind("config.", 0) == 0 && name.size() > 7;
    const std::string wanted = setting ? std::string("config.KEY") : name;
    for (const ConfigKey& key : ConfigKeys())
        if (section == key.section && wanted == key.name) return &key;
    return nullptr;
}

std::string ReadConfigNumber(const ConfigKey& key, const std::string& value, long long& n)
{
    const bool digits =
        !value.empty() && value.size() <= 12 &&
        std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c); });
    if (digits) {
        n = std::stoll(value);
        if (n >= key.min && n <= key.max) return {};
    }
    return std::string(key.name) + " must be a whole number from " + std::to_string(key.min) +
           " to " + std::to_string(key.max);
}
