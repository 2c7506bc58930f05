#include "TestHttpServer.h"
#include "relay/magnet/MagnetFetcher.h"
#include "web/TorrentFile.h"

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/bdecode.hpp>
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>

#include <map>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

enum class Kind { V1, Hybrid, V2 };

/** A small torrent made over a file of random bytes. */
struct MadeTorrent {
    std::string bytes; // the .torrent
    std::shared_ptr<lt::torrent_info> info;
    QByteArray v1, v2; // raw hashes; empty when the torrent has none of that kind
};

MadeTorrent MakeTorrent(const QString& folder, const QString& name, Kind kind)
{
    QFile file(folder + "/" + name);
    file.open(QIODevice::WriteOnly);
    QByteArray data(40000, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
    file.write(data);
    file.close();
    lt::file_storage files;
    lt::add_files(files, file.fileName().toStdString());
    const lt::create_flags_t flags = kind == Kind::V1   ? lt::create_torrent::v1_only
                                     : kind == Kind::V2 ? lt::create_torrent::v2_only
                                                        : lt::create_flags_t{};
    lt::create_torrent ct(files, 16384, flags);
    lt::set_piece_hashes(ct, folder.toStdString());
    MadeTorrent made;
    lt::bencode(std::back_inserter(made.bytes), ct.generate());
    made.info = std::make_shared<lt::torrent_info>(made.bytes, lt::from_span);
    const lt::info_hash_t hashes = made.info->info_hashes();
    if (hashes.has_v1()) made.v1 = QByteArray(hashes.v1.data(), int(hashes.v1.size()));
    if (hashes.has_v2()) made.v2 = QByteArray(hashes.v2.data(), int(hashes.v2.size()));
    return made;
}

lt::settings_pack LoopbackSettings()
{
    lt::settings_pack s;
    s.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0");
    s.set_bool(lt::settings_pack::enable_dht, false);
    s.set_bool(lt::settings_pack::enable_lsd, false);
    s.set_bool(lt::settings_pack::enable_upnp, false);
    s.set_bool(lt::settings_pack::enable_natpmp, false);
    s.set_int(lt::settings_pack::stop_tracker_timeout, 1);
    return s;
}

/** A session that seeds the test's torrents from their folder. */
struct Seeder {
    lt::session session{lt::session_params(LoopbackSettings())};
    std::vector<lt::torrent_handle> handles;

    void Seed(const MadeTorrent& made, const QString& folder)
    {
        lt::add_torrent_params p;
        p.ti = made.info;
        p.save_path = folder.toStdString();
        p.flags |= lt::torrent_flags::seed_mode;
        p.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
        handles.push_back(session.add_torrent(p));
    }
    /** Listening, and every torrent taking peers. */
    bool ready() const
    {
        for (const lt::torrent_handle& h : handles) {
            const lt::torrent_status st = h.status();
            if (st.state != lt::torrent_status::seeding || (st.flags & lt::torrent_flags::paused))
                return false;
        }
        return port() > 0;
    }
    int port() const { return session.listen_port(); }
    std::int64_t uploaded() const
    {
        std::int64_t total = 0;
        for (const lt::torrent_handle& h : handles)
            total += h.status().total_payload_upload;
        return total;
    }
};

/** An HTTP tracker that gives every announce the seeder's address, and counts the announces
 *  that start a download, by info hash. */
class Tracker {
public:
    explicit Tracker(const int& seederPort)
    {
        server_.serve([this, &seederPort](const ServiceRequest& req, ServiceResponse& res) {
            const std::string query = req.target.substr(req.target.find('?') + 1);
            std::string hash;
            bool started = false;
            for (const QByteArray& pair : QByteArray::fromStdString(query).split('&')) {
                if (pair.startsWith("info_hash="))
                    hash = QByteArray::fromPercentEncoding(pair.mid(10)).toHex().toStdString();
                if (pair == "event=started") started = true;
            }
            if (started) {
                std::lock_guard lock(mutex_);
                ++started_[hash];
            }
            std::string peer(6, '\0');
            const uint32_t address = htonl(INADDR_LOOPBACK);
            const uint16_t port = htons(uint16_t(seederPort));
            memcpy(peer.data(), &address, 4);
            memcpy(peer.data() + 4, &port, 2);
            res.contentType = "text/plain";
            res.body = "d8:intervali1800e5:peers6:" + peer + "e";
        });
    }
    std::string url() const { return server_.url().toStdString() + "/announce"; }
    int started(const QByteArray& v1) const
    {
        std::lock_guard lock(mutex_);
        const auto it = started_.find(v1.toHex().toStdString());
        return it == started_.end() ? 0 : it->second;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, int> started_;
    TestHttpServer server_;
};

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

/** The info dictionary's bytes inside a .torrent file. */
QByteArray InfoBytes(const std::string& torrent)
{
    lt::error_code ec;
    const lt::bdecode_node root = lt::bdecode(torrent, ec);
    if (ec || root.type() != lt::bdecode_node::dict_t) return {};
    const lt::span<const char> info = root.dict_find_dict("info").data_section();
    return QByteArray(info.data(), int(info.size()));
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
