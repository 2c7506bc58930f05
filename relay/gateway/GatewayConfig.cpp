#include "relay/RelayConfig.h"
#include "relay/definitions/Definition.h"
#include "relay/gateway/DownloadTicket.h"

#include "platform/core/HttpCall.h"

#include <QString>
#include <QStringDecoder>

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

std::string InFolder(const std::string& folder, const std::string& name)
{
    if (name.empty() || name[0] == '/' || folder.empty()) return name;
    return folder + "/" + name;
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

/** The site's settings and base from its definition; empty when they fit, else why not. */
std::string ApplyDefinition(SiteProfile& site, const Definition& definition,
                            const std::string& configFile)
{
    const auto at = [&](const std::string& key) {
        const auto it = site.lines.find(key);
        return configFile + ":" + std::to_string(it == site.lines.end() ? 0 : it->second) +
               ": site " + site.name + ": ";
    };
    for (const auto& [key, value] : site.settings)
        if (!definition.settings.count(key))
            return at("config." + key)
                .append(definition.file)
                .append(" has no setting ")
                .append(key);
    for (const auto& [key, value] : definition.settings)
        site.settings.emplace(key, value); // the file's default where none is configured
    if (site.base.empty())
        if (std::string why = SetSiteBase(site, definition.links.front()); !why.empty())
            return at("definition") + definition.file + ": links: " + why;
    if (definition.loginMethod == "cookie" && site.cookie.empty())
        return at("definition") + definition.file +
               " logs in with a cookie: give it as cookie = NAME=VALUE; ...";
    if (!QStringDecoder(definition.encoding.c_str()).isValid())
        return at("definition") + definition.file + ": unknown encoding " + definition.encoding;
    site.privateBase = PrivateHost(site.host);
    return {};
}

} // namespace

std::string LoadGateway(RelayConfig& config, const std::string& folder,
                        const std::string& configFile)
{
    if (!config.gateway.enabled) return {};
    // The sites the gateway lists are definitions of its folder, with a section or without.
    for (const std::string& name : config.gateway.sites) {
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
    std::vector<std::string> files;
    std::vector<SiteProfile*> sites;
    for (SiteProfile& site : config.sites)
        if (!site.definitionFile.empty()) {
            files.push_back(InFolder(folder, site.definitionFile));
            sites.push_back(&site);
        }
    std::vector<DefinitionRead> read = ReadDefinitions(files);
    for (size_t i = 0; i < read.size(); ++i) {
        if (!read[i].ok) return read[i].why.insert(0, files[i] + ":");
        if (std::string wrong = ApplyDefinition(*sites[i], read[i].definition, configFile);
            !wrong.empty())
            return wrong;
        sites[i]->definition = std::make_shared<Definition>(std::move(read[i].definition));
    }
    std::string why;
    auto key = TicketKey::Load(InFolder(folder, config.gateway.secretFile), why);
    if (!key) return configFile + ":" + std::to_string(config.gateway.line) + ": " + why;
    config.gateway.key = std::make_shared<TicketKey>(std::move(*key));
    return {};
}
