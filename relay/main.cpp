// reelmate-relay: see --help.
#include "relay/Relay.h"
#include "relay/RelayConfigFile.h"
#include "relay/definitions/Definition.h"
#include "serve/ServiceCommandLine.h"
#include "serve/ServiceMain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <malloc.h>
#include <string>

namespace {

/** Where the configuration comes from, as the command line said: read the same way at start
 *  and on every reload. */
struct ConfigSource {
    std::string path;
    std::string secretFile;
    QString listenAddress; // --listen, over the file's
    int listenPort = 0;

    std::string Load(RelayConfig& config) const
    {
        std::string error = LoadRelayConfigFile(path, secretFile, config);
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
    const ConfigSource source{
        (args.config.isEmpty() ? QStringLiteral(":/relay/relay.conf") : args.config).toStdString(),
        args.secretFile.toStdString(), args.listenAddress, args.listenPort};
    RelayConfig config;
    if (const std::string error = source.Load(config); !error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    if (!args.check.isEmpty()) return Check(config, args.check[0], args.check[1]);
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
