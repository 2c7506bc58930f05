#include "GatewayFront.h"
#include "TestHttpServer.h"
#include "platform/core/HttpCall.h"
#include "relay/Relay.h"
#include "relay/definitions/CompiledDefinition.h"
#include "relay/gateway/DownloadTicket.h"
#include "relay/gateway/SiteSearch.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace {

const QByteArray kTorrent = "d8:announce14:http://t.test/4:infod6:lengthi1e4:name5:a.mkvee";

/** A public search engine: UTF-8 result list, .torrent files on a second host, one row that has
 *  only a magnet link. */
const char kPublicDefinition[] = "id: engine\n"
                                 "links:\n  - http://example.invalid/\n"
                                 "search:\n"
                                 "  paths:\n    - path: search\n"
                                 "  inputs:\n    q: \"{{ .Keywords }}\"\n"
                                 "  rows:\n    selector: div.result\n"
                                 "  fields:\n"
                                 "    title:\n      selector: a.name\n"
                                 "    download:\n      selector: a[href$=\".torrent\"], a.magnet\n"
                                 "      attribute: href\n";

/** A private tracker: cookie login, GBK pages whose tables have no <tbody>, the link on a
 *  details page, the download a POST. */
const char kTrackerDefinition[] =
    "id: tracker\n"
    "encoding: GBK\n"
    "links:\n  - http://example.invalid/\n"
    "login:\n  method: cookie\n"
    "  test:\n    path: index.php\n    selector: a[href*=logout]\n"
    "search:\n"
    "  paths:\n    - path: torrents.php\n"
    "  inputs:\n    search: \"{{ .Keywords }}\"\n"
    "  rows:\n    selector: table.list > tbody > tr:has(td)\n"
    "  fields:\n"
    "    title:\n      selector: td > a[href^=details]\n"
    "    details:\n      selector: td > a[href^=details]\n"
    "      attribute: href\n"
    "download:\n  method: post\n"
    "  selectors:\n    - selector: a.get\n      attribute: href\n"
    "      filters: [{name: replace, args: [dl.php, download.php]}]\n";

QByteArray Gbk(const QString& text)
{
    QStringEncoder encode("GBK");
    return encode.encode(text);
}

/** The public engine and the host its .torrent links point at. */
struct PublicSite {
    TestHttpServer torrents, site;
    /** hold: while true (for at most 5 s), the site keeps its answer back. */
    /** answered: counts the answers given. */
    explicit PublicSite(const std::atomic_bool* hold = nullptr, std::atomic_int* answered = nullptr)
    {
        torrents.reply(200, kTorrent, "application/x-bittorrent");
        const QString torrentUrl = torrents.url();
        site.serve([torrentUrl, hold, answered](const ServiceRequest&, ServiceResponse& r) {
            for (int i = 0; hold && *hold && i < 500; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (answered) ++*answered;
            r.contentType = "text/html; charset=utf-8";
            r.body = ("<div class=result><a class=name href=/d/1>Hero 2002</a>"
                      "<a href='" +
                      torrentUrl +
                      "/get/1.torrent'>t</a></div>"
                      "<div class=result><a class=name href=/d/2>Only a magnet</a>"
                      "<a class=magnet href='magnet:?xt=urn:btih:00'>m</a></div>")
                         .toStdString();
        });
    }
};

/** The tracker: pages only with the right cookie; the download only as a POST from a details
 *  page; anything else gets a friendly HTML error page, as trackers do. */
struct Tracker {
    TestHttpServer site;
    explicit Tracker(const std::string& cookie = "uid=7; pass=secret")
    {
        site.serve([cookie](const ServiceRequest& q, ServiceResponse& r) {
            r.contentType = "text/html; charset=gbk";
            const auto header = [&q](const char* name) {
                const auto it = q.headers.find(name);
                return it == q.headers.end() ? std::string() : it->second;
            };
            const bool in = header("cookie") == cookie;
            const std::string path = q.target.substr(0, q.target.find('?'));
            if (in && path == "/index.php") {
                r.body = "<a href=logout.php>out</a>";
            } else if (in && path == "/torrents.php") {
                r.body = Gbk(QStringLiteral("<table class=list><tr><th>名称</th></tr>"
                                            "<tr><td><a href=details.php?id=7>英雄 Hero</a></td>"
                                            "</tr></table>"))
                             .toStdString();
            } else if (in && path == "/details.php") {
                r.body =
                    "<a class=get href='dl.php?id=7&key=k'>get</a>"; // filtered to download.php
            } else if (in && q.method == "POST" && path == "/download.php" &&
                       q.body == "id=7&key=k" &&
                       header("referer").find("/details.php?id=7") != std::string::npos) {
                r.contentType = "application/x-bittorrent";
                r.body = kTorrent.toStdString();
            } else {
                r.body = "<html><head><title>Not logged in</title></head></html>";
            }
        });
    }
};

} // namespace

/** The gateway: the relay as the movie site the program knows, over definition sites. */
class TestGateway : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void publicEngineWithTorrentsOnAnotherHost();
    void cookieTrackerWithPostDownload();
    void thanksBeforeTheDownload();
    void refusedTickets_data();
    void refusedTickets();
    void privateTargetOfAPublicSite();
    void pageInsteadOfTorrent();
    void loginFailedCostsOnlyThatSite();
    void slowSiteCostsOnlyItsRows();
    void slowSiteHoldsUpNoOtherAnswer();
    void lateAnswerMakesTheSiteLagging();
    void definitionHeadersStayWithTheSite_data();
    void definitionHeadersStayWithTheSite();
    void ticketsKeepLinksSecret();
    void hugeTitleStaysUsable();
    void requestDelayKeepsRequestsApart();
    void sitesFromAFolderOfDefinitions();
    void keywordsStayInTheirPlace();
    void headersPagesAndErrors_data();
    void headersPagesAndErrors();
    void unsupportedDefinition_data();
    void unsupportedDefinition();
    void hostilePages_data();
    void hostilePages();
};

namespace {

QString Site(const QString& name, const QString& file, const QString& base,
             const QString& more = {})
{
    return QStringLiteral("[site %1]\ndefinition = %2\nbase = %3\n%4\n")
        .arg(name, file, base, more);
}

} // namespace

void TestGateway::publicEngineWithTorrentsOnAnotherHost()
{
    PublicSite engine;
    GatewayFront front(
        {{QStringLiteral("engine.yml"), kPublicDefinition}},
        Site(QStringLiteral("engine"), QStringLiteral("engine.yml"), engine.site.url()));
    QVERIFY2(front.start(), qPrintable(front.error));
    const Answer hits = front.search(QStringLiteral("Hero%202002"));
    QCOMPARE(hits.status, 200L);
    // The magnet-only row is left out: the program saves .torrent files.
    const QStringList fields = FromGb(hits.body).split(u'|');
    QCOMPARE(fields.size(), 3);
    QCOMPARE(fields[0], QStringLiteral("Hero 2002"));
    QVERIFY(fields[1].startsWith(u"/t/"));
    QVERIFY(engine.site.requests().at(0).requestLine.startsWith("GET /search?q=Hero%202002 "));

    QString title;
    const Answer torrent = front.searchAndDownload(QStringLiteral("Hero%202002"), &title);
    QCOMPARE(title, QStringLiteral("Hero 2002.torrent"));
    QCOMPARE(torrent.status, 200L);
    QCOMPARE(torrent.body, kTorrent);
    QCOMPARE(engine.torrents.requests().size(), 1);
}

void TestGateway::cookieTrackerWithPostDownload()
{
    Tracker tracker;
    GatewayFront front({{QStringLiteral("tracker.yml"), kTrackerDefinition}},
                       Site(QStringLiteral("pt"), QStringLiteral("tracker.yml"), tracker.site.url(),
                            QStringLiteral("cookie = uid=7; pass=secret")));
    QVERIFY2(front.start(), qPrintable(front.error));
    QString title;
    // "英雄" as the program sends it: UTF-8, percent-encoded; the site reads GBK.
    const Answer torrent = front.searchAndDownload(QStringLiteral("%E8%8B%B1%E9%9B%84"), &title);
    QCOMPARE(title, QStringLiteral("英雄 Hero.torrent"));
    QCOMPARE(torrent.body, kTorrent);
    bool searched = false;
    for (const SeenRequest& seen : tracker.site.requests())
        searched =
            searched || seen.requestLine.startsWith("GET /torrents.php?search=%D3%A2%D0%DB ");
    QVERIFY(searched);
}

void TestGateway::thanksBeforeTheDownload()
{
    // The link shows only in the answer to a "thanks" posted first; every request of the
    // download carries the search's header, the definition having none of its own.
    const char* definition = "id: thanks\n"
                             "links: [\"http://example.invalid/\"]\n"
                             "search:\n"
                             "  paths: [{path: search}]\n"
                             "  headers: {X-Client: [reelmate-test]}\n"
                             "  rows: {selector: div.result}\n"
                             "  fields:\n"
                             "    title: {selector: a}\n"
                             "    details: {selector: a, attribute: href}\n"
                             "download:\n"
                             "  before: {path: thanks.php, method: post, inputs: {id: \"{{ "
                             ".DownloadUri.Query.id }}\"}}\n"
                             "  selectors:\n"
                             "    - {selector: a.get, attribute: href, usebeforeresponse: true}\n";
    TestHttpServer site;
    site.serve([](const ServiceRequest& q, ServiceResponse& r) {
        const auto client = q.headers.find("x-client");
        const bool known = client != q.headers.end() && client->second == "reelmate-test";
        if (q.target.rfind("/search", 0) == 0) {
            r.body = "<div class=result><a href=details.php?id=7>Hero</a></div>";
        } else if (known && q.target == "/details.php?id=7") {
            r.body = "<p>say thanks first</p>";
        } else if (known && q.method == "POST" && q.target == "/thanks.php" && q.body == "id=7") {
            r.body = "<a class=get href=/get/7.torrent>torrent</a>";
        } else if (known && q.target == "/get/7.torrent") {
            r.contentType = "application/x-bittorrent";
            r.body = kTorrent.toStdString();
        } else {
            r.status = 404;
        }
    });
    GatewayFront front({{QStringLiteral("thanks.yml"), definition}},
                       Site(QStringLiteral("thanks"), QStringLiteral("thanks.yml"), site.url()));
    QVERIFY2(front.start(), qPrintable(front.error));
    QCOMPARE(front.searchAndDownload(QStringLiteral("Hero")).body, kTorrent);
    QByteArrayList seen;
    for (const SeenRequest& request : site.requests())
        seen << request.requestLine.left(request.requestLine.indexOf(" HTTP/"));
    QCOMPARE(seen.mid(1), QByteArrayList({"POST /thanks.php", "GET /get/7.torrent"}));
}

void TestGateway::refusedTickets_data()
{
    QTest::addColumn<QByteArray>("form");
    const TicketKey other(QByteArray(32, 'x'));
    const auto [id, mac] = other.Sign({"engine", "http://127.0.0.1:1/a.torrent", false, "a"});
    QTest::newRow("another gateway's ticket")
        << QByteArray::fromStdString("action=download&id=" + id + "&uhash=" + mac);
    QTest::newRow("no hash") << QByteArray::fromStdString("action=download&id=" + id);
    QTest::newRow("not a download") << QByteArray("action=delete&id=1&uhash=2");
    QTest::newRow("empty") << QByteArray();
}

void TestGateway::refusedTickets()
{
    QFETCH(QByteArray, form);
    PublicSite engine;
    GatewayFront front(
        {{QStringLiteral("engine.yml"), kPublicDefinition}},
        Site(QStringLiteral("engine"), QStringLiteral("engine.yml"), engine.site.url()));
    QVERIFY(front.start());
    const Answer answer = front.download(form);
    QCOMPARE(answer.status, 403L);
    QVERIFY(answer.body.startsWith("<!DOCTYPE html>"));
    QVERIFY(engine.site.requests().isEmpty() && engine.torrents.requests().isEmpty());
}

void TestGateway::privateTargetOfAPublicSite()
{
    // A genuine ticket whose link leads to this machine, for a site that is not on it.
    PublicSite engine;
    GatewayFront front({{QStringLiteral("engine.yml"), kPublicDefinition}},
                       Site(QStringLiteral("engine"), QStringLiteral("engine.yml"),
                            QStringLiteral("https://engine.example")));
    QVERIFY(front.start());
    const auto [id, mac] = front.config.gateway.key->Sign(
        {"engine", engine.torrents.url().toStdString() + "/get/1.torrent", false, "x"});
    const Answer answer =
        front.download(QByteArray("action=download&id=") + id.c_str() + "&uhash=" + mac.c_str());
    QCOMPARE(answer.status, 502L);
    QVERIFY2(answer.body.contains("not on the public Internet"), answer.body.constData());
    QVERIFY(engine.torrents.requests().isEmpty());

    // Altered by one character, the same link is refused before anything is fetched.
    std::string altered = id;
    altered[4] = altered[4] == 'A' ? 'B' : 'A';
    QCOMPARE(
        front
            .download(QByteArray("action=download&id=") + altered.c_str() + "&uhash=" + mac.c_str())
            .status,
        403L);
}

void TestGateway::pageInsteadOfTorrent()
{
    Tracker tracker("uid=7; pass=other"); // the download gets the tracker's error page
    GatewayFront front({{QStringLiteral("tracker.yml"), kTrackerDefinition}},
                       Site(QStringLiteral("pt"), QStringLiteral("tracker.yml"), tracker.site.url(),
                            QStringLiteral("cookie = uid=7; pass=secret")));
    QVERIFY(front.start());
    const auto [id, mac] = front.config.gateway.key->Sign(
        {"pt", tracker.site.url().toStdString() + "/download.php?id=7&key=k", false, "x"});
    const Answer answer =
        front.download(QByteArray("action=download&id=") + id.c_str() + "&uhash=" + mac.c_str());
    QCOMPARE(answer.status, 502L);
    QVERIFY2(answer.body.contains("a page, not a torrent: Not logged in"), answer.body.constData());
}

void TestGateway::loginFailedCostsOnlyThatSite()
{
    PublicSite engine;
    Tracker tracker;
    GatewayFront front(
        {{QStringLiteral("engine.yml"), kPublicDefinition},
         {QStringLiteral("tracker.yml"), kTrackerDefinition}},
        Site(QStringLiteral("engine"), QStringLiteral("engine.yml"), engine.site.url()) +
            Site(QStringLiteral("pt"), QStringLiteral("tracker.yml"), tracker.site.url(),
                 QStringLiteral("cookie = uid=7; pass=expired")));
    QVERIFY(front.start());
    QTRY_VERIFY(front.get(QStringLiteral("/healthz")).body.contains("\"state\":\"login_failed\""));
    const Answer hits = front.search(QStringLiteral("Hero"));
    QCOMPARE(hits.status, 200L);
    QCOMPARE(FromGb(hits.body).section(u'|', 0, 0), QStringLiteral("[engine] Hero 2002"));
    QCOMPARE(FromGb(hits.body).count(u'|'), 2);
    QVERIFY(front.get(QStringLiteral("/healthz")).body.contains("\"last_search\":{\"time\":"));
}

/** A slow site and a quick one, both the public engine, waited for no longer than the others
 *  once the slow one lags. */
QString SlowAndEngine(const PublicSite& slow, const PublicSite& engine)
{
    return QStringLiteral("lagging_grace_ms = 0\n") +
           Site(QStringLiteral("slow"), QStringLiteral("engine.yml"), slow.site.url()) +
           Site(QStringLiteral("engine"), QStringLiteral("engine.yml"), engine.site.url());
}

void TestGateway::slowSiteCostsOnlyItsRows()
{
    // The slow site's first search runs out of time; later ones leave it to a trial in the
    // background (no grace here), and once that trial has its answer the site is back.
    std::atomic_bool hold{true};
    PublicSite engine, slow(&hold);
    GatewayFront front({{QStringLiteral("engine.yml"), kPublicDefinition}},
                       SlowAndEngine(slow, engine), QStringLiteral("total_timeout_ms = 1500\n"));
    QVERIFY(front.start());
    const auto search = [&front] {
        const Answer hits = front.search(QStringLiteral("Hero"));
        return hits.status == 200 ? FromGb(hits.body) : QString::number(hits.status);
    };
    const QString engineOnly = QStringLiteral("[engine] Hero 2002|");
    QVERIFY(search().startsWith(engineOnly));
    for (int i = 0; i < 2; ++i) { // the trial's, then one while the trial runs
        QElapsedTimer took;
        took.start();
        QVERIFY(search().startsWith(engineOnly));
        QVERIFY2(took.elapsed() < 1000, qPrintable(QString::number(took.elapsed())));
    }
    hold = false;
    QTRY_VERIFY(search().startsWith(QStringLiteral("[slow] Hero 2002|")));
}

void TestGateway::slowSiteHoldsUpNoOtherAnswer()
{
    // Eight searches wait on a slow site (within its time limit, so not yet lagging): a download
    // from another site, one from the slow site itself and a search still come back while it
    // holds all eight.
    std::atomic_bool hold{true};
    std::atomic_int slowAnswers{0};
    PublicSite engine, slow(&hold, &slowAnswers);
    GatewayFront front(
        {{QStringLiteral("engine.yml"), kPublicDefinition}},
        Site(QStringLiteral("slow"), QStringLiteral("engine.yml"), slow.site.url()) +
            Site(QStringLiteral("engine"), QStringLiteral("engine.yml"), engine.site.url()),
        QStringLiteral("max_concurrent_fetches = 8\n"));
    QVERIFY(front.start());
    std::vector<std::future<Answer>> waiting;
    for (int i = 0; i < 8; ++i)
        waiting.push_back(std::async(std::launch::async, [&front, i] {
            return front.search(QStringLiteral("Hero%20") + QString::number(i));
        }));
    QTRY_COMPARE(slow.site.requests().size(), 8);
    const auto signedFor = [&front](const char* site, const TestHttpServer& torrents) {
        const auto [id, mac] = front.config.gateway.key->Sign(
            {site, torrents.url().toStdString() + "/get/1.torrent", false, "Hero"});
        return front.download(QByteArray("action=download&id=") + id.c_str() +
                              "&uhash=" + mac.c_str());
    };
    QCOMPARE(signedFor("engine", engine.torrents).body, kTorrent);
    QCOMPARE(signedFor("slow", slow.torrents).body, kTorrent);
    const Answer hits = front.search(QStringLiteral("Other"));
    QCOMPARE(hits.status, 200L);
    QVERIFY(FromGb(hits.body).startsWith(QStringLiteral("[engine] Hero 2002|")));
    QCOMPARE(slowAnswers.load(), 0); // all of that while the slow site held its answers
    hold = false;
    for (auto& search : waiting)
        QVERIFY(FromGb(search.get().body).startsWith(QStringLiteral("[slow] Hero 2002|")));
}

void TestGateway::lateAnswerMakesTheSiteLagging()
{
    // An answer in 80% of the site's time: in time, but lagging. The next search makes its
    // request a trial (held here) and the one after leaves the site out while that trial runs.
    // (600 ms to spare before the site's deadline, so that a loaded machine still answers.)
    std::atomic_bool hold{false};
    PublicSite engine, slow(&hold);
    GatewayFront front({{QStringLiteral("engine.yml"), kPublicDefinition}},
                       SlowAndEngine(slow, engine), QStringLiteral("total_timeout_ms = 3000\n"));
    QVERIFY(front.start());
    std::atomic_bool late{true};
    slow.site.serve([&](const ServiceRequest&, ServiceResponse& r) {
        if (late.exchange(false)) std::this_thread::sleep_for(std::chrono::milliseconds(2400));
        for (int i = 0; hold && i < 500; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        r.body = "<div class=result><a class=name>Late</a><a href=/1.torrent>t</a></div>";
    });
    QVERIFY(FromGb(front.search(QStringLiteral("a")).body).startsWith(u"[slow] Late|"));
    hold = true;
    QVERIFY(FromGb(front.search(QStringLiteral("b")).body).startsWith(u"[engine] Hero 2002|"));
    QTRY_COMPARE(slow.site.requests().size(), 2); // the trial, made in the background
    QVERIFY(FromGb(front.search(QStringLiteral("c")).body).startsWith(u"[engine] Hero 2002|"));
    QCOMPARE(slow.site.requests().size(), 2); // left out while the trial runs
    hold = false;
}

void TestGateway::definitionHeadersStayWithTheSite_data()
{
    QTest::addColumn<bool>("redirected");
    QTest::newRow("a link on the site that redirects to another host") << true;
    QTest::newRow("a link straight to another host") << false;
}

void TestGateway::definitionHeadersStayWithTheSite()
{
    // The definition's headers hold the user's API key: the site gets them, a torrent cache on
    // another host (another port here) never does, redirected there or linked.
    QFETCH(bool, redirected);
    std::mutex mutex;
    QStringList seen; // "host authorization|x-api-key"
    const auto record = [&](const char* host, const ServiceRequest& q) {
        const auto header = [&q](const char* name) {
            const auto it = q.headers.find(name);
            return it == q.headers.end() ? std::string() : it->second;
        };
        const std::lock_guard lock(mutex);
        seen << QString::fromStdString(host + (" " + header("authorization")) + "|" +
                                       header("x-api-key"));
    };
    TestHttpServer cdn, site;
    cdn.serve([&](const ServiceRequest& q, ServiceResponse& r) {
        record("cdn", q);
        r.contentType = "application/x-bittorrent";
        r.body = kTorrent.toStdString();
    });
    const std::string cdnLink = cdn.url().toStdString() + "/t/1.torrent";
    site.serve([&](const ServiceRequest& q, ServiceResponse& r) {
        record("site", q);
        if (q.target.rfind("/get/", 0) == 0) {
            r.status = 302;
            r.headers["Location"] = cdnLink;
            return;
        }
        r.body = "<div class=result><a class=name>Hero</a><a href='" +
                 (redirected ? std::string("/get/1.torrent") : cdnLink) + "'>t</a></div>";
    });
    QByteArray definition = kPublicDefinition;
    definition.replace("  paths:\n    - path: search\n",
                       "  paths:\n    - path: search\n"
                       "  headers:\n    Authorization: [\"Bearer {{ .Config.apikey }}\"]\n"
                       "    X-Api-Key: [\"{{ .Config.apikey }}\"]\n");
    definition.append("settings:\n  - {name: apikey, type: text, label: Key}\n");
    GatewayFront front({{QStringLiteral("engine.yml"), definition}},
                       Site(QStringLiteral("engine"), QStringLiteral("engine.yml"), site.url(),
                            QStringLiteral("config.apikey = K1")));
    QVERIFY2(front.start(), qPrintable(front.error));
    QCOMPARE(front.searchAndDownload(QStringLiteral("Hero")).body, kTorrent);
    const std::lock_guard lock(mutex);
    QStringList expected{QStringLiteral("site Bearer K1|K1")};
    if (redirected) expected << QStringLiteral("site Bearer K1|K1");
    expected << QStringLiteral("cdn |");
    QCOMPARE(seen, expected);
}

void TestGateway::ticketsKeepLinksSecret()
{
    // The download link holds the user's key: the search's answer (kept by caches, logged by
    // fronts) shows neither it nor what the ticket names; the download still works.
    TestHttpServer site;
    const std::string link = site.url().toStdString() + "/dl.php?id=1&apikey=SECRET123";
    site.serve([link](const ServiceRequest& q, ServiceResponse& r) {
        if (q.target.rfind("/dl.php", 0) == 0) {
            r.status = q.target == "/dl.php?id=1&apikey=SECRET123" ? 200 : 403;
            r.body = kTorrent.toStdString();
            return;
        }
        r.body = "<div class=result><a class=name>Hero 2002</a><a href='" + link + "'>t</a></div>";
    });
    QByteArray definition = kPublicDefinition;
    definition.replace("a[href$=\".torrent\"]", "a[href*=dl]");
    GatewayFront front({{QStringLiteral("engine.yml"), definition}},
                       Site(QStringLiteral("engine"), QStringLiteral("engine.yml"), site.url()));
    QVERIFY2(front.start(), qPrintable(front.error));
    const Answer hits = front.search(QStringLiteral("Hero"));
    const QStringList fields = FromGb(hits.body).split(u'|');
    QCOMPARE(fields.size(), 3);
    const QByteArray ticket = QByteArray::fromBase64(fields[1].section(u'/', 2, 2).toLatin1(),
                                                     QByteArray::Base64UrlEncoding);
    QVERIFY(!hits.body.contains("SECRET123"));
    QVERIFY(!ticket.contains("SECRET123") && !ticket.contains("Hero 2002") &&
            !ticket.contains("dl.php"));
    QCOMPARE(front.searchAndDownload(QStringLiteral("Hero")).body, kTorrent);
}

void TestGateway::hugeTitleStaysUsable()
{
    // A 300,000-character title: the film page still fits a request line, the download works
    // and the name the program saves stays a file name.
    const std::string title = "Hero " + std::string(300000, 'x');
    PublicSite engine;
    const QString torrents = engine.torrents.url();
    engine.site.serve([&title, torrents](const ServiceRequest&, ServiceResponse& r) {
        r.body = "<div class=result><a class=name>" + title + "</a><a href='" +
                 torrents.toStdString() + "/1.torrent'>t</a></div>";
    });
    GatewayFront front(
        {{QStringLiteral("engine.yml"), kPublicDefinition}},
        Site(QStringLiteral("engine"), QStringLiteral("engine.yml"), engine.site.url()));
    QVERIFY(front.start());
    const QStringList hits = FromGb(front.search(QStringLiteral("Hero")).body).split(u'|');
    QCOMPARE(hits.size(), 3);
    const Answer film = front.film(hits[1]);
    QCOMPARE(film.status, 200L);
    const QStringList torrent = FromGb(film.body).split(u'|');
    QCOMPARE(torrent.size(), 3);
    QVERIFY(torrent[0].startsWith(u"Hero xxx") && torrent[0].endsWith(u".torrent"));
    QVERIFY(torrent[0].toUtf8().size() <= 255);
    QCOMPARE(front.download(torrent[1].section(u'?', 1).toUtf8()).body, kTorrent);
}

void TestGateway::requestDelayKeepsRequestsApart()
{
    std::mutex mutex;
    QList<qint64> seen;
    QElapsedTimer clock;
    clock.start();
    TestHttpServer site;
    site.serve([&](const ServiceRequest&, ServiceResponse& r) {
        const std::lock_guard lock(mutex);
        seen << clock.elapsed();
        r.body = "<div class=result><a class=name>x</a><a href=http://h/1.torrent>t</a></div>";
    });
    QByteArray definition = kPublicDefinition;
    definition.append("requestDelay: 0.3\n");
    GatewayFront front({{QStringLiteral("engine.yml"), definition}},
                       Site(QStringLiteral("engine"), QStringLiteral("engine.yml"), site.url()));
    QVERIFY(front.start());
    for (const char* query : {"a", "b", "c"})
        QCOMPARE(front.search(QLatin1String(query)).status, 200L);
    const std::lock_guard lock(mutex);
    QCOMPARE(seen.size(), 3);
    // The queue spaces the requests' starts; how long each takes to reach the site varies by a
    // few milliseconds (the first one connects), so a little less than 300 ms may show here.
    QVERIFY2(seen[1] - seen[0] >= 250 && seen[2] - seen[1] >= 250,
             qPrintable(QStringLiteral("%1 %2 %3").arg(seen[0]).arg(seen[1]).arg(seen[2])));
}

void TestGateway::sitesFromAFolderOfDefinitions()
{
    // One line names the site; its section only moves it to this test's server.
    PublicSite engine;
    GatewayFront front({{QStringLiteral("engine.yml"), kPublicDefinition},
                        {QStringLiteral("unused.yml"), "not a definition"}},
                       QStringLiteral("definitions = .\nsites = engine\n[site engine]\nbase = ") +
                           engine.site.url() + u'\n');
    QVERIFY2(front.start(), qPrintable(front.error));
    QCOMPARE(FromGb(front.search(QStringLiteral("Hero")).body).section(u'|', 0, 0),
             QStringLiteral("Hero 2002"));

    GatewayFront missing({}, QStringLiteral("definitions = .\nsites = gone\n"));
    QVERIFY2(missing.error.contains(QStringLiteral("gone.yml:0: error cannot read the file")),
             qPrintable(missing.error));

    // Without sites, every definition of the folder is served; an empty folder, none yet.
    GatewayFront all({{QStringLiteral("engine.yml"), kPublicDefinition}},
                     QStringLiteral("definitions = .\n[site engine]\nbase = ") + engine.site.url() +
                         u'\n');
    QVERIFY2(all.start(), qPrintable(all.error));
    QCOMPARE(FromGb(all.search(QStringLiteral("Hero")).body).section(u'|', 0, 0),
             QStringLiteral("Hero 2002"));
    GatewayFront none({}, QStringLiteral("definitions = .\n"));
    QVERIFY2(none.start(), qPrintable(none.error));
    const Answer nothing = none.search(QStringLiteral("Hero"));
    QCOMPARE(nothing.status, 503L);
    QVERIFY(nothing.body.contains("no site to search yet"));
}

void TestGateway::keywordsStayInTheirPlace()
{
    // Keywords reach a header, the query and a POST form, in the site's encoding: a line break
    // typed into them starts no header of its own, and "&" or "=" start no input.
    QByteArray text = kTrackerDefinition;
    text.replace("  paths:\n    - path: torrents.php\n",
                 "  paths:\n    - path: torrents.php\n    - path: search.php\n      method: post\n"
                 "  headers:\n    X-Query: [\"{{ .Keywords }}\"]\n");
    auto definition = std::make_shared<CompiledDefinition>();
    std::string why;
    QVERIFY2(ParseDefinition(text.toStdString(), "t.yml", *definition, why), why.c_str());
    SiteProfile site;
    site.siteLink = "http://tracker.test/";
    site.definition = definition;
    const auto requests = SearchRequests(site, SearchValues(site, "英雄\r\nX-Evil: 1&a=b"));
    QCOMPARE(requests.size(), size_t(2));
    QCOMPARE(requests[0].headers, std::vector<std::string>{"X-Query: 英雄  X-Evil: 1&a=b"});
    QCOMPARE(
        requests[0].url,
        std::string(
            "http://tracker.test/torrents.php?search=%D3%A2%D0%DB%0D%0AX-Evil%3A%201%26a%3Db"));
    QCOMPARE(requests[1].body, std::string("search=%D3%A2%D0%DB%0D%0AX-Evil%3A%201%26a%3Db"));
}

void TestGateway::headersPagesAndErrors_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<long>("status");
    QTest::addColumn<QString>("answer");
    // Two pages; rows whose title lacks a keyword are dropped (andmatch).
    QTest::newRow("the key the site wants") << "k1" << 200L << "Hero 2002|Hero 1080p|";
    QTest::newRow("a key it refuses") << "nope" << 502L << "the site says: bad key";
}

void TestGateway::headersPagesAndErrors()
{
    QFETCH(QString, key);
    QFETCH(long, status);
    QFETCH(QString, answer);
    TestHttpServer site;
    site.serve([](const ServiceRequest& q, ServiceResponse& r) {
        r.contentType = "text/html";
        const auto header = q.headers.find("x-api-key");
        if (header == q.headers.end() || header->second != "k1")
            r.body = "<div class=error><p>bad key</p></div>";
        else if (q.target.find("&page=2") != std::string::npos)
            r.body = "<div class=result><a class=name>Hero 1080p</a><a href=/2.torrent>t</a></div>";
        else
            r.body = "<div class=result><a class=name>Hero 2002</a><a href=/1.torrent>t</a></div>"
                     "<div class=result><a class=name>Other</a><a href=/3.torrent>t</a></div>";
    });
    QByteArray definition = kPublicDefinition;
    definition.replace("  paths:\n    - path: search\n",
                       "  paths:\n    - path: search\n    - path: search\n"
                       "      inputs: {page: 2}\n"
                       "  headers:\n    X-Api-Key: [\"{{ .Config.key }}\"]\n"
                       "  error:\n    - selector: div.error\n      message: {selector: p}\n");
    definition.replace("    selector: div.result\n",
                       "    selector: div.result\n    filters: [{name: andmatch}]\n");
    definition.append("settings:\n  - {name: key, type: text, label: Key}\n");
    GatewayFront front({{QStringLiteral("engine.yml"), definition}},
                       Site(QStringLiteral("engine"), QStringLiteral("engine.yml"), site.url(),
                            QStringLiteral("config.key = ") + key));
    QVERIFY2(front.start(), qPrintable(front.error));
    const Answer hits = front.search(QStringLiteral("hero"));
    QCOMPARE(hits.status, status);
    const QString body = FromGb(hits.body);
    QString titles;
    const QStringList fields = body.split(u'|');
    for (qsizetype i = 0; i + 1 < fields.size(); i += 2)
        titles += fields[i] + u'|';
    QVERIFY2((status == 200 ? titles : body).startsWith(answer), qPrintable(body));
}

void TestGateway::unsupportedDefinition_data()
{
    QTest::addColumn<QByteArray>("definition");
    QTest::addColumn<QString>("sites");
    QTest::addColumn<QString>("expected");
    QByteArray oneUrl = kTrackerDefinition;
    oneUrl.replace("method: cookie", "method: oneurl");
    QTest::newRow("a login method not known")
        << oneUrl << QString() << "def.yml:6: unsupported login method oneurl";
    QTest::newRow("a cookie login without a cookie")
        << QByteArray(kTrackerDefinition) << QString() << "logs in with a cookie";
    QTest::newRow("a cookie file every user can read")
        << QByteArray(kTrackerDefinition) << QStringLiteral("cookie_file = def.yml")
        << "def.yml can be read by every user";
    QTest::newRow("a setting the file does not have")
        << QByteArray(kPublicDefinition) << QStringLiteral("config.sort = size")
        << "test.conf:11: site s: ";
}

void TestGateway::unsupportedDefinition()
{
    QFETCH(QByteArray, definition);
    QFETCH(QString, sites);
    QFETCH(QString, expected);
    GatewayFront front({{QStringLiteral("def.yml"), definition}},
                       Site(QStringLiteral("s"), QStringLiteral("def.yml"),
                            QStringLiteral("http://127.0.0.1:1"), sites));
    QVERIFY2(front.error.contains(expected), qPrintable(front.error));
    QVERIFY(!front.start());
}

void TestGateway::hostilePages_data()
{
    QTest::addColumn<QByteArray>("tail"); // after a result row
    QTest::addColumn<QString>("relayKeys");
    QTest::addColumn<long>("status");
    QTest::addColumn<QString>("answer");
    QTest::newRow("an ordinary page")
        << QByteArray("<p>more</p>") << QString() << 200L << "Hero 2002|";
    QTest::newRow("90,000 nested spans")
        << QByteArray("<span>").repeated(90000) << QString() << 502L << "page nested too deeply";
    QTest::newRow("100 KB, then 5,000 unclosed divs")
        << QByteArray(100000, 'x') + QByteArray("<div>").repeated(5000) << QString() << 502L
        << "page nested too deeply";
    // A flat page whose tree is more than 25 times the whole parse budget.
    const QString small = QStringLiteral("reduce_budget_bytes = 65536\n");
    QTest::newRow("a tree past the parse budget")
        << QByteArray("<p>x").repeated(100000) << small << 502L << "page too large to read";
    QTest::newRow("an ordinary page, a small budget")
        << QByteArray("<p>x").repeated(1000) << small << 200L << "Hero 2002|";
}

void TestGateway::hostilePages()
{
    QFETCH(QByteArray, tail);
    QFETCH(QString, relayKeys);
    QFETCH(long, status);
    QFETCH(QString, answer);
    const std::string page = "<div class=result><a class=name>Hero 2002</a>"
                             "<a href=/1.torrent>t</a></div>" +
                             tail.toStdString();
    TestHttpServer site;
    site.serve([&page](const ServiceRequest&, ServiceResponse& r) {
        r.contentType = "text/html; charset=utf-8";
        r.body = page;
    });
    GatewayFront front({{QStringLiteral("engine.yml"), kPublicDefinition}},
                       Site(QStringLiteral("engine"), QStringLiteral("engine.yml"), site.url()),
                       relayKeys);
    QVERIFY2(front.start(), qPrintable(front.error));
    const Answer hits = front.search(QStringLiteral("Hero"));
    QCOMPARE(hits.status, status);
    QVERIFY2(FromGb(hits.body).startsWith(answer), hits.body.left(200).constData());
}

QTEST_MAIN(TestGateway)
#include "tst_gateway.moc"
