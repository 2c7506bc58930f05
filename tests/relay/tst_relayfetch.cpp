#include "DemoServices.h"
#include "TestCertificate.h"
#include "TestHttpServer.h"
#include "platform/core/ByteStream.h"
#include "platform/core/HttpCall.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStringEncoder>
#include <QTest>

#include <mutex>

namespace {

const QByteArray kRows = "<ul class='results'><li><a class='title' href='/f/1'>无间道</a></li>"
                         "<li><a class='title' href='/f/2'>英雄</a></li></ul>";
const QString kReply = QStringLiteral("无间道|/f/1|英雄|/f/2|");

struct Answer {
    long status = 0;
    QString text;
};

/** A relay in front of one site read with the demo layout, the profile adjusted by the test. */
struct Front {
    std::unique_ptr<Relay> relay;
    HttpService service{
        [this](const ServiceRequest& q, ServiceResponse& r) { relay->Handle(q, r); }};
    QString site;
    Front(const QString& siteUrl, const std::function<void(SiteProfile&)>& adjust,
          RelayConfig config = {})
        : site(siteUrl)
    {
        SiteProfile p = DemoProfile(QUrl(siteUrl).port(), "UTF-8");
        p.scheme = QUrl(siteUrl).scheme().toStdString();
        p.base = siteUrl.toStdString();
        adjust(p);
        config.sites.push_back(p);
        relay = std::make_unique<Relay>(config, [](const std::string&) {});
        service.start({});
    }
    Answer healthz() const
    {
        HttpCall call;
        call.url = QStringLiteral("http://127.0.0.1:%1/healthz").arg(service.port());
        const HttpOutcome out = PerformHttp(call);
        return {out.status, QString::fromUtf8(out.body)};
    }
    Answer search(const QString& query = QStringLiteral("x")) const
    {
        return get(QStringLiteral("/moviejk/Find.php?url=%1/s.php?q=%2").arg(site, query));
    }
    Answer film(const QString& path) const
    {
        return get(QStringLiteral("/moviejk/Down.php?url=%1%2").arg(site, path));
    }
    Answer get(const QString& target) const
    {
        HttpCall call;
        call.url = QStringLiteral("http://127.0.0.1:%1").arg(service.port()) + target;
        const HttpOutcome out = PerformHttp(call);
        return {out.status,
                out.status == 200 ? DecodeGb18030(out.body) : QString::fromUtf8(out.body)};
    }
};

QByteArray Deflated(const QByteArray& bytes)
{
    return qCompress(bytes, 9).mid(4); // a zlib stream, as "Content-Encoding: deflate" carries
}

} // namespace

/** The relay against pages as real sites serve them. */
class TestRelayFetch : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void https_data();
    void https();
    void compressed_data();
    void compressed();
    void charsets_data();
    void charsets();
    void cookiesAndUserAgent();
    void searchOverSeveralPages();
    void siteGoesDownAndRecovers();
    void breakerCountsOnlyADownSite_data();
    void breakerCountsOnlyADownSite();
    void nextPageLinksThatLoop();
    void partialAnswerIsNotKept();
    void nestedRowsStayWithinTheCap();
    void canarySeesLayoutChange();
};

void TestRelayFetch::https_data()
{
    QTest::addColumn<bool>("trusted");
    QTest::newRow("certificate trusted through ca_file") << true;
    QTest::newRow("certificate not trusted") << false;
}

void TestRelayFetch::https()
{
    QFETCH(bool, trusted);
    TestCertificate tls;
    QVERIFY2(!tls.cert.empty(), "openssl made no certificate");
    TestHttpServer site(tls.key, tls.cert);
    site.reply(200, kRows, "text/html; charset=utf-8");
    Front front(site.url(), [&](SiteProfile& p) {
        if (trusted) p.caFile = tls.certFile().toStdString();
    });
    QVERIFY(site.url().startsWith(u"https://"));
    const Answer a = front.search();
    if (trusted) {
        QCOMPARE(a.status, 200);
        QCOMPARE(a.text, kReply);
    } else {
        QCOMPARE(a.status, 502); // refused, and said why
        QVERIFY2(a.text.contains(QStringLiteral("certificate")), qPrintable(a.text));
        QVERIFY(!a.text.contains(u'|'));
    }
}

void TestRelayFetch::compressed_data()
{
    QTest::addColumn<QByteArray>("coding");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::newRow("gzip") << QByteArray("gzip") << QByteArray() << 200;
    QTest::newRow("deflate") << QByteArray("deflate") << Deflated(kRows) << 200;
    // 64 MB of spaces in 64 KB: refused once the decoded page passes the cap, not expanded
    QTest::newRow("decompression bomb")
        << QByteArray("deflate") << Deflated(kRows + QByteArray(64 << 20, ' ')) << 502;
}

void TestRelayFetch::compressed()
{
    QFETCH(QByteArray, coding);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    if (coding == "gzip") {
        QProcess gzip;
        gzip.start(QStringLiteral("gzip"), {QStringLiteral("-c")});
        gzip.write(kRows);
        gzip.closeWriteChannel();
        QVERIFY(gzip.waitForFinished());
        body = gzip.readAllStandardOutput();
    }
    TestHttpServer site;
    const std::string served = body.toStdString(), encoding = coding.toStdString();
    site.serve([served, encoding](const ServiceRequest&, ServiceResponse& r) {
        r.body = served;
        r.contentType = "text/html; charset=utf-8";
        r.headers["Content-Encoding"] = encoding;
    });
    RelayConfig config;
    config.maxPageBytes = 1 << 20;
    Front front(
        site.url(), [](SiteProfile&) {}, config);
    const Answer a = front.search();
    QCOMPARE(a.status, status);
    if (status == 200)
        QCOMPARE(a.text, kReply);
    else
        QVERIFY2(a.text.contains(QStringLiteral("too large")), qPrintable(a.text));
}

void TestRelayFetch::charsets_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("page");
    QStringEncoder gbk("GBK");
    const QByteArray gbkRows = gbk.encode(QString::fromUtf8(kRows));
    QTest::newRow("UTF-8 page with only <meta charset>")
        << QByteArray("text/html") << "<html><head><meta charset=\"utf-8\"></head><body>" + kRows;
    QTest::newRow("GBK page with http-equiv")
        << QByteArray("text/html")
        << "<html><head><meta http-equiv='Content-Type' content='text/html; charset=gbk'>" +
               gbkRows;
    QTest::newRow("GBK named by the HTTP header")
        << QByteArray("text/html; charset=GBK") << gbkRows;
    QTest::newRow("nothing said: GB18030") << QByteArray("text/html") << gbkRows;
    // Declarations a page in ASCII bytes cannot truly make are not taken at their word.
    QTest::newRow("ASCII-readable page declaring UTF-16")
        << QByteArray("text/html") << "<html><head><meta charset=\"utf-16\"></head>" + kRows;
    QTest::newRow("ASCII-readable page declaring EBCDIC")
        << QByteArray("text/html") << "<html><head><meta charset=\"IBM037\"></head>" + gbkRows;
    QTest::newRow("byte-order mark over a header that says GBK")
        << QByteArray("text/html; charset=GBK") << "\xEF\xBB\xBF" + kRows;
}

void TestRelayFetch::charsets()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, page);
    TestHttpServer site;
    site.reply(200, page, contentType.constData());
    Front front(site.url(), [](SiteProfile& p) { p.charset = "auto"; });
    const Answer a = front.search();
    QCOMPARE(a.status, 200);
    QCOMPARE(a.text, kReply);
}

void TestRelayFetch::cookiesAndUserAgent()
{
    TestHttpServer site;
    std::atomic_int served{0};
    std::mutex mutex;
    std::string agent;
    site.serve([&](const ServiceRequest& q, ServiceResponse& r) {
        r.contentType = "text/html; charset=utf-8";
        {
            std::lock_guard lock(mutex);
            agent = q.headers.count("user-agent") ? q.headers.at("user-agent") : "";
        }
        const auto cookie = q.headers.find("cookie");
        if (served++ == 0) { // the first page sets the session; later ones need it
            r.headers["Set-Cookie"] = "session=42; Path=/";
            r.body = "<html></html>";
        } else if (cookie != q.headers.end() && cookie->second == "session=42") {
            r.body = kRows.toStdString();
        } else {
            r.status = 403;
        }
    });
    Front front(site.url(), [](SiteProfile& p) { p.userAgent = "TestBrowser/1.0"; });
    QCOMPARE(front.search(QStringLiteral("a")).text, QString());
    const Answer second =
        front.search(QStringLiteral("b")); // another request, maybe another thread
    QCOMPARE(second.status, 200);
    QCOMPARE(second.text, kReply);
    QVERIFY(site.requests().size() == 2);
    std::lock_guard lock(mutex);
    QCOMPARE(agent, std::string("TestBrowser/1.0"));
}

void TestRelayFetch::searchOverSeveralPages()
{
    TestHttpServer site;
    site.serve([](const ServiceRequest& q, ServiceResponse& r) {
        r.contentType = "text/html; charset=utf-8";
        if (q.target.find("page=2") != std::string::npos)
            r.body = "<ul class='results'><li><a class='title' href='/f/2'>B</a></li></ul>"
                     "<a class='next' href='https://elsewhere.test/s.php?page=3'>next</a>";
        else
            r.body = "<ul class='results'><li><a class='title' href='/f/1'>A</a></li></ul>"
                     "<a class='next' href='?q=x&amp;page=2'>next</a>";
    });
    Front front(site.url(), [](SiteProfile& p) {
        p.searchNext = "//a[@class='next']/@href";
        p.searchPages = 5;
    });
    const Answer a = front.search();
    QCOMPARE(a.status, 200);
    QCOMPARE(a.text, QStringLiteral("A|/f/1|B|/f/2|")); // in order; the other host not followed
    QCOMPARE(site.requests().size(), 2);
}

void TestRelayFetch::siteGoesDownAndRecovers()
{
    TestHttpServer site;
    site.reply(503, "maintenance", "text/html");
    RelayConfig config;
    config.failAfter = 2;
    config.retryAfter = std::chrono::seconds(1);
    config.cacheTime = std::chrono::seconds(0);
    Front front(
        site.url(), [](SiteProfile&) {}, config);
    QCOMPARE(front.healthz().status, 200);
    QCOMPARE(front.search().status, 502);
    QVERIFY(front.healthz().text.contains(QStringLiteral("\"degraded\"")));
    QCOMPARE(front.search().status, 502);
    // open: answered at once, the site not asked; 502, an answer about the site, which a front
    // does not pass on to the next relay
    QElapsedTimer clock;
    clock.start();
    const Answer fast = front.search();
    QCOMPARE(fast.status, 502);
    QVERIFY(clock.elapsed() < 500);
    QCOMPARE(site.requests().size(), 2);
    const Answer health = front.healthz();
    QCOMPARE(health.status, 503);
    QVERIFY2(health.text.contains(QStringLiteral("\"state\":\"down\"")), qPrintable(health.text));
    QVERIFY(health.text.contains(QStringLiteral("answered 503"))); // the last error, in words
    // the site comes back; after the retry time the relay tries it itself and closes the breaker
    site.reply(200, kRows, "text/html; charset=utf-8");
    QTRY_COMPARE_WITH_TIMEOUT(front.healthz().status, 200, 5000);
    QCOMPARE(front.search().text, kReply);
}

void TestRelayFetch::breakerCountsOnlyADownSite_data()
{
    QTest::addColumn<QString>("path"); // what the requests ask for
    QTest::addColumn<int>("siteStatus");
    QTest::addColumn<int>("relayStatus");
    QTest::addColumn<bool>("opens");
    // Whoever can send requests must not be able to hold a healthy site's breaker open.
    QTest::newRow("film pages the site fails") << "/film/broken.html" << 500 << 502 << false;
    QTest::newRow("pages the site does not have") << "/film/none.html" << 404 << 404 << false;
    QTest::newRow("pages over the cap") << "/film/huge.html" << 200 << 502 << false;
    QTest::newRow("the search form failing") << "" << 500 << 502 << true;
}

void TestRelayFetch::breakerCountsOnlyADownSite()
{
    QFETCH(QString, path);
    QFETCH(int, siteStatus);
    QFETCH(int, relayStatus);
    QFETCH(bool, opens);
    TestHttpServer site;
    site.serve([siteStatus](const ServiceRequest& q, ServiceResponse& r) {
        r.status = siteStatus;
        r.contentType = "text/html; charset=utf-8";
        r.body = q.target.find("huge") != std::string::npos ? std::string(200000, 'x')
                                                            : std::string("<p>no</p>");
    });
    RelayConfig config;
    config.failAfter = 2;
    config.maxPageBytes = 100000;
    config.cacheTime = std::chrono::seconds(0);
    Front front(
        site.url(), [](SiteProfile&) {}, config);
    for (int i = 0; i < 4; ++i) {
        const Answer a = path.isEmpty() ? front.search() : front.film(path);
        QCOMPARE(a.status, long(opens && i >= 2 ? 502 : relayStatus));
    }
    QCOMPARE(site.requests().size(), opens ? 2 : 4); // open: answered without asking the site
    QCOMPARE(front.healthz().text.contains(QStringLiteral("\"down\"")), opens);
}

void TestRelayFetch::nextPageLinksThatLoop()
{
    TestHttpServer site;
    site.serve([](const ServiceRequest& q, ServiceResponse& r) {
        r.contentType = "text/html; charset=utf-8";
        const bool b = q.target.find("page=b") != std::string::npos;
        r.body = std::string("<ul class='results'><li><a class='title' href='/f/") +
                 (b ? "b'>B" : "a'>A") + "</a></li></ul><a class='next' href='/s.php?q=x" +
                 (b ? "" : "&amp;page=b") + "'>next</a>";
    });
    Front front(site.url(), [](SiteProfile& p) {
        p.searchNext = "//a[@class='next']/@href";
        p.searchPages = kMaxSearchPages;
    });
    const Answer a = front.search();
    QCOMPARE(a.status, 200);
    QCOMPARE(a.text, QStringLiteral("A|/f/a|B|/f/b|")); // b links back to the first page
    QCOMPARE(site.requests().size(), 2);
}

void TestRelayFetch::partialAnswerIsNotKept()
{
    TestHttpServer site;
    site.serve([](const ServiceRequest& q, ServiceResponse& r) {
        r.contentType = "text/html; charset=utf-8";
        if (q.target.find("page=2") != std::string::npos) {
            r.status = 500;
            return;
        }
        r.body = "<ul class='results'><li><a class='title' href='/f/1'>A</a></li></ul>"
                 "<a class='next' href='/s.php?q=x&amp;page=2'>next</a>";
    });
    Front front(site.url(), [](SiteProfile& p) {
        p.searchNext = "//a[@class='next']/@href";
        p.searchPages = 3;
    });
    HttpCall call;
    call.url = QStringLiteral("http://127.0.0.1:%1/moviejk/Find.php?url=%2/s.php?q=x")
                   .arg(front.service.port())
                   .arg(site.url());
    const HttpOutcome first = PerformHttp(call);
    // The pages read are answered, and neither this relay nor a front may keep them.
    QCOMPARE(first.status, 200L);
    QCOMPARE(DecodeGb18030(first.body), QStringLiteral("A|/f/1|"));
    QVERIFY(site.requests().last().requestLine.contains("page=2"));
    QCOMPARE(PerformHttp(call).status, 200L);
    QCOMPARE(site.requests().size(), 4); // asked again: nothing was cached
}

void TestRelayFetch::nestedRowsStayWithinTheCap()
{
    // Rows nested 127 deep around one large title: every row's title would be that text.
    const QByteArray text(200000, 'x');
    QByteArray page = "<html><body>";
    for (int i = 0; i < 127; ++i)
        page += "<ul class='results'><li>";
    page += "<a class='title' href='/f/1'>" + text + "</a>";
    TestHttpServer site;
    site.reply(200, page, "text/html; charset=utf-8");
    Front front(site.url(), [](SiteProfile&) {});
    const Answer a = front.search();
    QCOMPARE(a.status, 200);
    QVERIFY(a.text.contains(QString::fromLatin1(text))); // rows up to the cap
    QVERIFY2(a.text.size() <= 2 * page.size() + 65536, qPrintable(QString::number(a.text.size())));
}

void TestRelayFetch::canarySeesLayoutChange()
{
    TestHttpServer site;
    site.reply(200, kRows, "text/html; charset=utf-8");
    Front front(site.url(), [](SiteProfile& p) {
        p.canary = "无间道";
        p.canarySeconds = 1;
    });
    QTRY_VERIFY(front.healthz().text.contains(QStringLiteral("\"rows\":2"))); // at start
    QVERIFY(site.requests().at(0).requestLine.contains("/s.php?q=%E6%97%A0%E9%97%B4%E9%81%93"));
    site.reply(200, "<html><div class='new-results'></div></html>", "text/html; charset=utf-8");
    QTRY_VERIFY_WITH_TIMEOUT(front.healthz().text.contains(QStringLiteral("layout_changed")), 4000);
    QCOMPARE(front.healthz().status, 503);
}

QTEST_GUILESS_MAIN(TestRelayFetch)
#include "tst_relayfetch.moc"
