#include "relay/magnet/MagnetLink.h"
#include "relay/magnet/MagnetSettings.h"
#include "relay/magnet/MetadataCache.h"
#include "relay/magnet/TorrentFromMetadata.h"
#include "web/TorrentFile.h"

#include <libtorrent/bdecode.hpp>

#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

/** The magnet core's parts that need no network: links, the .torrent built around an info
 *  dictionary, the settings' bounds and the metadata cache. */
class TestMagnet : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parse_data();
    void parse();
    void bareInfoHash_data();
    void bareInfoHash();
    void torrentKeepsInfoBytes_data();
    void torrentKeepsInfoBytes();
    void torrentRefusesWhatIsNoDictionary();
    void settings_data();
    void settings();
    void cacheDropsLeastRecentlyUsed();
    void cacheFollowsNoLink();
};

namespace {

const QString kHex = QStringLiteral("c12fe1c06bba254a9dc9f519b335aa7c1367a88a");
const QString kV2 =
    QStringLiteral("8a19aaa2a5f2b0f0e2a5e1b6fb3d0c5e9a7b3c4d5e6f708192a3b4c5d6e7f809");

QString Hex(const std::string& raw)
{
    return QString::fromLatin1(QByteArray::fromStdString(raw).toHex());
}

QStringList List(const std::vector<std::string>& items)
{
    QStringList out;
    for (const std::string& item : items)
        out << QString::fromStdString(item);
    return out;
}

} // namespace

void TestMagnet::parse_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<bool>("allowPrivate");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("v1");
    QTest::addColumn<QString>("v2");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("trackers");
    QTest::addColumn<QStringList>("peers");
    const int ok = int(MagnetFault::None);
    const QString btih = "magnet:?xt=urn:btih:" + kHex;

    QTest::newRow("v1 in hex, capitals, title with + and %20")
        << "MAGNET:?xt=urn:btih:" + kHex.toUpper() + "&dn=Big+Film%20(2024)%2B" << false << ok
        << kHex << ""
        << "Big Film (2024)+" << QStringList() << QStringList();
    QTest::newRow("v1 in base32") << "magnet:?xt=urn:btih:YEX6DQDLXISUVHOJ6UM3GNNKPQJWPKEK" << false
                                  << ok << kHex << ""
                                  << "" << QStringList() << QStringList();
    QTest::newRow("v1 in lower-case base32")
        << "magnet:?xt=urn:btih:yex6dqdlxisuvhoj6um3gnnkpqjwpkek" << false << ok << kHex << ""
        << "" << QStringList() << QStringList();
    QTest::newRow("v2 only") << "magnet:?xt=urn:btmh:1220" + kV2 << false << ok << "" << kV2 << ""
                             << QStringList() << QStringList();
    QTest::newRow("hybrid, numbered topics")
        << "magnet:?xt.1=urn:btih:" + kHex + "&xt.2=urn:btmh:1220" + kV2 << false << ok << kHex
        << kV2 << "" << QStringList() << QStringList();
    QTest::newRow("percent-encoded trackers, kept once, order kept")
        << btih + "&tr=udp%3A%2F%2Ftracker.example.org%3A6969%2Fannounce"
                  "&tr.1=https://t2.example.net/announce?k=%2B"
                  "&tr=udp://tracker.example.org:6969/announce"
        << false << ok << kHex << ""
        << ""
        << QStringList{"udp://tracker.example.org:6969/announce",
                       "https://t2.example.net/announce?k=+"}
        << QStringList();
    QTest::newRow("unsupported tracker schemes dropped")
        << btih + "&tr=wss://t.example.org/announce&tr=ftp://t.example.org/&tr=t.example.org:80"
                  "&tr=udp://no-port.example.org/announce&tr=http://user@t.example.org/"
                  "&tr=HTTP://t.example.org/announce"
        << false << ok << kHex << ""
        << "" << QStringList{"HTTP://t.example.org/announce"} << QStringList();
    QTest::newRow("peers, IPv6 in brackets")
        << btih + "&x.pe=203.0.113.7:6881&x.pe=%5B2606%3A4700%3A%3A1111%5D%3A51413"
                  "&x.pe=peer.example.org:7000"
        << false << ok << kHex << ""
        << "" << QStringList()
        << QStringList{"203.0.113.7:6881", "[2606:4700::1111]:51413", "peer.example.org:7000"};
    QTest::newRow("malformed peers dropped")
        << btih + "&x.pe=203.0.113.7&x.pe=203.0.113.7:0&x.pe=203.0.113.7:65536"
                  "&x.pe=2606:4700::1111:80&x.pe=[2606:4700::1111:80&x.pe=[nothost]:80"
        << false << ok << kHex << ""
        << "" << QStringList() << QStringList();
    const QString privateOnes =
        btih +
        "&tr=http://192.168.1.1/announce&tr=udp://10.0.0.1:80&tr=http://127.0.0.1:8/announce"
        "&tr=http://localhost/announce&tr=http://[fe80::1]/announce&tr=http://100.64.0.1/a"
        "&tr=http://0.0.0.0/a&tr=http://224.0.0.1/a&tr=https://[::1]:9/a"
        "&tr=http://tracker.example.org/announce"
        "&x.pe=169.254.1.1:5&x.pe=127.0.0.1:6881&x.pe=[::ffff:192.168.0.2]:5&x.pe=[fd00::1]:5"
        "&x.pe=203.0.113.7:6881";
    QTest::newRow("private addresses dropped")
        << privateOnes << false << ok << kHex << ""
        << "" << QStringList{"http://tracker.example.org/announce"}
        << QStringList{"203.0.113.7:6881"};
    QTest::newRow("private addresses kept when allowed")
        << privateOnes << true << ok << kHex << ""
        << ""
        << QStringList{"http://192.168.1.1/announce",
                       "udp://10.0.0.1:80",
                       "http://127.0.0.1:8/announce",
                       "http://localhost/announce",
                       "http://[fe80::1]/announce",
                       "http://100.64.0.1/a",
                       "http://0.0.0.0/a",
                       "http://224.0.0.1/a",
                       "https://[::1]:9/a",
                       "http://tracker.example.org/announce"}
        << QStringList{"169.254.1.1:5", "127.0.0.1:6881", "[::ffff:192.168.0.2]:5", "[fd00::1]:5",
                       "203.0.113.7:6881"};

    const int bad = int(MagnetFault::BadInfoHash);
    QTest::newRow("hex one short") << "magnet:?xt=urn:btih:" + kHex.left(39) << false << bad << ""
                                   << ""
                                   << "" << QStringList() << QStringList();
    QTest::newRow("hex with a non-hex digit")
        << "magnet:?xt=urn:btih:" + kHex.left(39) + "g" << false << bad << ""
        << ""
        << "" << QStringList() << QStringList();
    QTest::newRow("base32 with a 1")
        << "magnet:?xt=urn:btih:1EX6DQDLXISUVHOJ6UM3GNNKPQJWPKEK" << false << bad << ""
        << ""
        << "" << QStringList() << QStringList();
    QTest::newRow("v2 of another hash function")
        << "magnet:?xt=urn:btmh:1120" + kV2 << false << bad << ""
        << ""
        << "" << QStringList() << QStringList();
    QTest::newRow("v2 one short") << "magnet:?xt=urn:btmh:1220" + kV2.left(63) << false << bad << ""
                                  << ""
                                  << "" << QStringList() << QStringList();
    QTest::newRow("two v1 hashes") << btih + "&xt=urn:btih:" + QString(40, '0') << false
                                   << int(MagnetFault::ConflictingHashes) << ""
                                   << ""
                                   << "" << QStringList() << QStringList();
    QTest::newRow("no info hash, only other topics")
        << "magnet:?xt=urn:ed2k:31D6CFE0D16AE931B73C59D7E0C089C0&dn=x" << false
        << int(MagnetFault::NoInfoHash) << ""
        << ""
        << "" << QStringList() << QStringList();
    QTest::newRow("empty query") << "magnet:?" << false << int(MagnetFault::NoInfoHash) << ""
                                 << ""
                                 << "" << QStringList() << QStringList();
    QTest::newRow("not a magnet") << "http://example.org/x.torrent" << false
                                  << int(MagnetFault::NotMagnet) << ""
                                  << ""
                                  << "" << QStringList() << QStringList();
}

void TestMagnet::parse()
{
    QFETCH(QString, uri);
    QFETCH(bool, allowPrivate);
    QFETCH(int, fault);
    QFETCH(QString, v1);
    QFETCH(QString, v2);
    QFETCH(QString, title);
    QFETCH(QStringList, trackers);
    QFETCH(QStringList, peers);
    const MagnetParse parse = ParseMagnet(uri.toStdString(), allowPrivate);
    QCOMPARE(int(parse.fault), fault);
    if (fault != int(MagnetFault::None)) {
        QVERIFY(!parse);
        QVERIFY(!parse.detail.empty());
        return;
    }
    QVERIFY(parse);
    QCOMPARE(Hex(parse.link.v1), v1);
    QCOMPARE(Hex(parse.link.v2), v2);
    QCOMPARE(QString::fromStdString(parse.link.Key()), v1.isEmpty() ? v2 : v1);
    QCOMPARE(QString::fromStdString(parse.link.title), title);
    QCOMPARE(List(parse.link.trackers), trackers);
    QCOMPARE(List(parse.link.peers), peers);
}

void TestMagnet::bareInfoHash_data()
{
    QTest::addColumn<QString>("hash");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QStringList>("trackers"); // kept of the definition's list
    QTest::newRow("hex, public and private trackers")
        << kHex.toUpper() << int(MagnetFault::None)
        << QStringList{"udp://tracker.example.org:1337/announce",
                       "http://tracker.example.net/announce"};
    QTest::newRow("base32 is no bare hash")
        << "YEX6DQDLXISUVHOJ6UM3GNNKPQJWPKEK" << int(MagnetFault::BadInfoHash) << QStringList();
    QTest::newRow("too long") << kHex + "0" << int(MagnetFault::BadInfoHash) << QStringList();
    QTest::newRow("empty") << "" << int(MagnetFault::NoInfoHash) << QStringList();
}

void TestMagnet::bareInfoHash()
{
    QFETCH(QString, hash);
    QFETCH(int, fault);
    QFETCH(QStringList, trackers);
    const std::vector<std::string> given = {"udp://tracker.example.org:1337/announce",
                                            "http://192.168.0.1/announce", "magnet:?x",
                                            "http://tracker.example.net/announce"};
    const MagnetParse parse = MagnetFromInfoHash(hash.toStdString(), given, false);
    QCOMPARE(int(parse.fault), fault);
    if (!parse) return;
    QCOMPARE(Hex(parse.link.v1), kHex);
    QVERIFY(parse.link.v2.empty());
    QCOMPARE(List(parse.link.trackers), trackers);
}

void TestMagnet::torrentKeepsInfoBytes_data()
{
    QTest::addColumn<QStringList>("trackers");
    QTest::addColumn<QString>("site");
    QTest::newRow("two trackers") << QStringList{"udp://a.example:1/announce",
                                                 "http://b.example/announce"}
                                  << "Film Site";
    QTest::newRow("no tracker, no site") << QStringList() << "";
}

void TestMagnet::torrentKeepsInfoBytes()
{
    QFETCH(QStringList, trackers);
    QFETCH(QString, site);
    // Keys out of order and an unknown key: the swarm's bytes are kept as they are.
    const std::string info = "d4:name5:a.mkv12:piece lengthi16384e6:lengthi3e6:zzzzzz1:x"
                             "6:pieces20:01234567890123456789e";
    std::vector<std::string> list;
    for (const QString& t : trackers)
        list.push_back(t.toStdString());
    const std::string torrent = TorrentFromMetadata(info, list, site.toStdString());
    QVERIFY(IsBencodedDictionary(QByteArray::fromStdString(torrent)));

    lt::error_code ec;
    const lt::bdecode_node root = lt::bdecode(torrent, ec);
    QVERIFY2(!ec, ec.message().c_str());
    QVERIFY(root.type() == lt::bdecode_node::dict_t);
    QStringList keys;
    for (int i = 0; i < root.dict_size(); ++i)
        keys << QString::fromStdString(std::string(root.dict_at(i).first));
    QStringList sorted = keys;
    sorted.sort();
    QCOMPARE(keys, sorted);
    const lt::span<const char> section = root.dict_find("info").data_section();
    QCOMPARE(std::string(section.data(), size_t(section.size())), info);
    QCOMPARE(QString::fromStdString(std::string(root.dict_find_string_value("created by"))),
             QStringLiteral("Reelmate relay"));
    QCOMPARE(QString::fromStdString(std::string(root.dict_find_string_value("comment"))), site);
    QCOMPARE(keys.contains("announce"), !trackers.isEmpty());
    QCOMPARE(keys.contains("announce-list"), !trackers.isEmpty());
    if (trackers.isEmpty()) return;
    QCOMPARE(QString::fromStdString(std::string(root.dict_find_string_value("announce"))),
             trackers.front());
    const lt::bdecode_node tiers = root.dict_find_list("announce-list");
    QCOMPARE(tiers.list_size(), trackers.size());
    for (int i = 0; i < tiers.list_size(); ++i)
        QCOMPARE(QString::fromStdString(std::string(tiers.list_at(i).list_string_value_at(0))),
                 trackers[i]);
}

void TestMagnet::torrentRefusesWhatIsNoDictionary()
{
    QVERIFY(TorrentFromMetadata("", {}, "s").empty());
    QVERIFY(TorrentFromMetadata("li1ee", {}, "s").empty());
    QVERIFY(TorrentFromMetadata("d4:name1:ae trailing", {}, "s").empty());
    QVERIFY(TorrentFromMetadata("d4:name1:a", {}, "s").empty());
}

void TestMagnet::settings_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("why"); // a part of the refusal; empty when accepted
    QTest::newRow("listen IPv4") << "bt_listen"
                                 << "0.0.0.0:6881"
                                 << "";
    QTest::newRow("listen IPv6, system port") << "bt_listen"
                                              << "[::]:0"
                                              << "";
    QTest::newRow("listen without port") << "bt_listen"
                                         << "127.0.0.1"
                                         << "bt_listen";
    QTest::newRow("listen on a name") << "bt_listen"
                                      << "localhost:6881"
                                      << "bt_listen";
    QTest::newRow("listen IPv6 without brackets") << "bt_listen"
                                                  << "::1:6881"
                                                  << "bt_listen";
    QTest::newRow("listen port too high") << "bt_listen"
                                          << "127.0.0.1:65536"
                                          << "bt_listen";
    QTest::newRow("dht off") << "bt_dht"
                             << "off"
                             << "";
    QTest::newRow("dht maybe") << "bt_dht"
                               << "maybe"
                               << "bt_dht";
    QTest::newRow("fetches 1") << "max_magnet_fetches"
                               << "1"
                               << "";
    QTest::newRow("fetches 0") << "max_magnet_fetches"
                               << "0"
                               << "from 1 to 256";
    QTest::newRow("fetches not a number") << "max_magnet_fetches"
                                          << "8x"
                                          << "max_magnet_fetches";
    QTest::newRow("timeout 100 ms") << "magnet_timeout_ms"
                                    << "100"
                                    << "";
    QTest::newRow("timeout 99 ms") << "magnet_timeout_ms"
                                   << "99"
                                   << "from 100 to 600000";
    QTest::newRow("cache bytes 0") << "magnet_cache_bytes"
                                   << "0"
                                   << "";
    QTest::newRow("cache bytes negative") << "magnet_cache_bytes"
                                          << "-1"
                                          << "magnet_cache_bytes";
    QTest::newRow("cache folder relative") << "magnet_cache_dir"
                                           << "cache"
                                           << "absolute";
    QTest::newRow("state folder absolute") << "bt_state_dir"
                                           << "/var/lib/x"
                                           << "";
    QTest::newRow("someone else's key") << "max_rows"
                                        << "1"
                                        << "unknown";
}

void TestMagnet::settings()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, why);
    MagnetSettings settings;
    QVERIFY(CheckMagnetSettings(settings).empty());
    const MagnetSettings before = settings;
    const std::string answer = SetMagnetKey(settings, key.toStdString(), value.toStdString());
    QVERIFY2(QString::fromStdString(answer).contains(why), answer.c_str());
    QCOMPARE(answer.empty(), why.isEmpty());
    if (!answer.empty()) { // a refused value changes nothing
        QCOMPARE(settings.listen, before.listen);
        QCOMPARE(settings.maxFetches, before.maxFetches);
        QCOMPARE(settings.cacheDir, before.cacheDir);
    }
    QVERIFY(CheckMagnetSettings(settings).empty());
}

void TestMagnet::cacheDropsLeastRecentlyUsed()
{
    QTemporaryDir dir;
    const std::string folder = dir.filePath("cache").toStdString();
    MetadataCache cache(folder, 250);
    QVERIFY(cache.usable());
    const std::string a(40, 'a'), b(40, 'b'), c(40, 'c');
    const auto age = [&](const std::string& key, int seconds) {
        const timespec times[2] = {{time(nullptr) - seconds, 0}, {time(nullptr) - seconds, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, (folder + "/" + key + ".info").c_str(), times, 0), 0);
    };
    cache.Store(a, std::string(100, 'A'));
    age(a, 300);
    cache.Store(b, std::string(100, 'B'));
    age(b, 200);
    QCOMPARE(cache.Load(a).value_or(""), std::string(100, 'A')); // a is now the newest
    cache.Store(c, std::string(100, 'C'));
    QVERIFY(cache.Load(a));
    QVERIFY(!cache.Load(b));
    QVERIFY(cache.Load(c));
    struct stat st {};
    QCOMPARE(::stat((folder + "/" + c + ".info").c_str(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);
    cache.Store(std::string(40, 'd'), std::string(251, 'D')); // larger than the whole cache
    QVERIFY(!cache.Load(std::string(40, 'd')));
    QVERIFY(!cache.Load("../" + std::string(37, 'a'))); // keys are hex hashes only
    QCOMPARE(QDir(dir.filePath("cache")).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void TestMagnet::cacheFollowsNoLink()
{
    QTemporaryDir dir;
    const std::string folder = dir.filePath("cache").toStdString();
    MetadataCache cache(folder, 1000);
    const std::string key(40, 'e');
    QFile secret(dir.filePath("secret"));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("d4:name6:secrete");
    secret.close();
    QCOMPARE(::symlink(secret.fileName().toLocal8Bit().constData(),
                       (folder + "/" + key + ".info").c_str()),
             0);
    QVERIFY(!cache.Load(key));
    cache.Store(key, "d4:name3:newe"); // replaces the link, never writes through it
    QCOMPARE(cache.Load(key).value_or(""), std::string("d4:name3:newe"));
    QVERIFY(secret.open(QIODevice::ReadOnly));
    QCOMPARE(secret.readAll(), QByteArray("d4:name6:secrete"));
    // A folder that is a link is not used.
    QCOMPARE(::symlink(folder.c_str(), dir.filePath("linked").toLocal8Bit().constData()), 0);
    QVERIFY(!MetadataCache(dir.filePath("linked").toStdString(), 1000).usable());
}

QTEST_GUILESS_MAIN(TestMagnet)
#include "tst_magnet.moc"
