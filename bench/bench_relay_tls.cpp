// The same uncached search through the relay from a plain HTTP site, an HTTPS site (certificate
// made now with openssl, connections reused) and a site that gzips its pages, in one run, with
// wrk (2 threads, 16 connections). Everything runs in this process on loopback.
// Run: build/bin/bench_relay_tls [seconds]   (needs openssl and wrk)

#include "DemoServices.h"
#include "demo-site/DemoSite.h"
#include "relay/Relay.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdio>
#include <map>
#include <mutex>
#include <zlib.h>

namespace {

std::string Gzip(const std::string& data)
{
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY); // 16: a gzip wrapper
    std::string out(compressBound(uLong(data.size())) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

/** The demo site's profile, at another address. */
SiteProfile Profile(const std::string& name, const std::string& base)
{
    const UrlOrigin o = ParseOrigin(base);
    SiteProfile p = DemoProfile(o.port);
    p.name = name;
    p.scheme = o.scheme;
    p.base = base;
    return p;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QString seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("6");
    QTemporaryDir dir;
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                   "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                   dir.filePath(QStringLiteral("key.pem")), "-out",
                   dir.filePath(QStringLiteral("cert.pem"))});
    openssl.waitForFinished();
    QFile key(dir.filePath(QStringLiteral("key.pem"))),
        cert(dir.filePath(QStringLiteral("cert.pem")));
    key.open(QIODevice::ReadOnly);
    cert.open(QIODevice::ReadOnly);

    const DemoSite demo(DemoSite::BuiltInCatalogue());
    const auto serveDemo = [&demo](const ServiceRequest& q, ServiceResponse& r) {
        demo.Handle(q, r);
    };
    HttpService plain(serveDemo), tls(serveDemo);
    // Compressed once per page, as a site's front cache would: the relay's decoding is measured.
    std::mutex mutex;
    std::map<std::string, std::string> compressed;
    HttpService gzip([&](const ServiceRequest& q, ServiceResponse& r) {
        demo.Handle(q, r);
        std::lock_guard lock(mutex);
        auto [it, fresh] = compressed.try_emplace(q.target);
        if (fresh) it->second = Gzip(r.body);
        r.body = it->second;
        r.headers["Content-Encoding"] = "gzip";
    });
    HttpService::Options options;
    options.maxConnectionsPerClient = 1024;
    plain.start(options);
    gzip.start(options);
    options.tlsKey = key.readAll().toStdString();
    options.tlsCert = cert.readAll().toStdString();
    tls.start(options);

    RelayConfig config;
    config.cacheTime = std::chrono::seconds(0);
    config.maxConcurrentFetches = 64;
    config.maxConnectionsPerClient = 1024;
    const std::string plainBase = "http://127.0.0.1:" + std::to_string(plain.port());
    const std::string tlsBase = "https://127.0.0.1:" + std::to_string(tls.port());
    const std::string gzipBase = "http://127.0.0.1:" + std::to_string(gzip.port());
    config.sites = {Profile("plain", plainBase), Profile("tls", tlsBase),
                    Profile("gzip", gzipBase)};
    config.sites[1].caFile = cert.fileName().toStdString();
    Relay relay(config, [](const std::string&) {});
    HttpService front(
        [&relay](const ServiceRequest& q, ServiceResponse& r) { relay.Handle(q, r); });
    HttpService::Options frontOptions = relay.ServiceOptions();
    frontOptions.port = 0;
    front.start(frontOptions);

    std::printf("uncached search \"Matrix\" through the relay, wrk -t2 -c16 -d%ss\n",
                qPrintable(seconds));
    for (const auto& [label, base] :
         {std::pair{"plain HTTP", plainBase}, std::pair{"HTTPS", tlsBase},
          std::pair{"HTTP, gzip", gzipBase}}) {
        const QString url =
            QStringLiteral("http://127.0.0.1:%1/moviejk/Find.php?url=%2/s.php?q=Matrix")
                .arg(front.port())
                .arg(QString::fromStdString(base));
        QProcess wrk;
        wrk.start(QStringLiteral("wrk"), {"-t2", "-c16", "-d" + seconds + "s", "--latency", url});
        wrk.waitForFinished(120000);
        const QString out = QString::fromUtf8(wrk.readAllStandardOutput());
        const auto grab = [&out](const QString& pattern) {
            const auto m =
                QRegularExpression(pattern, QRegularExpression::MultilineOption).match(out);
            return m.hasMatch() ? m.captured(1) : QStringLiteral("?");
        };
        std::printf("%-12s %10s req/s   p50 %8s   p99 %8s\n", label,
                    qPrintable(grab(QStringLiteral("Requests/sec:\\s+(\\S+)"))),
                    qPrintable(grab(QStringLiteral("^\\s+50%\\s+(\\S+)"))),
                    qPrintable(grab(QStringLiteral("^\\s+99%\\s+(\\S+)"))));
    }
}
