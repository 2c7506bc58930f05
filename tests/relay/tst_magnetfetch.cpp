#include "TestHttpServer.h"
#include "TestSwarm.h"
#include "relay/magnet/MagnetFetcher.h"
#include "web/TorrentFile.h"

#include <libtorrent/torrent_info.hpp>

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

MagnetSettings LoopbackMagnetSettings(const QString& cacheDir)
{
    MagnetSettings s;
    s.listen = "127.0.0.1:0";
    s.dht = false;
    s.cacheDir = cacheDir.toStdString();
    s.timeout = 20s;
    return s;
}

std::string Magnet(const MadeTorrent& made, const std::string& extra)
{
    std::string uri = "magnet:?dn=test";
    if (!made.v1.isEmpty()) uri += "&xt=urn:btih:" + made.v1.toHex().toStdString();
    if (!made.v2.isEmpty()) uri += "&xt=urn:btmh:1220" + made.v2.toHex().toStdString();
    return uri + extra;
}

const auto kNever = [] { return false; };

} // namespace

/** Fetching a torrent's metadata from a swarm made in the test on loopback: a libtorrent
 *  seeder and a small HTTP tracker. */
class TestMagnetFetch : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void fetchesFromTheSwarm_data();
    void fetchesFromTheSwarm();
    void swarmWithoutPeersTimesOut();
    void cacheAnswersWithoutTheSwarm();
    void sameTorrentAtOnceSharesOneFetch();
    void waitsForItsTurn();
    void givesUp();
    void shutdownEndsFetches();
};

void TestMagnetFetch::fetchesFromTheSwarm_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("how"); // tracker, peer or bare
    QTest::newRow("magnet with the tracker") << int(Kind::V1) << "tracker";
    QTest::newRow("magnet with only the seeder as x.pe") << int(Kind::V1) << "peer";
    QTest::newRow("bare info hash with a tracker list") << int(Kind::V1) << "bare";
    QTest::newRow("hybrid torrent, both hashes") << int(Kind::Hybrid) << "peer";
    QTest::newRow("v2-only torrent") << int(Kind::V2) << "peer";
}

void TestMagnetFetch::fetchesFromTheSwarm()
{
    QFETCH(int, kind);
    QFETCH(QString, how);
    QTemporaryDir dir;
    const MadeTorrent made = MakeTorrent(dir.path(), "film.mkv", Kind(kind));
    Seeder seeder;
    seeder.Seed(made, dir.path());
    QTRY_VERIFY(seeder.ready());
    const int port = seeder.port();
    Tracker tracker(port);

    MagnetParse parse;
    if (how == "tracker")
        parse = ParseMagnet(Magnet(made, "&tr=" + tracker.url()), true);
    else if (how == "peer")
        parse = ParseMagnet(Magnet(made, "&x.pe=127.0.0.1:" + std::to_string(port)), true);
    else
        parse = MagnetFromInfoHash(made.v1.toHex().toStdString(), {tracker.url()}, true);
    QVERIFY2(parse, parse.detail.c_str());

    MagnetFetcher fetcher(LoopbackMagnetSettings(dir.filePath("cache")));
    const MagnetFetch got = fetcher.Fetch(parse.link, Clock::now() + 20s, kNever, "Film Site");
    QVERIFY2(got, got.words.c_str());
    QVERIFY(!got.fromCache);
    QVERIFY(IsBencodedDictionary(QByteArray::fromStdString(got.torrent)));
    const QByteArray info = InfoBytes(got.torrent);
    if (!made.v1.isEmpty())
        QCOMPARE(QCryptographicHash::hash(info, QCryptographicHash::Sha1), made.v1);
    if (!made.v2.isEmpty())
        QCOMPARE(QCryptographicHash::hash(info, QCryptographicHash::Sha256), made.v2);

    lt::error_code ec;
    const lt::torrent_info readBack(got.torrent, ec, lt::from_span);
    QVERIFY2(!ec, ec.message().c_str());
    QVERIFY(readBack.info_hashes() == made.info->info_hashes());
    QCOMPARE(readBack.comment(), std::string("Film Site"));
    QCOMPARE(readBack.trackers().empty(), how == "peer");
    QCOMPARE(seeder.uploaded(), std::int64_t(0));
    QCOMPARE(fetcher.Counters().swarmFetches, 1LL);
    QTRY_COMPARE(fetcher.Counters().fetchesRunning, 0);
}

void TestMagnetFetch::swarmWithoutPeersTimesOut()
{
    QTemporaryDir dir;
    MagnetSettings settings = LoopbackMagnetSettings(dir.filePath("cache"));
    settings.timeout = 1000ms;
    MagnetFetcher fetcher(settings);
    const MagnetParse parse = ParseMagnet("magnet:?xt=urn:btih:" + std::string(40, '7') +
                                              "&tr=" + ClosedPortUrl().toStdString() + "/announce",
                                          true);
    QVERIFY(parse);
    const MagnetFetch got = fetcher.Fetch(parse.link, Clock::now() + 60s, kNever);
    QCOMPARE(int(got.failure), int(MagnetFailure::TimedOut));
    QCOMPARE(got.words, std::string("no peer sent the torrent's metadata within 1 s"));
    QVERIFY(got.torrent.empty());
    QTRY_COMPARE(fetcher.Counters().fetchesRunning, 0);
}

void TestMagnetFetch::cacheAnswersWithoutTheSwarm()
{
    QTemporaryDir dir;
    const MadeTorrent made = MakeTorrent(dir.path(), "film.mkv", Kind::V1);
    auto seeder = std::make_unique<Seeder>();
    seeder->Seed(made, dir.path());
    QTRY_VERIFY(seeder->ready());
    const int port = seeder->port();
    Tracker tracker(port);
    const MagnetParse parse = ParseMagnet(Magnet(made, "&tr=" + tracker.url()), true);
    const MagnetSettings settings = LoopbackMagnetSettings(dir.filePath("cache"));
    std::string first;
    {
        MagnetFetcher fetcher(settings);
        const MagnetFetch got = fetcher.Fetch(parse.link, Clock::now() + 20s, kNever);
        QVERIFY2(got, got.words.c_str());
        first = got.torrent;
    }
    QCOMPARE(tracker.started(made.v1), 1);
    seeder.reset();

    MagnetFetcher restarted(settings); // a new session: only the cache knows the torrent
    for (int i = 0; i < 2; ++i) {
        const MagnetFetch again = restarted.Fetch(parse.link, Clock::now() + 20s, kNever);
        QVERIFY2(again, again.words.c_str());
        QVERIFY(again.fromCache);
        QCOMPARE(again.torrent, first);
    }
    QCOMPARE(restarted.Counters().cacheHits, 2LL);
    QCOMPARE(restarted.Counters().swarmFetches, 0LL);
    QCOMPARE(tracker.started(made.v1), 1);
}

void TestMagnetFetch::sameTorrentAtOnceSharesOneFetch()
{
    QTemporaryDir dir;
    Seeder seeder;
    std::vector<MadeTorrent> made;
    for (int i = 0; i < 5; ++i) {
        made.push_back(MakeTorrent(dir.path(), QString("film%1.mkv").arg(i), Kind::V1));
        seeder.Seed(made.back(), dir.path());
    }
    QTRY_VERIFY(seeder.ready());
    const int port = seeder.port();
    Tracker tracker(port);
    MagnetFetcher fetcher(LoopbackMagnetSettings(dir.filePath("cache")));
    std::vector<MagnetFetch> results(20);
    std::vector<std::thread> threads;
    for (int i = 0; i < 20; ++i)
        threads.emplace_back([&, i] {
            const MagnetParse parse =
                ParseMagnet(Magnet(made[i % 5], "&tr=" + tracker.url()), true);
            results[i] = fetcher.Fetch(parse.link, Clock::now() + 20s, kNever);
        });
    for (std::thread& t : threads)
        t.join();
    for (int i = 0; i < 20; ++i) {
        QVERIFY2(results[i], results[i].words.c_str());
        QCOMPARE(QCryptographicHash::hash(InfoBytes(results[i].torrent), QCryptographicHash::Sha1),
                 made[i % 5].v1);
    }
    QCOMPARE(fetcher.Counters().swarmFetches, 5LL);
    for (const MadeTorrent& m : made)
        QCOMPARE(tracker.started(m.v1), 1);
    QCOMPARE(seeder.uploaded(), std::int64_t(0));
}

void TestMagnetFetch::waitsForItsTurn()
{
    QTemporaryDir dir;
    MagnetSettings settings = LoopbackMagnetSettings(dir.filePath("cache"));
    settings.maxFetches = 1;
    MagnetFetcher fetcher(settings);
    std::atomic_bool stop{false};
    const auto giveUp = [&] { return stop.load(); };
    std::vector<std::thread> threads;
    std::vector<MagnetFetch> results(2);
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&, i] {
            const MagnetParse parse =
                ParseMagnet("magnet:?xt=urn:btih:" + std::string(40, char('1' + i)), true);
            results[i] = fetcher.Fetch(parse.link, Clock::now() + 20s, giveUp);
        });
    QTRY_COMPARE(fetcher.Counters().fetchesWaiting, 1);
    QCOMPARE(fetcher.Counters().fetchesRunning, 1);
    QCOMPARE(fetcher.Counters().swarmFetches, 1LL);
    stop = true;
    for (std::thread& t : threads)
        t.join();
    QCOMPARE(int(results[0].failure), int(MagnetFailure::GaveUp));
    QCOMPARE(int(results[1].failure), int(MagnetFailure::GaveUp));
    const MagnetCounters after = fetcher.Counters();
    QCOMPARE(after.fetchesRunning, 0);
    QCOMPARE(after.fetchesWaiting, 0);
}

void TestMagnetFetch::givesUp()
{
    QTemporaryDir dir;
    MagnetFetcher fetcher(LoopbackMagnetSettings(dir.filePath("cache")));
    std::atomic_int asked{0};
    const MagnetParse parse = ParseMagnet("magnet:?xt=urn:btih:" + std::string(40, 'a'), true);
    const MagnetFetch got =
        fetcher.Fetch(parse.link, Clock::now() + 20s, [&] { return ++asked > 3; });
    QCOMPARE(int(got.failure), int(MagnetFailure::GaveUp));
    QCOMPARE(asked.load(), 4);
}

void TestMagnetFetch::shutdownEndsFetches()
{
    QTemporaryDir dir;
    auto fetcher = std::make_unique<MagnetFetcher>(LoopbackMagnetSettings(dir.filePath("cache")));
    const MagnetParse parse = ParseMagnet("magnet:?xt=urn:btih:" + std::string(40, 'b'), true);
    MagnetFetch got;
    std::thread fetching([&] { got = fetcher->Fetch(parse.link, Clock::now() + 60s, kNever); });
    QTRY_COMPARE(fetcher->Counters().fetchesRunning, 1);
    fetcher.reset();
    fetching.join();
    QCOMPARE(int(got.failure), int(MagnetFailure::ShuttingDown));
}

QTEST_GUILESS_MAIN(TestMagnetFetch)
#include "tst_magnetfetch.moc"
