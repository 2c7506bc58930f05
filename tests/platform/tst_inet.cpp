#include "TestHttpServer.h"
#include "platform/core/Inet.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;

namespace {
HttpLimits Quick()
{
    HttpLimits l;
    l.connect = 1s;
    l.total = 1s;
    return l;
}
} // namespace

class TestInet : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void postCompletes();
    void failures_data();
    void failures();
    void busyRaises();
    void remotePortWhenUrlNamesNone();
    void destroyAbandons();
    void cancelledReportIgnored();
    void settings();
};

void TestInet::postCompletes()
{
    TestHttpServer site;
    site.reply(200, QByteArray("d4:infodee"), "application/x-bittorrent");
    Inet inet;
    QSignalSpy states(&inet, &Inet::StateChanged);
    inet.Execute(site.url() + QStringLiteral("/download.php"), QStringLiteral("POST"),
                 QStringLiteral("action=download&id=1&uhash=h"),
                 QStringLiteral("Content-Type: application/x-www-form-urlencoded"));
    QVERIFY(inet.StillExecuting());
    QTRY_COMPARE(states.size(), 1);
    QCOMPARE(states.at(0).at(0).value<short>(), short(Inet::icResponseCompleted));
    QCOMPARE(inet.GetChunk(0, Inet::icByteArray), QByteArray("d4:infodee"));
    QCOMPARE(inet.ResponseCode(), 200);
    const SeenRequest seen = site.requests().at(0);
    QCOMPARE(seen.requestLine, QByteArray("POST /download.php HTTP/1.1"));
    QCOMPARE(seen.body, QByteArray("action=download&id=1&uhash=h"));
    QCOMPARE(seen.contentType, QByteArray("application/x-www-form-urlencoded"));
}

void TestInet::failures_data()
{
    QTest::addColumn<bool>("silent");
    QTest::newRow("refused") << false;
    QTest::newRow("never answers") << true;
}

void TestInet::failures()
{
    QFETCH(bool, silent);
    SilentServer quiet;
    Inet inet;
    inet.setLimits(Quick());
    QSignalSpy states(&inet, &Inet::StateChanged);
    inet.Execute((silent ? quiet.url() : ClosedPortUrl()) + QStringLiteral("/d"),
                 QStringLiteral("POST"), QString(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(states.size(), 1, 5000);
    QCOMPARE(states.at(0).at(0).value<short>(), short(Inet::icError));
    QVERIFY(!inet.StillExecuting());
}

void TestInet::busyRaises()
{
    SilentServer quiet;
    Inet inet;
    inet.setLimits(Quick());
    inet.Execute(quiet.url(), QStringLiteral("POST"), QString(), QString());
    QVERIFY_THROWS_EXCEPTION(
        InetError, inet.Execute(quiet.url(), QStringLiteral("POST"), QString(), QString()));
    QVERIFY_THROWS_EXCEPTION(
        InetError, Inet().Execute(QStringLiteral("not a url"), QString(), QString(), QString()));
}

void TestInet::remotePortWhenUrlNamesNone()
{
    TestHttpServer site;
    site.reply(200, "ok");
    Inet inet;
    inet.setRemotePort(site.port());
    QSignalSpy states(&inet, &Inet::StateChanged);
    inet.Execute(QStringLiteral("http://127.0.0.1/p"), QStringLiteral("GET"), QString(), QString());
    QTRY_COMPARE(states.size(), 1);
    QCOMPARE(inet.GetChunk(0, Inet::icByteArray), QByteArray("ok"));
}

void TestInet::destroyAbandons()
{
    std::atomic_bool release{false};
    TestHttpServer site;
    site.serve(HoldUntil(release, std::string("late")));
    int reports = 0;
    QElapsedTimer clock;
    {
        Inet inet;
        connect(&inet, &Inet::StateChanged, this, [&reports] { ++reports; });
        inet.Execute(site.url(), QStringLiteral("POST"), QStringLiteral("x"), QString());
        QTRY_COMPARE(site.requests().size(), 1);
        clock.start();
    } // destroyed while the server still holds the answer
    QVERIFY2(clock.elapsed() < 500, "destruction does not wait for the transfer");
    release = true;
    // The worker was joined before destruction returned: any report would be posted by now.
    QCoreApplication::processEvents();
    QCOMPARE(reports, 0);
}

void TestInet::cancelledReportIgnored()
{
    TestHttpServer first;
    first.reply(200, "first");
    std::atomic_bool release{false};
    TestHttpServer second;
    second.serve(HoldUntil(release, std::string("second")));
    Inet inet;
    std::atomic_bool queued{false};
    inet.setReportQueued([&queued] { queued = true; });
    QSignalSpy states(&inet, &Inet::StateChanged);
    inet.Execute(first.url(), QStringLiteral("GET"), QString(), QString());
    // Let the first one finish and queue its report, without running it: no events here.
    QElapsedTimer clock;
    clock.start();
    while (!queued && clock.elapsed() < 5000)
        std::this_thread::yield();
    QVERIFY(queued);
    inet.Cancel();
    inet.Execute(second.url(), QStringLiteral("GET"), QString(), QString());
    clock.restart();
    QCoreApplication::processEvents(); // the stale report is delivered now, and must change nothing
    QVERIFY2(clock.elapsed() < 1000, "the stale report waited for the running transfer");
    QCOMPARE(states.size(), 0);
    QVERIFY(inet.StillExecuting());
    release = true;
    QTRY_COMPARE(states.size(), 1);
    QCOMPARE(inet.GetChunk(0, Inet::icByteArray), QByteArray("second"));
}

void TestInet::settings()
{
    Inet inet;
    QCOMPARE(inet.RemotePort(), 80);
    QCOMPARE(inet.RequestTimeout(), 60);
    QCOMPARE(inet.limits().total, std::chrono::milliseconds(60000));
}

QTEST_GUILESS_MAIN(TestInet)
#include "tst_inet.moc"
