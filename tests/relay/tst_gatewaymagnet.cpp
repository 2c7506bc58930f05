#include "GatewayFront.h"
#include "TestHttpServer.h"
#include "TestSwarm.h"
#include "platform/core/HttpCall.h"
#include "relay/Relay.h"
#include "relay/gateway/SiteSearch.h"
#include "web/TorrentFile.h"

#include <libtorrent/torrent_info.hpp>

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <memory>
#include <mutex>

namespace {

/** A relay with a gateway over one definition site, "swarm", its BitTorrent side on loopback
 *  without the DHT. */
struct MagnetFront : GatewayFront {
    MagnetFront(const QByteArray& definition, const QString& siteBase,
                const QString& gatewayKeys = {})
        : GatewayFront({{QStringLiteral("site.yml"), definition}},
                       gatewayKeys +
                           QStringLiteral("\n[site swarm]\ndefinition = site.yml\nbase = ") +
                           siteBase + u'\n')
    {
    }
};

/** A site whose search page and details page (/d/1) are given; {HASH}, {TRACKER} and {PEER}
 *  in them stand for the swarm's. */
struct SwarmSite {
    TestHttpServer site;
    SwarmSite(const QString& listing, const QString& details)
    {
        site.serve([this, listing, details](const ServiceRequest& q, ServiceResponse& r) {
            r.contentType = "text/html; charset=utf-8";
            const bool page = q.target.rfind("/d/1", 0) == 0;
            r.body = Filled(page ? details : listing).toStdString();
        });
    }
    QString Filled(QString text) const
    {
        std::lock_guard lock(mutex);
        return text.replace(QStringLiteral("{HASH}"), hash)
            .replace(QStringLiteral("{TRACKER}"), tracker)
            .replace(QStringLiteral("{PEER}"), peer);
    }
    mutable std::mutex mutex;
    QString hash, tracker, peer;
};

QByteArray SiteYaml(const char* fields, const char* download = "")
{
    return QByteArray("id: swarm\nname: Swarm Site\nlinks: [\"http://example.invalid/\"]\n"
                      "search:\n  paths: [{path: search}]\n  inputs: {q: \"{{ .Keywords }}\"}\n"
                      "  rows: {selector: div.r}\n  fields:\n"
                      "    title: {selector: a.name}\n") +
           fields + download;
}

/** What transmission-show prints of a .torrent, and its exit code (-1 when it did not run or
 *  finish). */
QString TransmissionShow(const QByteArray& torrent, int& exitCode)
{
    exitCode = -1;
    QTemporaryFile file;
    if (!file.open() || file.write(torrent) != torrent.size() || !file.flush()) return {};
    QProcess show;
    show.start(QStringLiteral("transmission-show"), {file.fileName()});
    if (!show.waitForFinished(30000) || show.exitStatus() != QProcess::NormalExit) return {};
    exitCode = show.exitCode();
    return QString::fromUtf8(show.readAllStandardOutput() + show.readAllStandardError());
}

const char kRow[] = "<div class=r><a class=name href=/d/1>Swarm Film</a>%1</div>";
const char kMagnet[] = "magnet:?xt=urn:btih:{HASH}&amp;dn=swarm&amp;tr={TRACKER}";

} // namespace

/** Rows that lead to a magnet link or an info hash, served as .torrent files fetched from a
 *  swarm made in the test on loopback. */
class TestGatewayMagnet : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void magnetRowsGiveTorrents_data();
    void magnetRowsGiveTorrents();
    void swarmWithoutPeersTimesOut();
    void cacheAnswersWithTheSeederStopped();
    void magnetRowsAreChecked_data();
    void magnetRowsAreChecked();
    void magnetKeysAreChecked_data();
    void magnetKeysAreChecked();
    void healthShowsTheBitTorrentSide();
};

void TestGatewayMagnet::magnetRowsGiveTorrents_data()
{
    QTest::addColumn<QByteArray>("definition");
    QTest::addColumn<QString>("row");     // what the row holds beside its title
    QTest::addColumn<QString>("details"); // the details page
    const QString magnetLink = QStringLiteral("<a class=m href=\"%1\">m</a>").arg(kMagnet);
    QTest::newRow("magnet link as the download field")
        << SiteYaml("    download: {selector: a.m, attribute: href}\n") << magnetLink << QString();
    QTest::newRow("magnet field, no download field")
        << SiteYaml("    magnet: {selector: a.m, attribute: href}\n") << magnetLink << QString();
    QTest::newRow("magnet with only the seeder as x.pe")
        << SiteYaml("    magnet: {selector: a.m, attribute: href}\n")
        << QStringLiteral("<a class=m href=\"magnet:?xt=urn:btih:{HASH}&amp;x.pe={PEER}\">m</a>")
        << QString();
    QTest::newRow("info hash field, trackers in the definition")
        << SiteYaml("    infohash: {selector: span.h}\n", "download:\n  trackers: [{TRACKER}]\n")
        << QStringLiteral("<span class=h>{HASH}</span>") << QString();
    QTest::newRow("download.infohash on the details page")
        << SiteYaml("    details: {selector: a.name, attribute: href}\n",
                    "download:\n  infohash:\n    hash: {selector: span.h}\n"
                    "    title: {selector: h1}\n  trackers: [{TRACKER}]\n")
        << QString() << QStringLiteral("<h1>Swarm Film 1080p</h1><span class=h>{HASH}</span>");
    QTest::newRow("magnet link on the details page")
        << SiteYaml("    details: {selector: a.name, attribute: href}\n",
                    "download:\n  selectors: [{selector: a.m, attribute: href}]\n")
        << QString() << magnetLink;
}

void TestGatewayMagnet::magnetRowsGiveTorrents()
{
    QFETCH(QByteArray, definition);
    QFETCH(QString, row);
    QFETCH(QString, details);
    QTemporaryDir files;
    const MadeTorrent made = MakeTorrent(files.path(), QStringLiteral("film.mkv"), Kind::V1);
    Seeder seeder;
    seeder.Seed(made, files.path());
    QTRY_VERIFY(seeder.ready());
    const int port = seeder.port();
    Tracker tracker(port);
    SwarmSite site(QString::fromLatin1(kRow).arg(row), details);
    site.hash = QString::fromLatin1(made.v1.toHex());
    site.tracker = QString::fromStdString(tracker.url());
    site.peer = QStringLiteral("127.0.0.1:%1").arg(port);
    MagnetFront front(definition.replace("{TRACKER}", tracker.url().c_str()), site.site.url());
    QVERIFY2(front.start(), qPrintable(front.error));

    const QStringList hits = front.hits(QStringLiteral("Swarm"));
    QCOMPARE(hits.size(), 2);
    QCOMPARE(hits[0], QStringLiteral("Swarm Film"));
    // A magnet in the row is known as one at once; one on the details page at the download.
    const QString counted =
        row.isEmpty() ? QStringLiteral("magnets=0") : QStringLiteral("magnets=1");
    QVERIFY2(front.logged(QStringLiteral("Find.php"))
                 .contains(counted + QStringLiteral(" bad_magnets=0")),
             qPrintable(front.logged(QStringLiteral("Find.php"))));
    const QStringList torrent = front.torrent(hits[1]);
    QCOMPARE(torrent.size(), 2);
    QCOMPARE(torrent[0], QStringLiteral("Swarm Film.torrent"));

    const Answer got = front.downloadLink(torrent[1]);
    QVERIFY2(got.status == 200, got.body.constData());
    QVERIFY(IsBencodedDictionary(got.body));
    QCOMPARE(QCryptographicHash::hash(InfoBytes(got.body.toStdString()), QCryptographicHash::Sha1),
             made.v1);
    lt::error_code ec;
    const lt::torrent_info readBack(got.body.toStdString(), ec, lt::from_span);
    QVERIFY2(!ec, ec.message().c_str());
    QCOMPARE(readBack.comment(), std::string("Swarm Site"));
    QCOMPARE(readBack.trackers().empty(), row.contains(u"x.pe"));
    // transmission reads it too, with the file's name and the magnet's info hash.
    int exitCode = -1;
    const QString shown = TransmissionShow(got.body, exitCode);
    QVERIFY2(exitCode == 0, qPrintable(shown));
    QVERIFY2(shown.contains(QStringLiteral("Name: film.mkv")), qPrintable(shown));
    QVERIFY2(shown.contains(QStringLiteral("Hash: ") + QString::fromLatin1(made.v1.toHex())),
             qPrintable(shown));
    QVERIFY(front.logged(QStringLiteral("download.php")).contains(u"metadata=swarm"));
    QCOMPARE(seeder.uploaded(), std::int64_t(0));
}

void TestGatewayMagnet::swarmWithoutPeersTimesOut()
{
    SwarmSite site(QString::fromLatin1(kRow).arg(
                       QStringLiteral("<a class=m href=\"%1\">m</a>").arg(QLatin1String(kMagnet))),
                   {});
    site.hash = QString(40, u'7');
    site.tracker = ClosedPortUrl() + QStringLiteral("/announce");
    MagnetFront front(SiteYaml("    download: {selector: a.m, attribute: href}\n"), site.site.url(),
                      QStringLiteral("magnet_timeout_ms = 1000"));
    QVERIFY2(front.start(), qPrintable(front.error));
    const QStringList hits = front.hits(QStringLiteral("Swarm"));
    QCOMPARE(hits.size(), 2);
    const Answer got = front.downloadLink(front.torrent(hits[1]).value(1));
    QCOMPARE(got.status, 504L);
    QVERIFY2(got.body.contains("no peer sent the torrent&#39;s metadata within 1 s") ||
                 got.body.contains("no peer sent the torrent's metadata within 1 s"),
             got.body.constData());
}

void TestGatewayMagnet::cacheAnswersWithTheSeederStopped()
{
    QTemporaryDir files;
    const MadeTorrent made = MakeTorrent(files.path(), QStringLiteral("film.mkv"), Kind::V1);
    auto seeder = std::make_unique<Seeder>();
    seeder->Seed(made, files.path());
    QTRY_VERIFY(seeder->ready());
    const int port = seeder->port();
    Tracker tracker(port);
    SwarmSite site(QString::fromLatin1(kRow).arg(
                       QStringLiteral("<a class=m href=\"%1\">m</a>").arg(QLatin1String(kMagnet))),
                   {});
    site.hash = QString::fromLatin1(made.v1.toHex());
    site.tracker = QString::fromStdString(tracker.url());
    MagnetFront front(SiteYaml("    download: {selector: a.m, attribute: href}\n"),
                      site.site.url());
    QVERIFY2(front.start(), qPrintable(front.error));
    const QString link = front.torrent(front.hits(QStringLiteral("Swarm")).value(1)).value(1);
    const Answer first = front.downloadLink(link);
    QCOMPARE(first.status, 200L);
    seeder.reset();

    const Answer again = front.downloadLink(link);
    QCOMPARE(again.status, 200L);
    QCOMPARE(again.body, first.body);
    QVERIFY2(front.logged(QStringLiteral("download.php")).contains(u"metadata=cache"),
             qPrintable(front.logged(QStringLiteral("download.php"))));
    QCOMPARE(tracker.started(made.v1), 1);
    // Kept in the state folder, by info hash.
    QVERIFY(QFile::exists(front.dir.filePath(QStringLiteral("reelmate-state/magnets/") +
                                             QString::fromLatin1(made.v1.toHex()) +
                                             QStringLiteral(".info"))));
}

void TestGatewayMagnet::magnetRowsAreChecked_data()
{
    QTest::addColumn<bool>("privateSite");
    QTest::addColumn<QString>("field"); // magnet or infohash
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("hit");
    QTest::addColumn<bool>("bad");
    QTest::addColumn<QString>("url"); // what the ticket carries
    const QString hash(40, u'a');
    const QString magnet = QStringLiteral("magnet:?xt=urn:btih:") + hash;
    const QString own = magnet + QStringLiteral("&tr=http://127.0.0.1:6969/announce"
                                                "&tr=http://t.example/a&x.pe=10.0.0.1:6881"
                                                "&x.pe=198.51.100.7:6881");
    QTest::newRow("a public site: private trackers and peers dropped")
        << false << "magnet" << own << true << false
        << magnet + QStringLiteral("&tr=http://t.example/a&x.pe=198.51.100.7:6881");
    QTest::newRow("a site on loopback: kept")
        << true << "magnet" << own << true << false
        << magnet + QStringLiteral("&tr=http://127.0.0.1:6969/announce&tr=http://t.example/a"
                                   "&x.pe=10.0.0.1:6881&x.pe=198.51.100.7:6881");
    QTest::newRow("a tracker that is no http(s) or udp URL")
        << false << "magnet" << magnet + QStringLiteral("&tr=wss://t.example/a") << true << false
        << magnet;
    QTest::newRow("no info hash") << false << "magnet"
                                  << "magnet:?dn=film&tr=http://t.example/a" << false << true
                                  << QString();
    QTest::newRow("a malformed info hash")
        << false << "magnet"
        << "magnet:?xt=urn:btih:00" << false << true << QString();
    QTest::newRow("a bare info hash") << false << "infohash" << hash << true << false << magnet;
    QTest::newRow("a malformed bare info hash")
        << false << "infohash" << QStringLiteral("xyz") << false << true << QString();
}

void TestGatewayMagnet::magnetRowsAreChecked()
{
    QFETCH(bool, privateSite);
    QFETCH(QString, field);
    QFETCH(QString, value);
    QFETCH(bool, hit);
    QFETCH(bool, bad);
    QFETCH(QString, url);
    auto definition = std::make_shared<CompiledDefinition>();
    SiteProfile site;
    site.definition = definition;
    site.privateBase = privateSite;
    GatewayHit got;
    bool badMagnet = false;
    const std::map<std::string, std::string> row = {{"title", "Film"},
                                                    {field.toStdString(), value.toStdString()}};
    QCOMPARE(HitOf(site, row, got, badMagnet), hit);
    QCOMPARE(badMagnet, bad);
    if (!hit) return;
    QVERIFY(got.magnet);
    QCOMPARE(QString::fromStdString(got.url), url);
}

void TestGatewayMagnet::magnetKeysAreChecked_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("error");
    QTest::newRow("no fetch at once") << "max_magnet_fetches = 0"
                                      << "8: max_magnet_fetches must be a whole number from 1";
    QTest::newRow("a time-out past the answer's")
        << "magnet_timeout_ms = 25000"
        << "8: magnet_timeout_ms must be less than answer_timeout_ms";
    QTest::newRow("a DHT neither on nor off") << "dht = maybe"
                                              << "8: dht must be on or off";
    QTest::newRow("a BitTorrent address that is a name") << "bt_listen = localhost:6881"
                                                         << "8: bt_listen must be ADDRESS:PORT";
    QTest::newRow("a negative cache") << "magnet_cache_bytes = -1"
                                      << "8: magnet_cache_bytes must be a whole number";
    QTest::newRow("a state folder that cannot be made")
        << "state_dir = /proc/reelmate"
        << "test.conf:8: cannot make or open the state folder";
}

void TestGatewayMagnet::magnetKeysAreChecked()
{
    QFETCH(QString, keys);
    QFETCH(QString, error);
    MagnetFront front(SiteYaml("    magnet: {selector: a.m, attribute: href}\n"),
                      QStringLiteral("http://127.0.0.1:1"), keys);
    QVERIFY2(front.error.startsWith(error), qPrintable(front.error));
}

void TestGatewayMagnet::healthShowsTheBitTorrentSide()
{
    MagnetFront front(SiteYaml("    magnet: {selector: a.m, attribute: href}\n"),
                      QStringLiteral("http://127.0.0.1:1"));
    QVERIFY2(front.start(), qPrintable(front.error));
    const QString health = QString::fromUtf8(front.get(QStringLiteral("/healthz")).body);
    QVERIFY2(
        health.contains(QRegularExpression(QStringLiteral(
            R"("bittorrent":\{"listen":"127\.0\.0\.1:[1-9][0-9]*","dht":false,"dht_nodes":0,)"))),
        qPrintable(health));
}

QTEST_GUILESS_MAIN(TestGatewayMagnet)
#include "tst_gatewaymagnet.moc"
