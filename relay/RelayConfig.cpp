#include "relay/RelayConfig.h"

#include "relay/ConfigKeys.h"
#include "serve/ListenAddress.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <sstream>

namespace {

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r");
    const size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

/** How a "[relay]" number is stored; its bounds are in the key table. */
struct RelayKey {
    const char* name;
    void (*store)(RelayConfig&, long long);
};

const RelayKey kRelayKeys[] = {
    {"connect_timeout_ms",
     [](RelayConfig& c, long long n) { c.connectTimeout = std::chrono::milliseconds(n); }},
    {"total_timeout_ms",
     [](RelayConfig& c, long long n) { c.totalTimeout = std::chrono::milliseconds(n); }},
    {"answer_timeout_ms",
     [](RelayConfig& c, long long n) { c.answerTimeout = std::chrono::milliseconds(n); }},
    {"max_page_bytes", [](RelayConfig& c, long long n) { c.maxPageBytes = n; }},
    {"reduce_budget_bytes", [](RelayConfig& c, long long n) { c.reduceBudgetBytes = n; }},
    {"max_rows", [](RelayConfig& c, long long n) { c.maxRows = n; }},
    {"max_reply_bytes", [](RelayConfig& c, long long n) { c.maxReplyBytes = n; }},
    {"max_concurrent_fetches",
     [](RelayConfig& c, long long n) { c.maxConcurrentFetches = int(n); }},
    {"cache_seconds", [](RelayConfig& c, long long n) { c.cacheTime = std::chrono::seconds(n); }},
    {"cache_entries", [](RelayConfig& c, long long n) { c.cacheEntries = size_t(n); }},
    {"cache_bytes", [](RelayConfig& c, long long n) { c.cacheBytes = size_t(n); }},
    {"max_connections", [](RelayConfig& c, long long n) { c.maxConnections = unsigned(n); }},
    {"max_connections_per_client",
     [](RelayConfig& c, long long n) { c.maxConnectionsPerClient = unsigned(n); }},
    {"fail_after", [](RelayConfig& c, long long n) { c.failAfter = int(n); }},
    {"retry_seconds", [](RelayConfig& c, long long n) { c.retryAfter = std::chrono::seconds(n); }},
    {"request_deadline_ms",
     [](RelayConfig& c, long long n) { c.requestDeadline = std::chrono::milliseconds(n); }},
};

/** The key of the table for section, its number read when it takes one; why not, else empty. */
std::string LookUp(const char* section, const std::string& key, const std::string& value,
                   const ConfigKey*& found, long long& n)
{
    found = FindConfigKey(section, key);
    if (!found) return "unknown " + std::string(section) + " key " + key;
    return found->Numeric() ? ReadConfigNumber(*found, value, n) : std::string();
}

/** A "[site NAME]" key whose text is stored as it stands. */
struct SiteKey {
    const char* name;
    std::string SiteProfile::*field;
};

const SiteKey kSiteKeys[] = {
    {"charset", &SiteProfile::charset},
    {"search_rows", &SiteProfile::searchRows},
    {"search_title", &SiteProfile::searchTitle},
    {"search_path", &SiteProfile::searchPath},
    {"film_rows", &SiteProfile::filmRows},
    {"film_name", &SiteProfile::filmName},
    {"film_link", &SiteProfile::filmLink},
    {"ca_file", &SiteProfile::caFile},
    {"user_agent", &SiteProfile::userAgent},
    {"search_next", &SiteProfile::searchNext},
    {"search_form", &SiteProfile::searchForm},
    {"canary", &SiteProfile::canary},
    {"definition", &SiteProfile::definitionFile},
    {"cookie", &SiteProfile::cookie},
    {"cookie_file", &SiteProfile::cookieFile},
    {"credentials_file", &SiteProfile::credentialsFile},
};

/** The site keys that take whole numbers (their bounds are in the key table). */
struct SiteNumber {
    const char* name;
    int SiteProfile::*field;
};

const SiteNumber kSiteNumbers[] = {
    {"search_pages", &SiteProfile::searchPages},
    {"canary_seconds", &SiteProfile::canarySeconds},
};

std::string SetSiteKey(SiteProfile& site, const std::string& key, const std::string& value)
{
    const ConfigKey* known = nullptr;
    long long n = 0;
    if (std::string why = LookUp("site", key, value, known, n); !why.empty()) return why;
    if (key == "base") return SetSiteBase(site, value);
    if (key.rfind("config.", 0) == 0) { // a definition's setting
        site.settings[key.substr(7)] = value;
        return {};
    }
    for (const SiteNumber& k : kSiteNumbers)
        if (key == k.name) {
            site.*k.field = int(n);
            return {};
        }
    for (const SiteKey& k : kSiteKeys)
        if (key == k.name) {
            site.*k.field = value;
            return {};
        }
    return "unknown site key " + key;
}

std::string SetRelayKey(RelayConfig& config, const std::string& key, const std::string& value)
{
    const ConfigKey* known = nullptr;
    long long n = 0;
    if (std::string why = LookUp("relay", key, value, known, n); !why.empty()) return why;
    if (key == "listen") {
        ListenAddress where;
        std::string why;
        if (!ParseListenAddress(value, where, why)) return "listen: " + why;
        config.listenAddress = where.address;
        config.listenPort = where.port;
        return {};
    }
    for (const RelayKey& k : kRelayKeys)
        if (key == k.name) {
            k.store(config, n);
            return {};
        }
    return "unknown relay key " + key;
}

std::string SetGatewayKey(GatewayConfig& gateway, const std::string& key, const std::string& value)
{
    const ConfigKey* known = nullptr;
    long long n = 0;
    if (std::string why = LookUp("gateway", key, value, known, n); !why.empty()) return why;
    if (key == "base") {
        gateway.origin = ParseOrigin(value);
        if (!gateway.origin.ok || gateway.origin.pathAndQuery != "/")
            return "base must be http://host[:port] without a path: the address the program "
                   "was built with";
        gateway.base = value.back() == '/' ? value.substr(0, value.size() - 1) : value;
        return {};
    }
    if (key == "secret_file") {
        gateway.secretFile = value;
        return value.empty() ? "secret_file must name a file" : std::string();
    }
    if (key == "definitions") {
        gateway.definitionsDir = value;
        return value.empty() ? "definitions must name a folder" : std::string();
    }
    if (key == "sites") { // "a, b, c": which definitions of that folder to serve
        gateway.sites.clear();
        std::istringstream names(value);
        for (std::string name; std::getline(names, name, ',');) {
            name = Trim(name);
            if (name.empty() || name.find_first_of("/\\") != std::string::npos || name[0] == '.')
                return "sites must list definition names (the file names without .yml), "
                       "separated by commas";
            gateway.sites.push_back(name);
        }
        return {};
    }
    if (key == "lagging_grace_ms") {
        gateway.laggingGrace = std::chrono::milliseconds(n);
        return {};
    }
    if (key == "max_torrent_bytes") {
        gateway.maxTorrentBytes = n;
        return {};
    }
    if (key == "login_retry_seconds") {
        gateway.loginRetry = std::chrono::seconds(n);
        return {};
    }
    if (key == "state_dir") {
        gateway.stateDir = value;
        return value.empty() ? "state_dir must name a folder" : std::string();
    }
    // The BitTorrent side's keys, as [gateway] names them.
    static const std::map<std::string, std::string> kMagnetKeys = {
        {"bt_listen", "bt_listen"},
        {"dht", "bt_dht"},
        {"max_magnet_fetches", "max_magnet_fetches"},
        {"magnet_timeout_ms", "magnet_timeout_ms"},
        {"magnet_cache_bytes", "magnet_cache_bytes"}};
    if (const auto it = kMagnetKeys.find(key); it != kMagnetKeys.end()) {
        std::string why = SetMagnetKey(gateway.magnet, it->second, value);
        if (why.rfind("bt_dht", 0) == 0) why.replace(0, 6, "dht");
        return why;
    }
    return "unknown gateway key " + key;
}

/** A magnet fetch must end before the answer's deadline, so that the program hears why. A
 *  time-out left at its default is shortened to fit; a configured one that does not fit is an
 *  error. Empty, or "LINE: reason". */
std::string FitMagnetTimeout(RelayConfig& config)
{
    std::chrono::milliseconds& timeout = config.gateway.magnet.timeout;
    if (!config.gateway.enabled || timeout < config.answerTimeout) return {};
    const auto set = config.gateway.lines.find("magnet_timeout_ms");
    if (set != config.gateway.lines.end())
        return std::to_string(set->second) +
               ": magnet_timeout_ms must be less than "
               "answer_timeout_ms (" +
               std::to_string(config.answerTimeout.count()) + ")";
    timeout = std::max(std::chrono::milliseconds(100), config.answerTimeout * 4 / 5);
    return {};
}

/** Empty when the sites and the gateway fit together, else "LINE: reason". */
std::string CheckSites(const RelayConfig& config, const std::vector<int>& siteLines, int lastLine)
{
    const std::vector<std::string>& listed = config.gateway.sites;
    bool definitions = !listed.empty();
    for (size_t i = 0; i < config.sites.size(); ++i) {
        const SiteProfile& s = config.sites[i];
        const std::string at = std::to_string(siteLines[i]) + ": site " + s.name + ": ";
        // Without sites, a definitions folder serves all its files: a section may add to one.
        const bool inFolder = std::find(listed.begin(), listed.end(), s.name) != listed.end() ||
                              (listed.empty() && !config.gateway.definitionsDir.empty());
        if (!s.definitionFile.empty() || (inFolder && s.searchRows.empty() && s.filmRows.empty())) {
            definitions = true;
            if (!s.searchRows.empty() || !s.filmRows.empty())
                return at + "a site read through a definition takes no XPath profile";
            continue;
        }
        if (s.base.empty() || s.searchRows.empty() || s.filmRows.empty())
            return at + "base, search_rows and film_rows are required";
        if (s.siteLink != s.base + "/")
            return std::to_string(s.lines.at("base")) +
                   ": base must be http://host[:port] or https://host[:port] without a path";
        if (!s.cookie.empty() || !s.cookieFile.empty() || !s.settings.empty() ||
            !s.credentialsFile.empty())
            return at + "cookie, credentials_file and config.KEY belong to sites read through a "
                        "definition";
    }
    if (config.sites.empty() && listed.empty() && config.gateway.definitionsDir.empty())
        return std::to_string(lastLine) + ": no [site] section";
    if (!listed.empty() && config.gateway.definitionsDir.empty())
        for (const std::string& name : listed) {
            const auto it = std::find_if(config.sites.begin(), config.sites.end(),
                                         [&name](const SiteProfile& s) { return s.name == name; });
            if (it == config.sites.end() || it->definitionFile.empty())
                return std::to_string(config.gateway.line) + ": [gateway] sites names " + name +
                       ", but there is no definitions folder to find it in";
        }
    if (definitions && !config.gateway.enabled)
        return std::to_string(lastLine) +
               ": sites read through a definition are served by the gateway: add [gateway]";
    if (config.gateway.enabled &&
        (config.gateway.base.empty() || config.gateway.secretFile.empty()))
        return std::to_string(config.gateway.line) + ": [gateway] needs base and secret_file";
    // A definitions folder without sites serves every definition in it, perhaps none yet.
    if (config.gateway.enabled && !definitions && config.gateway.definitionsDir.empty())
        return std::to_string(config.gateway.line) +
               ": [gateway] has no site to serve: give a site definition = FILE.yml, or "
               "definitions = FOLDER";
    return {};
}

/** Empty when name can stand for a site in logs and /healthz: UTF-8 text, no controls. */
std::string CheckSiteName(const std::string& name)
{
    if (name.empty()) return "a site needs a name: [site NAME]";
    const QByteArray bytes = QByteArray::fromStdString(name);
    if (QString::fromUtf8(bytes).toUtf8() != bytes) return "site name is not UTF-8 text";
    if (std::any_of(name.begin(), name.end(),
                    [](unsigned char c) { return c < 0x20 || c == 0x7F || c == '"'; }))
        return "site name holds control characters or quotes";
    return {};
}

} // namespace

std::string ConfigSources::Where(int line) const
{
    for (size_t i = files.size(); i-- > 0;)
        if (line > files[i].second || i == 0)
            return files[i].first + ":" + std::to_string(line - files[i].second);
    return std::to_string(line);
}

std::string ConfigSources::Locate(const std::string& error) const
{
    const size_t colon = error.find(": ");
    int line = 0;
    if (files.empty() || colon == std::string::npos || colon == 0 || colon > 9) return error;
    const auto [end, failure] = std::from_chars(error.data(), error.data() + colon, line);
    if (failure != std::errc() || end != error.data() + colon) return error;
    return Where(line) + error.substr(colon);
}

namespace {

/** Parses the texts in turn, lines numbered on across them; "N: reason" on failure. */
bool ParseTexts(const std::vector<std::string>& texts, RelayConfig& config, std::string& error)
{
    std::string line, section;
    SiteProfile* site = nullptr;
    int number = 0;
    std::vector<int> siteLines;
    auto fail = [&](int at, const std::string& what) {
        error = std::to_string(at) + ": " + what;
        return false;
    };
    const auto lineName = [&config](int at) {
        return config.sources.files.empty() ? "line " + std::to_string(at)
                                            : config.sources.Where(at);
    };
    for (const std::string& text : texts) {
        std::istringstream in(text);
        section.clear(); // a file's keys belong to its own sections
        site = nullptr;
        while (std::getline(in, line)) {
            ++number;
            line = Trim(line);
            if (line.empty() || line[0] == '#' || line[0] == ';') continue;
            if (line.front() == '[' && line.back() == ']') {
                section = Trim(line.substr(1, line.size() - 2));
                site = nullptr;
                if (section.rfind("site", 0) == 0) {
                    config.sites.push_back({});
                    site = &config.sites.back();
                    site->name = Trim(section.substr(4));
                    siteLines.push_back(number);
                    if (std::string why = CheckSiteName(site->name); !why.empty())
                        return fail(number, why);
                    for (size_t i = 0; i + 1 < config.sites.size(); ++i)
                        if (config.sites[i].name == site->name)
                            return fail(number, "site " + site->name + " is named twice (" +
                                                    lineName(siteLines[i]) + ")");
                } else if (section == "gateway") {
                    config.gateway.enabled = true;
                    config.gateway.line = number;
                } else if (section != "relay") {
                    return fail(number, "unknown section [" + section + "]");
                }
                continue;
            }
            const size_t eq = line.find('=');
            if (eq == std::string::npos) return fail(number, "expected key = value");
            const std::string key = Trim(line.substr(0, eq));
            const std::string value = Trim(line.substr(eq + 1));
            std::string wrong;
            if (site) {
                wrong = SetSiteKey(*site, key, value);
                site->lines[key] = number;
            } else if (section == "relay")
                wrong = SetRelayKey(config, key, value);
            else if (section == "gateway") {
                wrong = SetGatewayKey(config.gateway, key, value);
                config.gateway.lines[key] = number;
            } else
                wrong = "key outside a section";
            if (!wrong.empty()) return fail(number, wrong);
        }
    }
    if (std::string why = FitMagnetTimeout(config); !why.empty()) {
        error = why;
        return false;
    }
    if (std::string why = CheckSites(config, siteLines, number); !why.empty()) {
        error = why;
        return false;
    }
    return true;
}

} // namespace

bool ParseRelayConfig(const std::string& text, RelayConfig& config, std::string& error)
{
    return ParseTexts({text}, config, error);
}

bool ParseRelayConfig(const std::vector<ConfigText>& files, RelayConfig& config, std::string& error)
{
    std::vector<std::string> texts;
    int lines = 0;
    for (const ConfigText& file : files) {
        config.sources.files.emplace_back(file.file, lines);
        lines += int(std::count(file.text.begin(), file.text.end(), '\n'));
        if (!file.text.empty() && file.text.back() != '\n') ++lines;
        texts.push_back(file.text);
    }
    if (ParseTexts(texts, config, error)) return true;
    error = config.sources.Locate(error);
    return false;
}

std::string SetSiteBase(SiteProfile& site, const std::string& value)
{
    const UrlOrigin o = ParseOrigin(value);
    if (!o.ok) return "base must be an http:// or https:// URL";
    site.scheme = o.scheme;
    site.host = o.host;
    site.port = o.port;
    // The origin as written: everything before the path.
    const size_t authority = value.find("://") + 3;
    site.base = value.substr(0, value.find('/', authority));
    site.siteLink = site.base + o.pathAndQuery.substr(0, o.pathAndQuery.find_first_of("?#"));
    if (site.siteLink.back() != '/') site.siteLink += '/';
    return {};
}
