// reelmate-demo-site [--listen ADDRESS:PORT] [--catalogue FILE]
#include "demo-site/DemoSite.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QString listen = QStringLiteral("127.0.0.1:18081");
    QString catalogue;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--listen")
            listen = args[i + 1];
        else if (args[i] == u"--catalogue")
            catalogue = args[i + 1];
    }
    QList<Film> films = DemoSite::BuiltInCatalogue();
    if (!catalogue.isEmpty()) {
        QFile file(catalogue);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(catalogue));
            return 1;
        }
        films = DemoSite::ParseCatalogue(QString::fromUtf8(file.readAll()));
    }
    const DemoSite site(films);
    HttpService service(
        [&site](const ServiceRequest& req, ServiceResponse& res) { site.Handle(req, res); });
    const qsizetype colon = listen.lastIndexOf(u':');
    HttpService::Options options;
    options.address = listen.left(colon).remove(u'[').remove(u']').toStdString();
    options.port = listen.mid(colon + 1).toInt();
    if (!service.start(options)) return 1;
    std::fprintf(stderr, "demo site: %lld films on http://%s\n",
                 static_cast<long long>(films.size()), qPrintable(listen));
    WaitForTermination();
    return 0;
}
