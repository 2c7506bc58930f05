#include "demo-site/Bencode.h"
#include "demo-site/DemoSite.h"
#include "platform/core/ByteStream.h"
#include "platform/core/HttpCall.h"
#include "web/TorrentFile.h"

#include <QCryptographicHash>
#include <QStringDecoder>
#include <QTest>

namespace {

/** The demo site on a free port of this process. */
struct Site {
    DemoSite site{DemoSite::BuiltInCatalogue()};
    HttpService service{[this](const ServiceRequest& q, ServiceResponse& r) { site.Handle(q, r); }};
    Site() { service.start({}); }
    QString url(const QString& path) const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(service.port()) + path;
    }
};

HttpOutcome Get(const QString& url)
{
    HttpCall call;
    call.url = url;
    return PerformHttp(call);
}

HttpOutcome Post(const QString& url, const QByteArray& body)
{
    HttpCall call;
    call.method = "POST";
    call.url = url;
    call.body = body;
    call.headers = {"Content-Type: application/x-www-form-urlencoded"};
    return PerformHttp(call);
}

} // namespace

class TestDemoSite : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void catalogue();
    void search_data();
    void search();
    void filmPage();
    void download();
    void wrongHash_data();
    void wrongHash();
    void unknownPage();
};

void TestDemoSite::catalogue()
{
    const QList<Film> films = DemoSite::BuiltInCatalogue();
    QVERIFY(films.size() >= 200);
    int gbkOnly = 0, bars = 0, amps = 0, none = 0, many = 0, longTitles = 0;
    for (const Film& f : films) {
        gbkOnly += f.title.contains(QStringLiteral("镕")) || f.title.contains(QStringLiteral("喆"));
        bars += f.title.contains(u'|');
        amps += f.title.contains(u'&');
        none += f.torrents == 0;
        many += f.torrents >= 20;
        longTitles += f.title.size() > 60;
    }
    QVERIFY(gbkOnly > 0 && bars > 0 && amps > 0 && none > 0 && many > 0 && longTitles > 0);
}

void TestDemoSite::search_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("present");
    QTest::newRow("Chinese") << "%E6%97%A0%E9%97%B4%E9%81%93"
                             << QStringLiteral("无间道3：终极无间");
    QTest::newRow("Latin, any case") << "matrix"
                                     << "The Matrix Reloaded";
    QTest::newRow("raw ampersand") << "Tom%20&%20Jerry"
                                   << "Tom &amp; Jerry";
    QTest::newRow("GBK-only") << "%E9%95%95" << QStringLiteral("朱镕基访谈录");
    QTest::newRow("nothing") << "zzzz" << QStringLiteral("没有找到相关电影");
}

void TestDemoSite::search()
{
    QFETCH(QString, query);
    QFETCH(QString, present);
    Site s;
    const HttpOutcome out = Get(s.url(QStringLiteral("/s.php?q=") + query));
    QCOMPARE(out.status, 200);
    QStringDecoder gbk("GBK");
    const QString html = gbk.decode(out.body);
    QVERIFY(!gbk.hasError());
    QVERIFY2(html.contains(present), qPrintable(html.left(400)));
}

void TestDemoSite::filmPage()
{
    Site s;
    for (const Film& film : s.site.films()) {
        const HttpOutcome out = Get(s.url(QStringLiteral("/film/%1.html").arg(film.id)));
        QCOMPARE(out.status, 200);
        const QString html = DecodeGb18030(out.body);
        QCOMPARE(html.count(QStringLiteral("class=\"dl\"")), film.torrents);
        QCOMPARE(html.count(QStringLiteral("&amp;uhash=")), film.torrents);
    }
}

void TestDemoSite::download()
{
    Site s;
    const TorrentOffer offer = s.site.Offers(s.site.films().at(0)).at(0);
    const QByteArray body =
        "action=download&id=" + offer.id.toUtf8() + "&uhash=" + offer.hash.toUtf8();
    const HttpOutcome first = Post(s.url(QStringLiteral("/download.php")), body);
    const HttpOutcome second = Post(s.url(QStringLiteral("/download.php")), body);
    QCOMPARE(first.status, 200);
    QVERIFY(IsBencodedDictionary(first.body));
    QCOMPARE(first.body, second.body);
    const QByteArray info = Bencode::RawValue(first.body, "info");
    QVERIFY(IsBencodedDictionary(info));
    const qint64 length = Bencode::RawValue(info, "length").mid(1).chopped(1).toLongLong();
    const QByteArray pieces = Bencode::RawValue(info, "pieces");
    const qint64 count = (length + 16383) / 16384;
    QVERIFY(pieces.startsWith(QByteArray::number(count * 20) + ':'));
    QVERIFY(Bencode::RawValue(info, "name").contains(offer.name.toUtf8()));
    // another torrent is another file with another info hash
    const TorrentOffer other = s.site.Offers(s.site.films().at(0)).last();
    const HttpOutcome third =
        Post(s.url(QStringLiteral("/download.php")),
             "action=download&id=" + other.id.toUtf8() + "&uhash=" + other.hash.toUtf8());
    QVERIFY(
        QCryptographicHash::hash(Bencode::RawValue(third.body, "info"), QCryptographicHash::Sha1) !=
        QCryptographicHash::hash(info, QCryptographicHash::Sha1));
}

void TestDemoSite::wrongHash_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("wrong hash") << QByteArray("action=download&id=1-1&uhash=0000000000000000");
    QTest::newRow("unknown id") << QByteArray("action=download&id=9999-1&uhash=") +
                                       DemoSite::HashFor("9999-1").toUtf8();
    QTest::newRow("no action") << QByteArray("id=1-1&uhash=") + DemoSite::HashFor("1-1").toUtf8();
    QTest::newRow("empty") << QByteArray();
}

void TestDemoSite::wrongHash()
{
    QFETCH(QByteArray, body);
    Site s;
    const HttpOutcome out = Post(s.url(QStringLiteral("/download.php")), body);
    QCOMPARE(out.status, 200);
    QVERIFY(!IsBencodedDictionary(out.body));
    QVERIFY(DecodeGb18030(out.body).contains(QStringLiteral("下载失败")));
}

void TestDemoSite::unknownPage()
{
    Site s;
    QCOMPARE(Get(s.url(QStringLiteral("/film/99999.html"))).status, 404);
    QCOMPARE(Get(s.url(QStringLiteral("/film/x.html"))).status, 404);
    QCOMPARE(Get(s.url(QStringLiteral("/nothing"))).status, 404);
}

QTEST_GUILESS_MAIN(TestDemoSite)
#include "tst_demosite.moc"
