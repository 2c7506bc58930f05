// The program's download of a magnet-only hit through a running relay on loopback: time from its
// POST /download.php to the .torrent, each a fresh torrent fetched from a seeder in this process
// (p50, p90 of 50), then the same downloads answered from the relay's cache, and the relay's
// memory (a child process) with 100 torrents fetched and cached.
// Run: build/bin/bench_magnet_gateway [relay port]

#include "BenchCommon.h"
#include "TestSwarm.h"
#include "platform/core/HttpCall.h"
#include "serve/HttpService.h"

#include <libtorrent/torrent_info.hpp>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <vector>

namespace {

constexpr int kTorrents = 100;
constexpr int kTimed = 50;

const char kDefinition[] = "id: swarm\nname: Swarm Site\nlinks: [\"http://127.0.0.1/\"]\n"
                           "search:\n  paths: [{path: search}]\n"
                           "  inputs: {q: \"{{ .Keywords }}\"}\n"
                           "  rows: {selector: div.r}\n  fields:\n"
                           "    title: {selector: a.name}\n"
                           "    magnet: {selector: a.m, attribute: href}\n";

QString Hex(const lt::sha1_hash& h)
{
    return QString::fromLatin1(QByteArray(h.data(), int(lt::sha1_hash::size())).toHex());
}

QString GetGb(const QString& url)
{
    HttpCall call;
    call.url = url;
    QStringDecoder decode("GB18030");
    return decode.decode(PerformHttp(call).body);
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
    const int port = argc > 1 ? std::atoi(argv[1]) : 18991;
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();

    Seeder seeder; // on loopback only
    std::vector<QString> hashes;
    for (int i = 0; i < kTorrents; ++i) {
        const MadeTorrent made = MakeTorrent(dir.path(), QStringLiteral("film%1").arg(i), Kind::V1);
        seeder.Seed(made, dir.path());
        hashes.push_back(Hex(made.info->info_hashes().v1));
    }
    while (!seeder.ready())
        QThread::msleep(10);
    const QString peer = QStringLiteral("127.0.0.1:%1").arg(seeder.port());

    // The site: the search for "filmN" lists torrent N, its magnet naming only the seeder.
    HttpService site([&hashes, &peer](const ServiceRequest& q, ServiceResponse& r) {
        const QString target = QString::fromStdString(q.target);
        const int n = target.section(QStringLiteral("q=film"), 1).section(u'&', 0, 0).toInt();
        r.contentType = "text/html; charset=utf-8";
        r.body =
            QStringLiteral("<div class=r><a class=name href=/d/%1>Film %1</a>"
                           "<a class=m href=\"magnet:?xt=urn:btih:%2&amp;x.pe=%3\">m</a></div>")
                .arg(n)
                .arg(hashes[size_t(n) % hashes.size()], peer)
                .toStdString();
    });
    site.start({});
    {
        QFile def(dir.filePath(QStringLiteral("swarm.yml")));
        def.open(QIODevice::WriteOnly);
        def.write(kDefinition);
        QFile conf(dir.filePath(QStringLiteral("relay.conf")));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("[relay]\nlisten = 127.0.0.1:%1\ncache_seconds = 0\n"
                                  "[gateway]\nbase = http://gateway.test\nsecret_file = secret\n"
                                  "dht = off\nbt_listen = 127.0.0.1:0\n"
                                  "[site swarm]\ndefinition = swarm.yml\n"
                                  "base = http://127.0.0.1:%2\n")
                       .arg(port)
                       .arg(site.port())
                       .toUtf8());
    }
    QProcess relay;
    relay.setProcessChannelMode(QProcess::ForwardedChannels);
    relay.start(QCoreApplication::applicationDirPath() + QStringLiteral("/reelmate-relay"),
                {QStringLiteral("--config"), dir.filePath(QStringLiteral("relay.conf"))});
    relay.waitForStarted();
    const QString relayUrl = QStringLiteral("http://127.0.0.1:%1").arg(port);
    for (int i = 0; i < 100; ++i) { // the relay is up once /livez answers
        HttpCall live;
        live.url = relayUrl + QStringLiteral("/livez");
        if (PerformHttp(live).status == 200) break;
        QThread::msleep(50);
    }
    if (relay.state() != QProcess::Running) return 1; // it said why
    const QByteArray rssBefore = Status(relay.processId(), "VmRSS:");

    // As the program does: search, the film page's link, then the POST (the only part timed).
    std::vector<QByteArray> bodies;
    for (int i = 0; i < kTorrents; ++i) {
        const QStringList hit =
            GetGb(relayUrl + QStringLiteral("/moviejk/Find.php?url=http://gateway.test/"
                                            "s.php?q=film%1")
                                 .arg(i))
                .split(u'|', Qt::SkipEmptyParts);
        const QStringList torrent =
            GetGb(relayUrl + QStringLiteral("/moviejk/Down.php?url=http://gateway.test") +
                  hit.value(1))
                .split(u'|', Qt::SkipEmptyParts);
        bodies.push_back(torrent.value(1).section(u'?', 1).toUtf8());
    }
    HttpSession session;
    int failures = 0;
    const auto post = [&](int i) {
        HttpCall call;
        call.method = "POST";
        call.url = relayUrl + QStringLiteral("/download.php");
        call.body = bodies[size_t(i)];
        call.headers = {"Content-Type: application/x-www-form-urlencoded"};
        QElapsedTimer t;
        t.start();
        const HttpOutcome out = PerformHttp(call, &session);
        const double ms = double(t.nsecsElapsed()) / 1e6;
        lt::error_code ec;
        const lt::torrent_info got(out.body.toStdString(), ec, lt::from_span);
        if (out.status != 200 || ec || Hex(got.info_hashes().v1) != hashes[size_t(i)]) {
            std::fprintf(stderr, "film%d: %ld %s\n", i, out.status, out.body.left(200).data());
            ++failures;
        }
        return ms;
    };
    std::vector<double> fresh, cached;
    for (int i = 0; i < kTorrents; ++i) {
        const double ms = post(i);
        if (i < kTimed) fresh.push_back(ms);
    }
    // A relay that could not listen has ended by now: what answered was another one.
    if (relay.state() != QProcess::Running) return 1;
    const QByteArray rssCached = Status(relay.processId(), "VmRSS:");
    const QByteArray peak = Status(relay.processId(), "VmHWM:");
    for (int i = 0; i < kTimed; ++i)
        cached.push_back(post(i));
    std::printf("POST /download.php to .torrent, fresh torrents from the swarm (%d): p50 %.1f ms "
                "p90 %.1f ms\n",
                kTimed, Percentile(fresh, 0.5), Percentile(fresh, 0.9));
    std::printf("the same from the relay's cache (%d): p50 %.2f ms  p90 %.2f ms\n", kTimed,
                Percentile(cached, 0.5), Percentile(cached, 0.9));
    std::printf("relay memory: VmRSS %s at start, %s with %d torrents fetched and cached "
                "(peak %s)\n",
                rssBefore.constData(), rssCached.constData(), kTorrents, peak.constData());
    std::printf("failures: %d\n", failures);
    relay.terminate();
    relay.waitForFinished();
    return failures == 0 ? 0 : 1;
}
