#include "FakeDesktop.h"
#include "ProgramWindows.h"
#include "TestSwarm.h"
#include "app/search/Main.h"
#include "app/torrent/Down.h"
#include "app/torrent/DownHost.h"
#include "app/torrent/TorrentList.h"
#include "controls/pbutton/PButton.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/TextBox.h"
#include "relay/Relay.h"
#include "web/TorrentFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

/** A site whose search lists two films with only magnet links: one into a swarm with a seeder,
 *  one into a swarm with no peer at all. */
const char kDefinition[] = "id: swarm\nname: Swarm Site\nlinks: [\"http://example.invalid/\"]\n"
                           "search:\n  paths: [{path: search}]\n"
                           "  inputs: {q: \"{{ .Keywords }}\"}\n"
                           "  rows: {selector: div.r}\n  fields:\n"
                           "    title: {selector: a.name}\n"
                           "    magnet: {selector: a.m, attribute: href}\n";

QString Row(const QString& title, const QByteArray& hash, const QString& tracker)
{
    return QStringLiteral("<div class=r><a class=name href=/d/1>%1</a>"
                          "<a class=m href=\"magnet:?xt=urn:btih:%2&amp;tr=%3\">m</a></div>")
        .arg(title, QString::fromLatin1(hash.toHex()), tracker);
}

/** A relay whose gateway reads the site through the definition, its BitTorrent side on loopback
 *  without the DHT; the program's two addresses are then the relay's own. */
class MagnetGateway {
public:
    MagnetGateway(const QString& siteBase, const QString& keys)
    {
        relayService_.start({}); // first: the gateway's address is the port it got
        QFile file(dir_.filePath(QStringLiteral("site.yml")));
        if (file.open(QIODevice::WriteOnly)) file.write(kDefinition);
        file.close();
        const QString text = QStringLiteral("[gateway]\nbase = %1\nsecret_file = secret\n"
                                            "dht = off\nbt_listen = 127.0.0.1:0\n%2\n"
                                            "[site swarm]\ndefinition = site.yml\nbase = %3\n")
                                 .arg(relayUrl(), keys, siteBase);
        RelayConfig config;
        std::string why;
        if (!ParseRelayConfig(text.toStdString(), config, why) ||
            !(why = LoadGateway(config, dir_.path().toStdString(), "gateway.conf")).empty())
            qFatal("gateway configuration: %s", why.c_str());
        relay_ = std::make_unique<Relay>(config, [](const std::string&) {});
    }
    QString relayUrl() const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(relayService_.port());
    }

private:
    QTemporaryDir dir_;
    std::unique_ptr<Relay> relay_;
    HttpService relayService_{[this](const ServiceRequest& q, ServiceResponse& r) {
        if (relay_) relay_->Handle(q, r);
    }};
};

} // namespace

/** A magnet-only hit saved as a .torrent through the program's real windows, the metadata
 *  fetched by the relay from a swarm made in the test on loopback. */
class TestEndToEndMagnet : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void magnetHitIsSaved_data();
    void magnetHitIsSaved();
};

void TestEndToEndMagnet::magnetHitIsSaved_data()
{
    QTest::addColumn<QString>("film");
    QTest::addColumn<QString>("keys");   // the gateway's own, beside dht and bt_listen
    QTest::addColumn<QString>("button"); // what "下载" says at the end
    QTest::addColumn<QString>("detail"); // its tool tip: why no file, when none
    QTest::newRow("a swarm with a seeder") << QStringLiteral("磁力 Film 1080p") << QString()
                                           << QStringLiteral("下载完成！") << QString();
    QTest::newRow("a swarm with no peer")
        << QStringLiteral("无种 Film 720p") << QStringLiteral("magnet_timeout_ms = 1500")
        << QStringLiteral("下载出错") << QStringLiteral("网站返回错误 504");
}

void TestEndToEndMagnet::magnetHitIsSaved()
{
    QFETCH(QString, film);
    QFETCH(QString, keys);
    QFETCH(QString, button);
    QFETCH(QString, detail);
    QTemporaryDir files;
    const MadeTorrent seeded = MakeTorrent(files.path(), QStringLiteral("seeded.mkv"), Kind::V1);
    const MadeTorrent lonely = MakeTorrent(files.path(), QStringLiteral("lonely.mkv"), Kind::V1);
    Seeder seeder;
    seeder.Seed(seeded, files.path());
    QTRY_VERIFY(seeder.ready());
    const int port = seeder.port();
    Tracker tracker(port);
    const QString listing =
        Row(QStringLiteral("磁力 Film 1080p"), seeded.v1, QString::fromStdString(tracker.url())) +
        Row(QStringLiteral("无种 Film 720p"), lonely.v1, ClosedPortUrl() + "/announce");
    TestHttpServer site;
    site.serve([listing](const ServiceRequest&, ServiceResponse& r) {
        r.contentType = "text/html; charset=utf-8";
        r.body = listing.toStdString();
    });
    MagnetGateway gateway(site.url(), keys);
    // Both addresses are the relay's, as when the program is built for real sites.
    ProgramWindows program(gateway.relayUrl(), gateway.relayUrl());
    Main& main = program.main;
    QVERIFY(QTest::qWaitForWindowExposed(&main));

    QTest::mouseClick(main.FindText, Qt::LeftButton);
    QTest::keyClicks(main.FindText, QStringLiteral("Film"));
    QTest::keyClick(main.FindText, Qt::Key_Return);
    QCOMPARE(main.DownList->ListCount(), 2);
    int hit = -1;
    for (int i = 0; i < main.DownList->ListCount(); ++i)
        if (main.DownList->List(i) == film) hit = i;
    QVERIFY2(hit >= 0, qPrintable(film));
    main.DownList->SetListIndex(hit);
    QTest::mouseClick(main.BTDown, Qt::LeftButton, {}, QPoint(10, 10));

    Down* down = program.host.existing();
    QVERIFY(down);
    QVERIFY(down->isVisible());
    QCOMPARE(down->BTList->ListCount(), 1);
    QCOMPARE(down->BTList->List(0), film + QStringLiteral(".torrent"));
    QTest::mouseClick(down->BTList->viewport(), Qt::LeftButton, {}, QPoint(10, 8));
    QTest::mouseClick(down->BTDown, Qt::LeftButton, {}, QPoint(10, 10));
    QTRY_COMPARE_WITH_TIMEOUT(down->BTDown->Text(), button, 30000);

    const QStringList saved = QDir(program.folder.path()).entryList(QDir::Files);
    if (!detail.isEmpty()) {
        // The relay's time-out, not the program's own.
        QCOMPARE(down->BTDown->toolTip(), detail);
        QVERIFY2(saved.isEmpty(), qPrintable(saved.join(u',')));
        return;
    }
    QCOMPARE(saved, QStringList{film + QStringLiteral(".torrent")});
    const QString path = QDir(program.folder.path()).filePath(saved[0]);
    QCOMPARE(down->BTDown->toolTip(), QStringLiteral("已保存到 %1").arg(path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(IsBencodedDictionary(bytes));
    QCOMPARE(QCryptographicHash::hash(InfoBytes(bytes.toStdString()), QCryptographicHash::Sha1),
             seeded.v1);
}

QTEST_MAIN(TestEndToEndMagnet)
#include "tst_endtoendmagnet.moc"
