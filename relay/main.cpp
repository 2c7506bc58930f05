// reelmate-relay: see --help.
#include "relay/Relay.h"
#include "relay/RelayConfigFile.h"
#include "relay/catalogue/Catalogue.h"
#include "relay/catalogue/CatalogueFetch.h"
#include "relay/catalogue/SiteInstall.h"
#include "relay/definitions/Definition.h"
#include "relay/gateway/TerminalLogin.h"
#include "serve/ServiceCommandLine.h"
#include "serve/ServiceMain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <string>
#include <sys/prctl.h>

namespace {

/** Where the configuration comes from, as the command line said: read the same way at start
 *  and on every reload. */
struct ConfigSource {
    std::string path;
    std::string secretFile;
    std::string stateDir;
    QString listenAddress; // --listen, over the file's
    int listenPort = 0;

    std::string Load(RelayConfig& config) const
    {
        std::string error = LoadRelayConfigFile(path, secretFile, config, stateDir);
        // Passwords and keys stay out of core dumps (and other users' debuggers).
        for (const SiteProfile& site : config.sites)
            if (error.empty() && !site.secrets.empty()) prctl(PR_SET_DUMPABLE, 0);
        if (error.empty() && !listenAddress.isEmpty()) {
            config.listenAddress = listenAddress.toStdString();
            config.listenPort = listenPort;
        }
        return error;
    }
};

/** SIGHUP: the configuration, definitions and credentials read and checked anew, then in force
 *  for new requests; a fault changes nothing. */
void Reload(const ConfigSource& source, Relay& relay)
{
    RelayConfig config;
    if (const std::string error = source.Load(config); !error.empty()) {
        std::fprintf(stderr, "relay: %s; keeping the running configuration\n", error.c_str());
        return;
    }
    const size_t sites = config.sites.size();
    const std::vector<std::string> restart = relay.Reload(std::move(config));
    for (const std::string& line : restart)
        std::fprintf(stderr, "relay: %s\n", line.c_str());
    std::fprintf(stderr, "relay: reloaded, %zu site(s)\n", sites);
}

/** The configuration for a command that reads it once: a fault ends the process with
 *  "FILE:LINE: reason". */
RelayConfig LoadConfig(const ServiceArguments& args)
{
    RelayConfig config;
    const std::string error =
        LoadRelayConfigFile(args.config.toStdString(), args.secretFile.toStdString(), config,
                            args.stateDir.toStdString());
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(2);
    }
    return config;
}

/** reelmate-relay --update-catalogue [URL]: the community's definitions into the catalogue. */
int UpdateCatalogue(const RelayConfig& config, const QStringList& arguments)
{
    const std::string where =
        arguments.isEmpty() ? kDefaultCatalogueUrl : arguments.front().toStdString();
    QByteArray bytes;
    std::string why;
    if (!FetchCatalogueArchive(where, bytes, why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    const DefinitionArchive archive = ReadDefinitionArchive(bytes);
    if (archive.fault != ArchiveFault::None) {
        std::fprintf(stderr, "%s: refused: %s\n", where.c_str(), archive.why.c_str());
        return 1;
    }
    if (why = InstallCatalogue(config.gateway.magnet.stateDir, archive); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    std::vector<CatalogueEntry> entries;
    const std::string dir = CatalogueDir(config.gateway.magnet.stateDir);
    ReadCatalogue(dir, {}, entries, why);
    const auto servable = std::count_if(entries.begin(), entries.end(),
                                        [](const CatalogueEntry& e) { return e.servable; });
    const std::string counts = std::to_string(entries.size()) + " definitions read into " + dir +
                               "; the relay can serve " + std::to_string(servable) +
                               " of them (--catalogue lists them)";
    std::printf("%s\n", counts.c_str());
    return 0;
}

/** reelmate-relay --catalogue [WORD]: one line per definition of the catalogue. */
int ListCatalogue(const RelayConfig& config, const QStringList& arguments)
{
    std::vector<CatalogueEntry> entries;
    std::string why;
    if (!ReadCatalogue(CatalogueDir(config.gateway.magnet.stateDir),
                       arguments.isEmpty() ? std::string() : arguments.front().toStdString(),
                       entries, why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    for (const CatalogueEntry& e : entries)
        std::printf("%-28s %-12s %-7s %s\n", e.name.c_str(), e.type.empty() ? "-" : e.type.c_str(),
                    e.language.empty() ? "-" : e.language.c_str(),
                    e.servable ? "ok" : e.why.c_str());
    return 0;
}

/** --add-site and --remove-site: 0 done, 1 refused, 2 misuse. */
int ChangeSite(const ServiceArguments& args)
{
    SiteChange change;
    if (args.siteCommand == QLatin1String("add-site")) {
        std::vector<std::pair<std::string, std::string>> settings;
        for (const QString& pair : args.siteArguments) {
            const qsizetype eq = pair.indexOf(u'=');
            std::string key = pair.left(eq).trimmed().toStdString();
            std::string value = pair.mid(eq + 1).trimmed().toStdString();
            // KEY=- : the value from stdin, so that a password is never in the process list.
            if (value == "-" && !AskLine(key + ": ", stdin, stderr, true, value)) {
                std::fprintf(stderr, "no value for %s on stdin\n", key.c_str());
                return 2;
            }
            settings.emplace_back(std::move(key), std::move(value));
        }
        change = AddSite(args.config.toStdString(), args.secretFile.toStdString(),
                         args.site.toStdString(), settings, args.stateDir.toStdString());
    } else {
        change = RemoveSite(args.config.toStdString(), args.secretFile.toStdString(),
                            args.site.toStdString(), args.stateDir.toStdString());
    }
    std::fprintf(change.kind == SiteChangeKind::Done ? stdout : stderr, "%s\n",
                 change.message.c_str());
    return change.kind == SiteChangeKind::Done ? 0 : change.kind == SiteChangeKind::Refused ? 1 : 2;
}

/** The catalogue's commands, which read and change the configuration rather than serve it. */
int CatalogueCommand(const ServiceArguments& args)
{
    if (args.siteCommand == QLatin1String("add-site") ||
        args.siteCommand == QLatin1String("remove-site"))
        return ChangeSite(args);
    const RelayConfig config = LoadConfig(args);
    if (!config.gateway.enabled) {
        std::fprintf(stderr, "%s has no [gateway]: the catalogue's sites are served through it\n",
                     qPrintable(args.config));
        return 2;
    }
    return args.siteCommand == QLatin1String("catalogue")
               ? ListCatalogue(config, args.siteArguments)
               : UpdateCatalogue(config, args.siteArguments);
}

/** reelmate-relay --check SITE QUERY: one search through the profile, its rows, what failed. */
int Check(RelayConfig config, const QString& siteName, const QString& query)
{
    size_t index = config.sites.size();
    for (size_t i = 0; i < config.sites.size(); ++i) {
        config.sites[i].canary.clear(); // nothing but the search asked for
        if (config.sites[i].name == siteName.toStdString()) index = i;
    }
    if (index == config.sites.size()) {
        std::fprintf(stderr, "no site named %s in the configuration\n", qPrintable(siteName));
        return 2;
    }
    Relay relay(config,
                [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    const Relay::Probe probe = relay.ProbeSearch(index, query.toStdString());
    for (const auto& [first, second] : probe.rows)
        std::printf("%s | %s\n", first.c_str(), second.c_str());
    std::fprintf(stderr, "%s: %zu row(s) in %.0f ms%s%s\n", config.sites[index].base.c_str(),
                 probe.rows.size(), probe.ms, probe.error.empty() ? "" : "; ", probe.error.c_str());
    return probe.status == 200 && !probe.rows.empty() ? 0 : 1;
}

/** reelmate-relay --check-definition FILE...: each file (or each .yml of a folder) read as at
 *  start; one line each, and 0 only when every one is ok. */
int CheckDefinitions(const QStringList& paths)
{
    QStringList files;
    for (const QString& path : paths) {
        if (QFileInfo(path).isDir()) {
            const QDir dir(path);
            for (const QString& name : dir.entryList(
                     {QStringLiteral("*.yml"), QStringLiteral("*.yaml")}, QDir::Files, QDir::Name))
                files << dir.filePath(name);
        } else {
            files << path;
        }
    }
    std::vector<std::string> names;
    for (const QString& file : files)
        names.push_back(file.toStdString());
    int failed = 0;
    const std::vector<DefinitionRead> read = ReadDefinitions(names);
    for (size_t i = 0; i < read.size(); ++i) {
        if (read[i].ok) {
            std::printf("%s: ok\n", names[i].c_str());
        } else {
            std::printf("%s:%s\n", names[i].c_str(), read[i].why.c_str());
            ++failed;
        }
    }
    return failed || files.isEmpty() ? 1 : 0;
}

} // namespace

int main(int argc, char* argv[])
{
    // Every serving thread would otherwise get a malloc arena of its own, each keeping the
    // freed tree of the last large page it parsed.
    mallopt(M_ARENA_MAX, 2);
    BlockServiceSignals(); // before any thread starts: only the waiting thread takes them
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("reelmate-relay"));
    QCoreApplication::setApplicationVersion(QStringLiteral(REELMATE_VERSION));
    const ServiceArguments args = ParseServiceArguments(
        QCoreApplication::arguments(),
        QStringLiteral("Fetches configured movie sites' pages for Reelmate and answers them as "
                       "flat lists."),
        QStringLiteral("Read the configuration from FILE (default: the built-in one)."), true);
    if (!args.checkDefinitions.isEmpty()) return CheckDefinitions(args.checkDefinitions);
    if (!args.siteCommand.isEmpty()) return CatalogueCommand(args);
    const ConfigSource source{
        (args.config.isEmpty() ? QStringLiteral(":/relay/relay.conf") : args.config).toStdString(),
        args.secretFile.toStdString(), args.stateDir.toStdString(), args.listenAddress,
        args.listenPort};
    RelayConfig config;
    if (const std::string error = source.Load(config); !error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    if (!args.check.isEmpty()) return Check(config, args.check[0], args.check[1]);
    if (!args.login.isEmpty())
        return TerminalLogin(config, args.login.toStdString(), stdin, stderr);
    Relay relay(config);
    HttpService service(
        [&relay](const ServiceRequest& req, ServiceResponse& res) { relay.Handle(req, res); });
    return RunService(
        "relay", service, relay.ServiceOptions(),
        [&](int port) {
            return "on " + config.listenAddress + ":" + std::to_string(port) + ", " +
                   std::to_string(config.sites.size()) + " site(s)";
        },
        [&relay] { relay.Stop(); }, // answers under way give up their fetches and say 503
        [&] { Reload(source, relay); });
}
