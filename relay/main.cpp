// reelmate-relay [--config FILE]   (without --config: the built-in demo configuration)
#include "relay/Relay.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <malloc.h>

int main(int argc, char* argv[])
{
    // Every serving thread would otherwise get a malloc arena of its own, each keeping the
    // freed tree of the last large page it parsed.
    mallopt(M_ARENA_MAX, 2);
    QCoreApplication app(argc, argv);
    QString path = QStringLiteral(":/relay/relay.conf");
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); ++i)
        if (args[i] == u"--config") path = args[i + 1];
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return 1;
    }
    RelayConfig config;
    std::string error;
    if (!ParseRelayConfig(file.readAll().toStdString(), config, error)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(path), error.c_str());
        return 1;
    }
    Relay relay(config);
    HttpService service(
        [&relay](const ServiceRequest& req, ServiceResponse& res) { relay.Handle(req, res); });
    if (!service.start(relay.ServiceOptions())) return 1;
    std::fprintf(stderr, "relay: http://%s:%d, %zu site(s)\n", config.listenAddress.c_str(),
                 config.listenPort, config.sites.size());
    WaitForTermination();
    return 0;
}
