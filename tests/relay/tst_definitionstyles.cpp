#include "GatewayFront.h"
#include "TestHttpServer.h"
#include "TestSwarm.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <mutex>

namespace {

/** The bytes of a small single-file .torrent named after the site, so that each site's differ. */
QByteArray TorrentFor(const QString& site)
{
    const auto text = [](const QByteArray& bytes) {
        return QByteArray::number(bytes.size()) + ':' + bytes;
    };
    return "d8:announce" + text("http://tracker.test/announce") + "4:infod6:lengthi4096e4:name" +
           text(site.toUtf8() + ".mkv") + "12:piece lengthi16384e6:pieces" +
           text(QByteArray(20, char(site.size()))) + "ee";
}

QByteArray ReadData(const QString& name)
{
    QFile file(QStringLiteral(STYLES_DIR "/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray ContentType(const QString& file)
{
    if (file.endsWith(u".json")) return "application/json";
    if (file.endsWith(u".xml")) return "application/rss+xml";
    return "text/html"; // no charset: the definition's encoding is what counts
}

/** A site made of the test's files: pages (or redirects) by exact target, else by path; the
 *  .torrent at its path; every other address a 404. It keeps each request, as
 *  "METHOD TARGET[ BODY]", and the Cookie each one carried. */
class StyleSite {
public:
    /** fill: more placeholders of the pages, with what stands for them. */
    StyleSite(const QStringList& pages, const QString& torrentPath, const QByteArray& torrent,
              const QList<QPair<QByteArray, QByteArray>>& fill = {})
    {
        for (const QString& page : pages)
            pages_.insert(page.section(QStringLiteral(" => "), 0, 0).toUtf8(),
                          page.section(QStringLiteral(" => "), 1));
        const QByteArray base = server.url().toUtf8();
        server.serve([this, base, torrentPath, torrent, fill](const ServiceRequest& q,
                                                              ServiceResponse& r) {
            {
                const std::lock_guard lock(mutex_);
                const auto cookie = q.headers.find("cookie");
                seen_ << QString::fromStdString(q.method + ' ' + q.target +
                                                (q.body.empty() ? "" : ' ' + q.body));
                cookies_ << QString::fromStdString(cookie == q.headers.end() ? std::string()
                                                                             : cookie->second);
            }
            const QByteArray target = QByteArray::fromStdString(q.target);
            const QByteArray path = target.split('?').front();
            if (path == torrentPath.toUtf8()) {
                r.contentType = "application/x-bittorrent";
                r.body = torrent.toStdString();
                return;
            }
            const QString file = pages_.value(target, pages_.value(path));
            if (file.isEmpty()) {
                r.status = 404;
                r.body = "no such page";
                return;
            }
            if (file.startsWith(u"302 ")) {
                r.status = 302;
                r.headers["Location"] = file.mid(4).toUtf8().replace("{SITE}", base).toStdString();
                return;
            }
            r.contentType = ContentType(file).toStdString();
            QByteArray body = ReadData(file).replace("{SITE}", base);
            for (const auto& [placeholder, value] : fill)
                body.replace(placeholder, value);
            r.body = body.toStdString();
        });
    }
    QStringList seen() const
    {
        const std::lock_guard lock(mutex_);
        return seen_;
    }
    QStringList cookies() const
    {
        const std::lock_guard lock(mutex_);
        return cookies_;
    }

    TestHttpServer server;

private:
    QMap<QByteArray, QString> pages_;
    mutable std::mutex mutex_;
    QStringList seen_, cookies_;
};

/** Requests as a site reads them: "+" in a query or form is a space, %-escapes in either case. */
QStringList Meaning(QStringList requests)
{
    static const QRegularExpression escape(QStringLiteral("%[0-9a-fA-F]{2}"));
    for (QString& request : requests) {
        const qsizetype query = request.indexOf(u'?');
        const qsizetype body = request.indexOf(u' ', request.indexOf(u' ') + 1);
        const qsizetype from = query >= 0 ? query : body;
        if (from >= 0) request = request.left(from) + request.mid(from).replace(u'+', "%20");
        for (auto match = escape.globalMatch(request); match.hasNext();) {
            const auto m = match.next();
            request.replace(m.capturedStart(), 3, m.captured().toUpper());
        }
    }
    return requests;
}

} // namespace

/** Definitions written in the styles of the community's sets, each against pages written for it,
 *  through a real relay: the hits the program lists and the .torrent it saves. */
class TestDefinitionStyles : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void searchAndDownload_data();
    void searchAndDownload();
    void magnetOnlySite();
};

void TestDefinitionStyles::searchAndDownload_data()
{
    QTest::addColumn<QString>("site");     // NAME: tests/relay/data/styles/NAME.yml
    QTest::addColumn<QString>("keywords"); // as typed in the program
    // "TARGET => FILE" or "TARGET => 302 LOCATION": by the whole target, else by its path.
    QTest::addColumn<QStringList>("pages");
    QTest::addColumn<QString>("siteKeys");     // more lines of the site's section
    QTest::addColumn<QStringList>("titles");   // the hits the program lists, in order
    QTest::addColumn<int>("pick");             // the hit downloaded; -1 none
    QTest::addColumn<QString>("torrentPath");  // where the site serves the .torrent
    QTest::addColumn<QStringList>("requests"); // all the site saw: search, then download
    QTest::addColumn<QString>("cookie");       // on every request
    // "CHECK|why" for each check this relay is known to fail yet (titles, film, torrent,
    // requests, spelling), split by ';'.
    QTest::addColumn<QString>("known");

    const QString none;
    QTest::newRow("two rows a torrent (rows.after)")
        << "tworows"
        << "Hero" << QStringList{"/torrents.php => tworows.html"} << none
        << QStringList{"Hero 2002 1080p BluRay", "Hero 2002 720p WEB-DL"} << 1 << "/download.php"
        << QStringList{"GET /torrents.php?searchstr=Hero&order_by=time&order_way=desc",
                       "GET /download.php?id=12&f=Hero.torrent"}
        << none << none;
    QTest::newRow("tables without tbody, a select setting's default, re_replace $1")
        << "notbody"
        << "Oldboy" << QStringList{"/index.php => notbody.html"} << none
        << QStringList{"Oldboy 2003 (REMUX)", "Oldboy 2013"} << 0 << "/download.php"
        << QStringList{"GET /index.php?page=torrents&search=Oldboy&category=0&active=1",
                       "GET /download.php?id=abc1&f=Oldboy.torrent"}
        << none << none;
    const QString cookie = QStringLiteral("c_secure_uid=MTA%3D; c_secure_pass=0a1b2c");
    QTest::newRow("Chinese tracker: embedded titles, optional imdb and douban, cookie")
        << "nexus" << QStringLiteral("英雄")
        << QStringList{"/torrents.php => nexus.html", "/index.php => nexus.html"}
        << QStringLiteral("cookie = ") + cookie
        << QStringList{"Hero 2002 BluRay 1080p x264", QStringLiteral("英雄 Hero 2002 导演剪辑版")}
        << 1 << "/download.php"
        << QStringList{"GET /torrents.php?search=%E8%8B%B1%E9%9B%84&search_area=0&search_mode=0&"
                       "incldead=0&spstate=0&notnewword=1",
                       "GET /download.php?id=302"}
        << cookie << none;
    QTest::newRow("GBK tracker, the link on the details page")
        << "gbk" << QStringLiteral("英雄")
        << QStringList{"/torrents.php => gbk.html", "/details.php => gbk.details.html"} << none
        << QStringList{QStringLiteral("英雄 Hero 2002"),
                       QStringLiteral("英雄本色 A Better Tomorrow 1986")}
        << 0 << "/download.php"
        << QStringList{"GET /torrents.php?search=%D3%A2%D0%DB&incldead=1", "GET /details.php?id=88",
                       "GET /download.php?id=88&passkey=k88"}
        << none << none;
    QTest::newRow("GB2312 site searched by a posted form")
        << "gb2312post" << QStringLiteral("霸王别姬")
        << QStringList{"/search.php => gb2312post.html"} << none
        << QStringList{QStringLiteral("霸王别姬 Farewell My Concubine 1993")} << 0
        << "/bt/3.torrent"
        << QStringList{"POST /search.php keyword=%b0%d4%cd%f5%b1%f0%bc%a7&field=title",
                       "GET /bt/3.torrent"}
        << none
        << QStringLiteral("spelling|a form in a charset other than UTF-8 has lower-case escapes "
                          "in the reference readers (HttpUtility.UrlEncode), the relay's are "
                          "upper-case");
    QTest::newRow("posted form to a path with a query")
        << "postform"
        << "Hero" << QStringList{"/index.php => postform.html"} << none
        << QStringList{"Hero 2002 BDRip", "Hero 2002 DVD5"} << 1 << "/engine/download.php"
        << QStringList{"POST /index.php?do=search do=search&subaction=search&story=Hero",
                       "GET /engine/download.php?id=72"}
        << none << none;
    QTest::newRow("windows-1251 tracker")
        << "cp1251" << QStringLiteral("Брат") << QStringList{"/forum/tracker.php => cp1251.html"}
        << none
        << QStringList{QStringLiteral("Брат 1997 DVDRip"), QStringLiteral("Брат 2 2000 BDRip 720p")}
        << 0 << "/forum/dl.php"
        << QStringList{"GET /forum/tracker.php?nm=%C1%F0%E0%F2&o=1", "GET /forum/dl.php?t=501"}
        << none << none;
    QTest::newRow("keywords in the path, two download selectors")
        << "pathkeys"
        << "AC/DC #1"
        << QStringList{"/search/AC%2FDC%20%231/1/ => pathkeys.html",
                       "/torrent/9001/ac-dc-1-hits/ => pathkeys.details.html"}
        << none << QStringList{"AC DC #1 Hits", "AC/DC Back in Black #1"} << 0
        << "/get/9001/AC_DC_1_Hits.torrent"
        << QStringList{"GET /search/AC%2FDC%20%231/1/", "GET /torrent/9001/ac-dc-1-hits/",
                       "GET /get/9001/AC_DC_1_Hits.torrent"}
        << none << none;
    const QStringList jsonPages{"/api/v1/torrents => jsonapi.json",
                                "/api/v1/torrents?query=Nothing&apikey=K9 => jsonapi.none.json",
                                "/api/v1/torrents?query=Zero&apikey=K9 => jsonapi.zero.json"};
    QTest::newRow("JSON API with a key")
        << "jsonapi"
        << "Amelie" << jsonPages << "config.apikey = K9"
        << QStringList{"Amelie 2001 1080p BluRay", "Amelie 2001 DVD9"} << 0
        << "/api/v1/torrents/71/download"
        << QStringList{"GET /api/v1/torrents?query=Amelie&apikey=K9",
                       "GET /api/v1/torrents/71/download?apikey=K9"}
        << none << none;
    QTest::newRow("JSON API: its no-results message")
        << "jsonapi"
        << "Nothing" << jsonPages << "config.apikey = K9" << QStringList() << -1 << none
        << QStringList{"GET /api/v1/torrents?query=Nothing&apikey=K9"} << none << none;
    QTest::newRow("JSON API: a count of 0")
        << "jsonapi"
        << "Zero" << jsonPages << "config.apikey = K9" << QStringList() << -1 << none
        << QStringList{"GET /api/v1/torrents?query=Zero&apikey=K9"} << none << none;
    const QStringList nestedPages{
        "/api/v2/list_movies.json => jsonnested.json",
        "/api/v2/list_movies.json?query_term=Nothing&sort_by=date_added&limit=50 => "
        "jsonnested.none.json"};
    QTest::newRow("JSON rows inside rows, ..parent fields")
        << "jsonnested"
        << "Amelie" << nestedPages << none
        << QStringList{"Amelie (2001) 720p bluray", "Amelie (2001) 1080p bluray",
                       "Amelie Returns (2021) 2160p web"}
        << 1 << "/torrent/download/AAA2"
        << QStringList{"GET /api/v2/list_movies.json?query_term=Amelie&sort_by=date_added&limit=50",
                       "GET /torrent/download/AAA2"}
        << none << none;
    QTest::newRow("JSON rows inside rows: none there")
        << "jsonnested"
        << "Nothing" << nestedPages << none << QStringList() << -1 << none
        << QStringList{"GET "
                       "/api/v2/list_movies.json?query_term=Nothing&sort_by=date_added&limit=50"}
        << none << none;
    QTest::newRow("RSS feed") << "rss"
                              << "Tom" << QStringList{"/rss.php => rss.xml"}
                              << "config.passkey = PK7"
                              << QStringList{"Tom & Jerry: The Movie 1992", "Tom and Jerry 2021"}
                              << 0 << "/get.php"
                              << QStringList{"GET /rss.php?search=Tom&passkey=PK7",
                                             "GET /get.php?id=9&passkey=PK7"}
                              << none << none;
    QTest::newRow("a thanks posted before the download")
        << "before"
        << "Ran" << QStringList{"/browse.php => before.html", "/takethanks.php => before.html"}
        << none << QStringList{"Ran 1985 Remastered"} << 0 << "/download.php"
        << QStringList{"GET /browse.php?q=Ran", "POST /takethanks.php torrentid=7&ajax=1",
                       "GET /download.php?id=7"}
        << none << none;
    QTest::newRow("a chain of field filters")
        << "filters"
        << "Hero" << QStringList{"/list => filters.html"} << none
        << QStringList{"NEW: Hero 2002 1080p BluRay (GRP)", "NEW: Tom & Jerry 1992 (GRP)"} << 1
        << "/dl/6/file.torrent" << QStringList{"GET /list?s=Hero", "GET /dl/6/file.torrent"} << none
        << none;
    QTest::newRow("keywords filters")
        << "keywordsfilters"
        << "Hero: 2002!" << QStringList{"/browse.php => keywordsfilters.html"} << none
        << QStringList{"Hero 2002", "Hero 2002 Extended"} << 0 << "/files/hero-2002.torrent"
        << QStringList{"GET /browse.php?q=hero%252002", "GET /files/hero-2002.torrent"} << none
        << none;
    QTest::newRow("andmatch drops rows without every keyword")
        << "andmatch"
        << "Heat 1995" << QStringList{"/search => andmatch.html"} << none
        << QStringList{"Heat 1995 1080p", "1995 HEAT Remux"} << 1 << "/d/3.torrent"
        << QStringList{"GET /search?q=Heat+1995", "GET /d/3.torrent"} << none
        << QStringLiteral("spelling|the reference readers write a space in a query as "
                          "'+', the relay as %20");
    QTest::newRow("case blocks in a title template")
        << "cases"
        << "Spirited" << QStringList{"/find => cases.html"} << none
        << QStringList{"Spirited Away 2001 [1080p]", "Spirited Away 2001 [720p]",
                       "Spirited Away 2001 [SD]"}
        << 2 << "/dl/3.torrent" << QStringList{"GET /find?title=Spirited", "GET /dl/3.torrent"}
        << none << none;
    QTest::newRow("templates: re_replace, if/else, eq, and, settings' defaults")
        << "templates"
        << "Hero 2002" << QStringList{"/browse.php => templates.html"} << none
        << QStringList{"Hero (2002)", "Hero Unknown"} << 0 << "/get/1.torrent"
        << QStringList{"GET /browse.php?q=Hero.2002&sort=seeders&lang=eng", "GET /get/1.torrent"}
        << none << none;
    QTest::newRow("templates: a setting given")
        << "templates"
        << "Hero" << QStringList{"/freeleech.php => templates.html"}
        << "config.freeleech = true\nconfig.lang = de" << QStringList{"Hero (2002)", "Hero Unknown"}
        << 1 << "/get/2.torrent"
        << QStringList{"GET /freeleech.php?q=Hero&sort=seeders&lang=de&free=1",
                       "GET /get/2.torrent"}
        << none << none;
    QTest::newRow("paths by category, all searched")
        << "multipaths"
        << "Heat"
        << QStringList{"/movies.php => multipaths.movies.html",
                       "/series.php => multipaths.series.html",
                       "/archive.php => multipaths.archive.html"}
        << none << QStringList{"Heat 1995", "Heat S01E01", "Heat 1986"} << 1 << "/s/1.torrent"
        << QStringList{"GET /movies.php?q=Heat", "GET /series.php?q=Heat&type=all",
                       "GET /archive.php?term=Heat", "GET /s/1.torrent"}
        << none << none;
    QTest::newRow("optional fields and defaults")
        << "optional"
        << "Parasite" << QStringList{"/q => optional.html"} << none
        << QStringList{"Parasite 2019 [BluRay]-GRP", "Parasite 2019 [WEB]"} << 1 << "/t/2.torrent"
        << QStringList{"GET /q?text=Parasite", "GET /t/2.torrent"} << none << none;
    QTest::newRow("remove inside a field; rows.remove read, not applied")
        << "remove"
        << "Whiplash" << QStringList{"/torrents => remove.html"} << none
        << QStringList{"Whiplash 2014 1080p", "Whiplash 2014 720p"} << 0
        << "/download/31/whiplash.torrent"
        << QStringList{"GET /torrents?search=Whiplash", "GET /download/31/whiplash.torrent"} << none
        << none;
    QTest::newRow("ISO-8859-1 tracker")
        << "latin1" << QStringLiteral("Amélie")
        << QStringList{"/torrents/recherche/ => latin1.html"} << none
        << QStringList{QStringLiteral("Le Fabuleux Destin d'Amélie Poulain 2001 FRENCH 1080p"),
                       QStringLiteral("Amélie 2001 FRENCH DVDRip")}
        << 1 << "/telecharger/82"
        << QStringList{"GET /torrents/recherche/?recherche=Am%E9lie&tri=date",
                       "GET /telecharger/82"}
        << none << none;
    QTest::newRow("a search sent on to a results page")
        << "redirect"
        << "Heat"
        << QStringList{"/search.php => 302 /results.php?sid=9", "/results.php => redirect.html"}
        << none << QStringList{"Heat 1995 Director's Definitive Edition"} << 0
        << "/torrents/5.torrent"
        << QStringList{"GET /search.php?q=Heat&t=0", "GET /results.php?sid=9",
                       "GET /torrents/5.torrent"}
        << none << none;
    QTest::newRow("filters that read line breaks")
        << "newlines"
        << "Tarkovsky" << QStringList{"/torrents/ => newlines.html"} << none
        << QStringList{QStringLiteral("Сталкер 1979"), QStringLiteral("Солярис 1972"),
                       QStringLiteral("Зеркало   1975")}
        << 0 << "/get/61" << QStringList{"GET /torrents/?q=Tarkovsky", "GET /get/61"} << none
        << none;
    QTest::newRow("regexp and querystring filters")
        << "regexp"
        << "Hero" << QStringList{"/index.php => regexp.html"} << none
        << QStringList{"Hero (2002)", "Hero (1992)"} << 0 << "/download/42.torrent"
        << QStringList{"GET /index.php?page=search&query=Hero", "GET /download/42.torrent"} << none
        << none;
}

void TestDefinitionStyles::searchAndDownload()
{
    QFETCH(QString, site);
    QFETCH(QString, keywords);
    QFETCH(QStringList, pages);
    QFETCH(QString, siteKeys);
    QFETCH(QStringList, titles);
    QFETCH(int, pick);
    QFETCH(QString, torrentPath);
    QFETCH(QStringList, requests);
    QFETCH(QString, cookie);
    QFETCH(QString, known);
    const auto knownFault = [&known](const QString& check) {
        for (const QString& fault : known.split(u';', Qt::SkipEmptyParts))
            if (fault.section(u'|', 0, 0) == check) return fault.section(u'|', 1);
        return QString();
    };
#define EXPECT_KNOWN(check)                                                                        \
    if (const QString why = knownFault(QStringLiteral(check)); !why.isEmpty())                     \
        QEXPECT_FAIL("", qPrintable(why), Continue);

    const QByteArray torrent = TorrentFor(site);
    StyleSite fake(pages, torrentPath, torrent);
    const QString file = site + QStringLiteral(".yml");
    const QByteArray definition = ReadData(file);
    QVERIFY2(!definition.isEmpty(), qPrintable(file));
    GatewayFront front({{file, definition}},
                       QStringLiteral("[site %1]\ndefinition = %2\nbase = %3\n%4\n")
                           .arg(site, file, fake.server.url(), siteKeys));
    QVERIFY2(front.start(), qPrintable(front.error));

    // The program sends the keywords as UTF-8, percent-encoded.
    const QStringList hits = front.hits(QString::fromLatin1(QUrl::toPercentEncoding(keywords)));
    QStringList seenTitles;
    for (qsizetype i = 0; i < hits.size(); i += 2)
        seenTitles << hits[i];
    EXPECT_KNOWN("titles");
    QCOMPARE(seenTitles, titles);

    if (pick >= 0) {
        const QStringList film = front.torrent(hits.value(2 * pick + 1));
        EXPECT_KNOWN("film");
        QCOMPARE(film.value(0), titles[pick] + QStringLiteral(".torrent"));
        const Answer got = front.downloadLink(film.value(1));
        EXPECT_KNOWN("torrent");
        QCOMPARE(got.body, torrent);
    }

    // Everything the search and the download asked of the site (the login test aside): the same
    // in meaning, then spelled as the reference readers spell it.
    QStringList seen = fake.seen();
    seen.removeAll(QStringLiteral("GET /index.php"));
    EXPECT_KNOWN("requests");
    QCOMPARE(Meaning(seen), Meaning(requests));
    EXPECT_KNOWN("spelling");
    QCOMPARE(seen, requests);
    for (const QString& sent : fake.cookies())
        QCOMPARE(sent, cookie);
#undef EXPECT_KNOWN
}

void TestDefinitionStyles::magnetOnlySite()
{
    // Rows with magnet links only: the torrent comes from a swarm made here on loopback, and
    // nothing but the search reaches the site.
    QTemporaryDir files;
    const MadeTorrent made = MakeTorrent(files.path(), QStringLiteral("film.mkv"), Kind::V1);
    Seeder seeder;
    seeder.Seed(made, files.path());
    QTRY_VERIFY(seeder.ready());
    const int port = seeder.port();
    Tracker tracker(port);
    StyleSite fake(
        {QStringLiteral("/search/Swarm%20Film/ => magnetonly.html")}, {}, {},
        {{"{HASH}", made.v1.toHex()}, {"{TRACKER}", QByteArray::fromStdString(tracker.url())}});
    const QString file = QStringLiteral("magnetonly.yml");
    GatewayFront front({{file, ReadData(file)}},
                       QStringLiteral("[site magnetonly]\ndefinition = %1\nbase = %2\n")
                           .arg(file, fake.server.url()));
    QVERIFY2(front.start(), qPrintable(front.error));
    const QStringList hits = front.hits(QStringLiteral("Swarm%20Film"));
    QCOMPARE(hits.size(), 4);
    QCOMPARE(hits[0], QStringLiteral("Swarm Film 2026 1080p"));
    QCOMPARE(hits[2], QStringLiteral("Swarm Film 2026 Sample"));
    const QStringList film = front.torrent(hits[1]);
    QCOMPARE(film.value(0), QStringLiteral("Swarm Film 2026 1080p.torrent"));
    const Answer got = front.downloadLink(film.value(1));
    QVERIFY2(got.status == 200, got.body.constData());
    QCOMPARE(QCryptographicHash::hash(InfoBytes(got.body.toStdString()), QCryptographicHash::Sha1),
             made.v1);
    QCOMPARE(fake.seen(), QStringList{QStringLiteral("GET /search/Swarm%20Film/")});
}

QTEST_GUILESS_MAIN(TestDefinitionStyles)
#include "tst_definitionstyles.moc"
