// reelmate-relay: see --help.
#include "relay/Relay.h"
#include "relay/definitions/Definition.h"
#include "relay/gateway/TerminalLogin.h"
#include "serve/ServiceCommandLine.h"
#include "serve/ServiceMain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <malloc.h>
#include <sys/prctl.h>
#include <string>

namespace {

/** The configuration, parsed and checked; a fault ends the process with "FILE:LINE: reason". */
RelayConfig LoadConfig(const QString& path, const QString& secretFile)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "%s: cannot read: %s\n", qPrintable(path),
                     qPrintable(file.errorString()));
        std::exit(2);
    }
    // Read no more than a configuration can be: /dev/zero or a log named by mistake is refused.
    constexpr qint64 kMaxConfig = 1 << 20;
    const QByteArray text = file.read(kMaxConfig + 1);
    if (text.size() > kMaxConfig) {
        std::fprintf(stderr, "%s: larger than %s bytes: not a configuration\n", qPrintable(path),
                     std::to_string(kMaxConfig).c_str());
        std::exit(2);
    }
    RelayConfig config;
    std::string error;
    if (!ParseRelayConfig(text.toStdString(), config, error) ||
        !(error = CheckRelayConfig(config)).empty()) {
        std::fprintf(stderr, "%s:%s\n", qPrintable(path), error.c_str());
        std::exit(2);
    }
    if (!secretFile.isEmpty() && config.gateway.enabled)
        config.gateway.secretFile = QFileInfo(secretFile).absoluteFilePath().toStdString();
    // Definition files and the gateway's secret are named relative to the configuration.
    const QString folder = path.startsWith(u':') ? QString() : QFileInfo(path).absolutePath();
    error = LoadGateway(config, folder.toStdString(), path.toStdString());
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(2);
    }
    return config;
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
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("reelmate-relay"));
    QCoreApplication::setApplicationVersion(QStringLiteral(REELMATE_VERSION));
    const ServiceArguments args = ParseServiceArguments(
        QCoreApplication::arguments(),
        QStringLiteral("Fetches configured movie sites' pages for Reelmate and answers them as "
                       "flat lists."),
        QStringLiteral("Read the configuration from FILE (default: the built-in one)."), true);
    if (!args.checkDefinitions.isEmpty()) return CheckDefinitions(args.checkDefinitions);
    RelayConfig config =
        LoadConfig(args.config.isEmpty() ? QStringLiteral(":/relay/relay.conf") : args.config,
                   args.secretFile);
    // Passwords and keys stay out of core dumps (and other users' debuggers).
    for (const SiteProfile& site : config.sites)
        if (!site.secrets.empty()) prctl(PR_SET_DUMPABLE, 0);
    if (!args.listenAddress.isEmpty()) {
        config.listenAddress = args.listenAddress.toStdString();
        config.listenPort = args.listenPort;
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
        [&relay] { relay.Stop(); }); // answers under way give up their fetches and say 503
}
