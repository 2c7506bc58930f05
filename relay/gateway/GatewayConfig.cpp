#include "relay/RelayConfig.h"
#include "relay/definitions/CompiledDefinition.h"
#include "relay/definitions/LoginBlock.h"
#include "relay/gateway/Credentials.h"
#include "relay/gateway/DownloadTicket.h"
#include "relay/gateway/SiteLogin.h"
#include "relay/magnet/MetadataCache.h"

#include "platform/core/HttpCall.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QString>
#include <QStringDecoder>

#include <algorithm>
#include <cstdlib>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/** The file's bytes, hashed; empty when it cannot be read. */
std::string FileDigest(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex().toStdString();
}

std::string InFolder(const std::string& folder, const std::string& name)
{
    if (name.empty() || name[0] == '/' || folder.empty()) return name;
    return folder + "/" + name;
}

/** "FILE:LINE" for a line of the configuration: its own file when several were read. */
std::string Where(const RelayConfig& config, const std::string& configFile, int line)
{
    return config.sources.files.empty() ? configFile + ":" + std::to_string(line)
                                        : config.sources.Where(line);
}

/** The credentials file's cookie and settings, merged into the site's; empty, or why not. */
std::string MergeCredentials(SiteProfile& site)
{
    std::map<std::string, std::string> values;
    std::string why;
    if (!ReadCredentialsFile(site.credentialsFile, values, why)) return why;
    const int line = site.lines["credentials_file"];
    for (const auto& [key, value] : values) {
        if (key == "cookie") {
            if (!site.cookie.empty() || !site.cookieFile.empty())
                return "the cookie is given twice: in " + site.credentialsFile + " and here";
            site.cookie = value;
            continue;
        }
        const std::string name = key.rfind("config.", 0) == 0 ? key.substr(7) : key;
        if (!site.settings.emplace(name, value).second)
            return "config." + name + " is given twice: in " + site.credentialsFile + " and here";
        site.lines.emplace("config." + name, line);
    }
    return {};
}

/** A base on this machine or a private network: its downloads may point there too. Names other
 *  than "localhost" are taken as public; resolving them at start would tie start-up to DNS. */
bool PrivateHost(const std::string& host)
{
    if (host == "localhost" || QString::fromStdString(host).endsWith(u".localhost")) return true;
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1)
        return !IsPublicAddress(reinterpret_cast<const sockaddr*>(&v4));
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    const std::string bare =
        host.size() > 2 && host[0] == '[' ? host.substr(1, host.size() - 2) : host;
    if (inet_pton(AF_INET6, bare.c_str(), &v6.sin6_addr) == 1)
        return !IsPublicAddress(reinterpret_cast<const sockaddr*>(&v6));
    return false;
}

/** The cookie kept in file: one line, in a file that not every user can read. */
std::string ReadCookie(const std::string& file, std::string& cookie)
{
    struct stat st {};
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        return "cannot read the cookie file " + file;
    }
    std::string text(4096, '\0');
    const ssize_t n = ::read(fd, text.data(), text.size());
    ::close(fd);
    if (st.st_mode & S_IROTH)
        return file + " can be read by every user: a cookie logs in as you (chmod o-r)";
    text.resize(size_t(std::max<ssize_t>(n, 0)));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (text.empty() || text.find_first_of("\r\n") != std::string::npos)
        return file + " must hold the cookie on one line, as the browser sends it";
    cookie = text;
    return {};
}

/** Whether a setting's name says it holds a secret: its value is never shown. */
bool SecretSetting(const std::string& name)
{
    static const QRegularExpression kSecret(
        QStringLiteral("pass|key|token|cookie|secret|pin|2fa|auth|hash|otp"),
        QRegularExpression::CaseInsensitiveOption);
    return kSecret.match(QString::fromStdString(name)).hasMatch();
}

/** A setting the login needs that has no value, else "". One-time codes (a second factor)
 *  may stay empty: the site logs in without, or a person gives one with --login. */
std::string MissingLoginSetting(const SiteProfile& site, const Definition& definition)
{
    for (const std::string& name : LoginSettings(definition)) {
        const auto value = site.settings.find(name);
        if (value != site.settings.end() && value->second.empty() && name != "sitelink" &&
            !OneTimeSetting(name))
            return name;
    }
    return {};
}

/** The site's settings and base from its definition; empty when they fit, else why not. */
std::string ApplyDefinition(SiteProfile& site, const Definition& definition,
                            const RelayConfig& config, const std::string& configFile)
{
    const auto at = [&](const std::string& key) {
        const auto it = site.lines.find(key);
        return Where(config, configFile, it == site.lines.end() ? 0 : it->second) + ": site " +
               site.name + ": ";
    };
    if (!site.credentialsFile.empty())
        if (std::string why = MergeCredentials(site); !why.empty())
            return at("credentials_file") + why;
    for (const auto& [key, value] : site.settings)
        if (!definition.settings.count(key))
            return at("config." + key)
                .append(definition.file)
                .append(" has no setting ")
                .append(key);
    for (const auto& [key, value] : site.settings)
        if (SecretSetting(key) && value.size() >= 4) site.secrets.push_back(value);
    for (const auto& [key, value] : definition.settings)
        site.settings.emplace(key, value); // the file's default where none is configured
    if (site.base.empty())
        if (std::string why = SetSiteBase(site, definition.links.front()); !why.empty())
            return at("definition") + definition.file + ": links: " + why;
    if (!site.cookieFile.empty()) {
        if (!site.cookie.empty()) return at("cookie_file") + "give cookie or cookie_file, not both";
        if (std::string why = ReadCookie(site.cookieFile, site.cookie); !why.empty())
            return at("cookie_file") + why;
    }
    if (definition.loginMethod == "cookie" && site.cookie.empty())
        return at("definition") + definition.file +
               " logs in with a cookie: give it as cookie = NAME=VALUE; ...";
    if (definition.login) {
        site.passwordLogin = true;
        if (const std::string missing = MissingLoginSetting(site, definition); !missing.empty())
            return at("definition") + definition.file + " logs in with its setting " + missing +
                   ": give it as config." + missing + " = ... or in credentials_file";
    }
    if (!QStringDecoder(definition.encoding.c_str()).isValid())
        return at("definition") + definition.file + ": unknown encoding " + definition.encoding;
    site.privateBase = PrivateHost(site.host);
    return {};
}

/** The names of the definitions (NAME.yml) in dir, in name order; empty when it can be read. */
std::string DefinitionsIn(const std::string& dir, std::vector<std::string>& names)
{
    const QDir folder(QString::fromStdString(dir));
    if (!folder.exists()) return "the definitions folder " + dir + " cannot be read";
    for (const QString& file : folder.entryList({QStringLiteral("*.yml")}, QDir::Files, QDir::Name))
        names.push_back(file.chopped(4).toStdString());
    return {};
}

/** The folder systemd made for the unit (StateDirectory=), or "". */
std::string SystemdStateDirectory()
{
    const char* dirs = std::getenv("STATE_DIRECTORY"); // several are separated by ":"
    return dirs && *dirs ? std::string(dirs).substr(0, std::string(dirs).find(':')) : "";
}

/** Where the DHT's state and the magnet cache go: state_dir, else the unit's state directory,
 *  else a folder beside the secret; made (mode 0700) when missing. Empty when usable, else why
 *  not. */
std::string SetStateDir(GatewayConfig& gateway, const std::string& folder)
{
    if (gateway.stateDir.empty()) gateway.stateDir = SystemdStateDirectory();
    std::string dir = gateway.stateDir.empty()
                          ? QFileInfo(QString::fromStdString(InFolder(folder, gateway.secretFile)))
                                    .absolutePath()
                                    .toStdString() +
                                "/reelmate-state"
                          : QFileInfo(QString::fromStdString(InFolder(folder, gateway.stateDir)))
                                .absoluteFilePath()
                                .toStdString();
    // The folder itself may be a link: for a DynamicUser= unit, systemd makes /var/lib/NAME one
    // to private/NAME. What is inside it is never opened through a link.
    if (const QString real = QFileInfo(QString::fromStdString(dir)).canonicalFilePath();
        !real.isEmpty())
        dir = real.toStdString();
    const int fd = OpenFolder(dir);
    if (fd < 0) return "cannot make or open the state folder " + dir;
    ::close(fd);
    gateway.magnet.stateDir = dir;
    gateway.magnet.cacheDir = dir + "/magnets";
    return CheckMagnetSettings(gateway.magnet);
}

} // namespace

std::string LoadGateway(RelayConfig& config, const std::string& folder,
                        const std::string& configFile)
{
    if (!config.gateway.enabled) return {};
    config.gateway.configFile = configFile;
    std::vector<std::string> listed = config.gateway.sites;
    const std::string dir = InFolder(folder, config.gateway.definitionsDir);
    if (listed.empty() && !config.gateway.definitionsDir.empty())
        if (std::string why = DefinitionsIn(dir, listed); !why.empty())
            return Where(config, configFile, config.gateway.line) + ": " + why;
    // The sites the gateway lists are definitions of its folder, with a section or without.
    for (const std::string& name : listed) {
        auto it = std::find_if(config.sites.begin(), config.sites.end(),
                               [&name](const SiteProfile& s) { return s.name == name; });
        if (it == config.sites.end()) {
            config.sites.emplace_back();
            it = config.sites.end() - 1;
            it->name = name;
        }
        if (it->definitionFile.empty())
            it->definitionFile = InFolder(config.gateway.definitionsDir, name + ".yml");
    }
    for (const SiteProfile& site : config.sites)
        if (site.definitionFile.empty() && site.searchRows.empty())
            return Where(config, configFile, site.lines.count("base") ? site.lines.at("base") : 0) +
                   ": site " + site.name + ": no " + site.name + ".yml in the definitions folder";
    std::vector<std::string> files;
    std::vector<SiteProfile*> sites;
    for (SiteProfile& site : config.sites)
        if (!site.definitionFile.empty()) {
            files.push_back(InFolder(folder, site.definitionFile));
            if (!site.cookieFile.empty()) site.cookieFile = InFolder(folder, site.cookieFile);
            if (!site.credentialsFile.empty())
                site.credentialsFile = InFolder(folder, site.credentialsFile);
            sites.push_back(&site);
        }
    std::vector<DefinitionRead> read = ReadDefinitions(files);
    for (size_t i = 0; i < read.size(); ++i) {
        if (!read[i].ok) return read[i].why.insert(0, files[i] + ":");
        if (std::string wrong = ApplyDefinition(*sites[i], *read[i].definition, config, configFile);
            !wrong.empty())
            return wrong;
        sites[i]->definition = std::move(read[i].definition);
        sites[i]->definitionDigest = FileDigest(files[i]);
    }
    if (std::string why = SetStateDir(config.gateway, folder); !why.empty()) {
        const auto it = config.gateway.lines.find("state_dir");
        return Where(config, configFile,
                     it == config.gateway.lines.end() ? config.gateway.line : it->second) +
               ": " + why;
    }
    std::string why;
    auto key = TicketKey::Load(InFolder(folder, config.gateway.secretFile), why);
    if (!key) return Where(config, configFile, config.gateway.line) + ": " + why;
    config.gateway.key = std::make_shared<TicketKey>(std::move(*key));
    return {};
}
