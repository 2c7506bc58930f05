// reelmate-relay: see --help.
#include "relay/Relay.h"
#include "serve/ServiceCommandLine.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <malloc.h>

namespace {

/** The configuration, parsed and checked; a fault ends the process with "FILE:LINE: reason". */
RelayConfig LoadConfig(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "%s: cannot read: %s\n", qPrintable(path),
                     qPrintable(file.errorString()));
        std::exit(2);
    }
    RelayConfig config;
    std::string error;
    if (!ParseRelayConfig(file.readAll().toStdString(), config, error) ||
        !(error = CheckRelayConfig(config)).empty()) {
        std::fprintf(stderr, "%s:%s\n", qPrintable(path), error.c_str());
        std::exit(2);
    }
    return config;
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
        QStringLiteral("Read the configuration from FILE (default: the built-in one)."));
    RelayConfig config =
        LoadConfig(args.config.isEmpty() ? QStringLiteral(":/relay/relay.conf") : args.config);
    if (!args.listenAddress.isEmpty()) {
        config.listenAddress = args.listenAddress.toStdString();
        config.listenPort = args.listenPort;
    }
    Relay relay(config);
    HttpService service(
        [&relay](const ServiceRequest& req, ServiceResponse& res) { relay.Handle(req, res); });
    if (!service.start(relay.ServiceOptions())) return 1;
    std::fprintf(stderr, "relay: started on %s:%d, %zu site(s)\n", config.listenAddress.c_str(),
                 service.port(), config.sites.size());
    WaitForTermination();
    std::fprintf(stderr, "relay: stopping\n");
    service.quiesce();
    relay.Stop(); // answers under way give up their fetches and say 503
    service.stop(std::chrono::milliseconds(700));
    std::fprintf(stderr, "relay: stopped\n");
    return 0;
}
