#include "TestHttpServer.h"
#include "platform/core/HttpCall.h"
#include "platform/core/HttpCookieJar.h"

#include <QTest>

using namespace std::chrono_literals;

/** A site's cookies as the relay keeps them: bounded, one per name whatever the request path. */
class TestCookieJar : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void requestPathsDoNotMultiplyACookie();
    void store_data();
    void store();
    void bounded();
    void clearForgetsEverything();
};

void TestCookieJar::clearForgetsEverything()
{
    HttpCookieJar jar;
    jar.Store("t.example", false, "sid=1");
    jar.Store("t.example", false, "uid=7");
    QCOMPARE(jar.HeaderFor("t.example", false), std::string("sid=1; uid=7"));
    jar.Clear();
    QCOMPARE(jar.count(), size_t(0));
    QCOMPARE(jar.bytes(), size_t(0));
    QVERIFY(jar.HeaderFor("t.example", false).empty());
    jar.Store("t.example", false, "sid=2"); // a new login starts from none
    QCOMPARE(jar.HeaderFor("t.example", false), std::string("sid=2"));
}

void TestCookieJar::requestPathsDoNotMultiplyACookie()
{
    // A path-less cookie belongs to the folder of the request that set it; the client picks
    // the folders, so the jar must not keep one copy per folder.
    TestHttpServer site;
    std::mutex mutex;
    std::string lastCookie;
    site.serve([&](const ServiceRequest& q, ServiceResponse& r) {
        std::lock_guard lock(mutex);
        lastCookie = q.headers.count("cookie") ? q.headers.at("cookie") : "";
        r.headers["Set-Cookie"] = "session=" + q.target.substr(1, q.target.find('/', 1) - 1);
    });
    HttpCookieJar jar;
    HttpSession session;
    for (int i = 0; i < 300; ++i) {
        HttpCall call;
        call.url = site.url() + QStringLiteral("/d%1/film.html").arg(i);
        call.cookies = &jar;
        QCOMPARE(PerformHttp(call, &session).status, 200L);
    }
    QCOMPARE(jar.count(), size_t(1));
    std::lock_guard lock(mutex);
    QCOMPARE(lastCookie, std::string("session=d298")); // sent everywhere on the site
}

void TestCookieJar::store_data()
{
    QTest::addColumn<QString>("setCookies"); // separated by newlines, from http://a.example.test
    QTest::addColumn<bool>("secure");        // the answer came over HTTPS
    QTest::addColumn<QString>("sent");       // what a request to a.example.test then carries
    QTest::newRow("one cookie") << "s=1; Path=/x; HttpOnly" << false << "s=1";
    QTest::newRow("replaced by name") << "s=1\ns=2" << false << "s=2";
    QTest::newRow("removed by Max-Age=0") << "s=1\nt=2\ns=x; Max-Age=0" << false << "t=2";
    QTest::newRow("removed by a past Expires")
        << "s=1\ns=x; Expires=Thu, 01 Jan 1970 00:00:00 GMT" << false << "";
    QTest::newRow("expired by the clock") << "s=1; Max-Age=60" << false << "";
    QTest::newRow("another site's domain") << "s=1; Domain=other.test" << false << "";
    QTest::newRow("parent domain") << "s=1; Domain=.example.test" << false << "s=1";
    QTest::newRow("secure over plain HTTP") << "s=1; Secure" << false << "";
    QTest::newRow("secure over HTTPS") << "s=1; Secure" << true << "s=1";
    QTest::newRow("no name") << "=1\njust-text" << false << "";
    QTest::newRow("value that would split the header") << "s=a\rb" << false << "";
}

void TestCookieJar::store()
{
    QFETCH(QString, setCookies);
    QFETCH(bool, secure);
    QFETCH(QString, sent);
    auto now = std::chrono::system_clock::now();
    HttpCookieJar jar({}, [&now] { return now; });
    for (const QString& line : setCookies.split(u'\n'))
        jar.Store("a.example.test", secure, line.toStdString());
    if (QByteArray(QTest::currentDataTag()).contains("clock")) now += 61s;
    QCOMPARE(QString::fromStdString(jar.HeaderFor("a.example.test", secure)), sent);
    QCOMPARE(jar.HeaderFor("elsewhere.test", secure), std::string());
}

void TestCookieJar::bounded()
{
    HttpCookieJar::Limits limits;
    limits.maxCookies = 10;
    limits.maxBytes = 500;
    HttpCookieJar jar(limits, &std::chrono::system_clock::now);
    for (int i = 0; i < 3000; ++i)
        jar.Store("h.test", false, "c" + std::to_string(i) + "=" + std::string(40, 'v'));
    QCOMPARE(jar.count(), size_t(10));
    QVERIFY(jar.bytes() <= 500);
    // the newest are kept, the oldest went first
    QVERIFY(jar.HeaderFor("h.test", false).find("c2999=") != std::string::npos);
    QVERIFY(jar.HeaderFor("h.test", false).find("c0=") == std::string::npos);
    jar.Store("h.test", false, "big=" + std::string(5000, 'b')); // over the one-cookie cap
    QVERIFY(jar.HeaderFor("h.test", false).find("big=") == std::string::npos);
}

QTEST_GUILESS_MAIN(TestCookieJar)
#include "tst_cookiejar.moc"
