// reelmate-demo-site: see --help.
#include "demo-site/DemoSite.h"
#include "serve/ServiceCommandLine.h"
#include "serve/ServiceMain.h"

#include <QCoreApplication>
#include <QFile>

#include <chrono>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("reelmate-demo-site"));
    QCoreApplication::setApplicationVersion(QStringLiteral(REELMATE_VERSION));
    const ServiceArguments args = ParseServiceArguments(
        QCoreApplication::arguments(),
        QStringLiteral("A demo movie site for Reelmate: search pages, film pages and torrents "
                       "on loopback."),
        QStringLiteral("Read the film catalogue from FILE (tab-separated; default: the built-in "
                       "one)."));
    QList<Film> films = DemoSite::BuiltInCatalogue();
    if (!args.config.isEmpty()) {
        QFile file(args.config);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "%s: cannot read: %s\n", qPrintable(args.config),
                         qPrintable(file.errorString()));
            return 2;
        }
        films = DemoSite::ParseCatalogue(QString::fromUtf8(file.readAll()));
    }
    const DemoSite site(films);
    HttpService service([&site](const ServiceRequest& req, ServiceResponse& res) {
        const auto start = std::chrono::steady_clock::now();
        if (req.target == "/healthz")
            res.body = "ok\n";
        else
            site.Handle(req, res);
        const std::chrono::duration<double, std::milli> ms =
            std::chrono::steady_clock::now() - start;
        std::fprintf(stderr, "%s\n", AccessLogLine(req, res, ms.count()).c_str());
    });
    HttpService::Options options;
    options.address = args.listenAddress.isEmpty() ? "127.0.0.1" : args.listenAddress.toStdString();
    options.port = args.listenAddress.isEmpty() ? 18081 : args.listenPort;
    return RunService("demo site", service, options, [&](int port) {
        return std::to_string(films.size()) + " films on http://" + options.address + ":" +
               std::to_string(port);
    });
}
