// A search through the relay's gateway against fetching the same page from the site directly,
// interleaved in one run: a 100 KB page of 50 rows read through an indexer definition, the
// relay a child process with its cache off. Prints p50 and p90 of both, the time to parse the
// page and read its rows in this process, and the relay's memory.
// Run: build/bin/bench_gateway [requests] [relay port]

#include "BenchCommon.h"
#include "platform/core/HttpCall.h"
#include "relay/definitions/Definition.h"
#include "relay/definitions/HtmlDocument.h"
#include "relay/definitions/RowExtraction.h"
#include "serve/HttpService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

/** About 100 KB: 50 rows as a tracker lists them, each with a few cells of text. */
std::string Page()
{
    std::string page = "<!DOCTYPE html><html><head><title>results</title></head><body>"
                       "<table class=torrents><tr><th>name</th><th>size</th><th>notes</th></tr>";
    for (int i = 0; i < 50; ++i) {
        page += "<tr><td class=name><a href=/details/" + std::to_string(i) + ">Film " +
                std::to_string(i) +
                " 2002 1080p BluRay x264</a></td><td class=size>4.3 GB</td>"
                "<td><a href=/get/" +
                std::to_string(i) + ".torrent>torrent</a></td><td>" + std::string(1850, 'x') +
                "</td></tr>";
    }
    return page + "</table></body></html>";
}

double Get(const QString& url, HttpSession& session)
{
    HttpCall call;
    call.url = url;
    QElapsedTimer t;
    t.start();
    const HttpOutcome out = PerformHttp(call, &session);
    if (out.status != 200) std::fprintf(stderr, "%s: %ld\n", qPrintable(url), out.status);
    return double(t.nsecsElapsed()) / 1e6;
}

QByteArray Status(qint64 pid, const char* key)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) return {};
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith(key)) return line.mid(qsizetype(qstrlen(key))).trimmed();
    return {};
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? std::atoi(argv[1]) : 400;
    const int port = argc > 2 ? std::atoi(argv[2]) : 18990;
    const std::string page = Page();
    HttpService site([&page](const ServiceRequest&, ServiceResponse& r) {
        r.body = page;
        r.contentType = "text/html; charset=utf-8";
    });
    site.start({});
    const QString siteUrl = QStringLiteral("http://127.0.0.1:%1").arg(site.port());

    QTemporaryDir dir;
    {
        QFile def(dir.filePath(QStringLiteral("bench.yml")));
        def.open(QIODevice::WriteOnly);
        def.write(kBenchDefinition);
        QFile conf(dir.filePath(QStringLiteral("relay.conf")));
        conf.open(QIODevice::WriteOnly);
        conf.write(
            QStringLiteral("[relay]\nlisten = 127.0.0.1:%1\ncache_seconds = 0\n"
                           "[gateway]\nbase = http://gateway.test\nsecret_file = secret\n"
                           "dht = off\nbt_listen = 127.0.0.1:0\n"
                           "[site bench]\ndefinition = bench.yml\nbase = %2\n"
                           "[site xpath]\nbase = %2\n"
                           "search_rows = //table[@class='torrents']//tr[td[@class='name']]\n"
                           "search_title = ./td[@class='name']/a\n"
                           "search_path = ./td[@class='name']/a/@href\n"
                           "film_rows = //tr\nfilm_name = .\nfilm_link = .\n")
                .arg(port)
                .arg(siteUrl)
                .toUtf8());
    }
    QProcess relay;
    relay.setProcessChannelMode(QProcess::ForwardedChannels);
    relay.start(QCoreApplication::applicationDirPath() + QStringLiteral("/reelmate-relay"),
                {QStringLiteral("--config"), dir.filePath(QStringLiteral("relay.conf"))});
    relay.waitForStarted();
    const QString relayUrl = QStringLiteral("http://127.0.0.1:%1").arg(port);
    HttpSession toSite, toRelay;
    for (int i = 0; i < 100; ++i) { // the relay is up once /livez answers
        HttpCall live;
        live.url = relayUrl + QStringLiteral("/livez");
        if (PerformHttp(live).status == 200) break;
        QThread::msleep(50);
    }
    if (relay.state() != QProcess::Running) return 1; // it said why
    std::vector<double> direct, gateway, xpath;
    for (int i = 0; i < n + 20; ++i) {
        const QString q = QStringLiteral("film%1").arg(i);
        const double d = Get(siteUrl + QStringLiteral("/search?q=") + q, toSite);
        const double g = Get(relayUrl +
                                 QStringLiteral("/moviejk/Find.php?url=http://gateway.test/"
                                                "s.php?q=") +
                                 q,
                             toRelay);
        const double x = Get(relayUrl + QStringLiteral("/moviejk/Find.php?url=") + siteUrl +
                                 QStringLiteral("/search?q=") + q,
                             toRelay);
        if (i >= 20) { // the first ones warm connections and caches up
            direct.push_back(d);
            gateway.push_back(g);
            xpath.push_back(x);
        }
    }
    std::printf("page %zu bytes, 50 rows, %d requests each\n", page.size(), n);
    std::printf("direct:  p50 %.2f ms  p90 %.2f ms\n", Percentile(direct, 0.5),
                Percentile(direct, 0.9));
    std::printf("gateway: p50 %.2f ms  p90 %.2f ms  (+%.2f ms at p50)\n", Percentile(gateway, 0.5),
                Percentile(gateway, 0.9), Percentile(gateway, 0.5) - Percentile(direct, 0.5));

    std::printf("xpath:   p50 %.2f ms  p90 %.2f ms  (+%.2f ms at p50; the same page through an "
                "XPath profile, libxml2)\n",
                Percentile(xpath, 0.5), Percentile(xpath, 0.9),
                Percentile(xpath, 0.5) - Percentile(direct, 0.5));
    CompiledDefinition definition;
    std::string why;
    ParseDefinition(kBenchDefinition, "bench.yml", definition, why);
    std::vector<double> parse, read;
    size_t rows = 0;
    for (int i = 0; i < 200; ++i) {
        QElapsedTimer t;
        t.start();
        const HtmlDocument document(page);
        parse.push_back(double(t.nsecsElapsed()) / 1e6);
        t.restart();
        rows = ExtractRows(definition, document, siteUrl.toStdString() + "/search", {}).rows.size();
        read.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::printf("HTML5 parse (gumbo): p50 %.2f ms per page; reading its %zu rows: p50 %.2f ms\n",
                Percentile(parse, 0.5), rows, Percentile(read, 0.5));
    std::printf("relay memory: peak %s, now %s\n", Status(relay.processId(), "VmHWM:").constData(),
                Status(relay.processId(), "VmRSS:").constData());
    relay.terminate();
    relay.waitForFinished();
    return 0;
}
