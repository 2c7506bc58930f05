#include "TestHttpServer.h"
#include "platform/core/HttpCall.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

namespace {

/** A results page with one row: its link's text and a bold text a profile may read instead. */
const QByteArray kPage = "<ul><li><a href='/f/1'>Alpha</a><b>Beta</b></li></ul>";

/** "[site NAME]" with an XPath profile that reads the title from titleXPath. */
QString Site(const QString& name, const QString& base, const QString& titleXPath,
             const QString& userAgent = QStringLiteral("reload-test"))
{
    return QStringLiteral("[site %1]\nbase = %2\nsearch_rows = //li\nsearch_title = ./%3\n"
                          "search_path = ./a/@href\nfilm_rows = //tr\nuser_agent = %4\n")
        .arg(name, base, titleXPath, userAgent);
}

/** A definition that reads each list item as a hit, its title from titleSelector. */
QByteArray Definition(const QByteArray& titleSelector)
{
    return "id: x\nlinks:\n  - http://example.invalid/\nsearch:\n  paths:\n    - path: s\n"
           "  inputs:\n    q: \"{{ .Keywords }}\"\n  rows:\n    selector: li\n  fields:\n"
           "    title:\n      selector: " +
           titleSelector + "\n    download:\n      selector: a\n      attribute: href\n";
}

/** reelmate-relay run on a configuration file of its own, reloaded by SIGHUP. */
class RelayProcess {
public:
    explicit RelayProcess(const QString& text)
    {
        TestHttpServer probe; // a port that was free a moment ago
        listen = QStringLiteral("127.0.0.1:%1").arg(probe.port());
        write(text);
    }
    ~RelayProcess()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
    bool start()
    {
        process.start(QString::fromUtf8(RELAY_BIN), {QStringLiteral("--config"), path()});
        if (!process.waitForStarted()) return false;
        return QTest::qWaitFor([this] { return log().contains("relay: started"); }, 5000);
    }
    QString path() const { return dir.filePath(QStringLiteral("relay.conf")); }
    /** Replaces the file whole, as an editor saves it: a reload never reads half of it. */
    void write(const QString& text)
    {
        QSaveFile file(path());
        file.open(QIODevice::WriteOnly);
        file.write((QStringLiteral("[relay]\nlisten = %1\ncache_seconds = 0\nfail_after = 1\n")
                        .arg(listen) +
                    text)
                       .toUtf8());
        file.commit();
    }
    /** Writes text, sends SIGHUP and waits for the relay to say it has read it. */
    bool reload(const QString& text)
    {
        write(text);
        const int before = outcomes();
        ::kill(pid_t(process.processId()), SIGHUP);
        return QTest::qWaitFor([&] { return outcomes() > before; }, 5000);
    }
    /** Everything the relay has said on stderr so far. */
    const QByteArray& log()
    {
        seen += process.readAllStandardError();
        return seen;
    }
    int count(const QByteArray& text) { return int(log().count(text)); }
    int outcomes() { return count("relay: reloaded") + count("keeping the running configuration"); }
    /** Writes a file beside the configuration. */
    void put(const QString& name, const QByteArray& content)
    {
        QSaveFile file(dir.filePath(name));
        file.open(QIODevice::WriteOnly);
        file.write(content);
        file.commit();
    }
    HttpOutcome search(const QString& base) const
    {
        HttpCall call;
        call.url = QStringLiteral("http://%1/moviejk/Find.php?url=%2/s.php?q=x").arg(listen, base);
        return PerformHttp(call);
    }
    /** The site's entry in /healthz. */
    QJsonObject health(const QString& site) const
    {
        HttpCall call;
        call.url = QStringLiteral("http://%1/healthz").arg(listen);
        const QJsonObject all = QJsonDocument::fromJson(PerformHttp(call).body).object();
        return all.value(QStringLiteral("sites")).toObject().value(site).toObject();
    }

    QTemporaryDir dir;
    QString listen;
    QProcess process;
    QByteArray seen;
};

/** Searches of one site from several threads until stopped, counting the answers that are not
 *  its rows. */
class SearchLoad {
public:
    SearchLoad(const RelayProcess& relay, const QString& base)
    {
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([this, &relay, base] {
                while (!stop) {
                    const HttpOutcome out = relay.search(base);
                    ++done;
                    if (out.status != 200 || !out.body.contains("Alpha")) ++failed;
                }
            });
    }
    ~SearchLoad() { finish(); }
    void finish()
    {
        stop = true;
        for (std::thread& t : threads)
            if (t.joinable()) t.join();
    }

    std::atomic_bool stop{false};
    std::atomic_int done{0}, failed{0};
    std::vector<std::thread> threads;
};

} // namespace

/** SIGHUP as an operator sends it (systemctl reload): new requests get the new configuration,
 *  those under way are not dropped, a broken file changes nothing, and what did not change
 *  keeps its state. */
class TestRelayReload : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void searchesGoOnThroughReloads_data();
    void searchesGoOnThroughReloads();
    void siteStateAcrossAReload_data();
    void siteStateAcrossAReload();
    void definitionSiteAcrossAReload_data();
    void definitionSiteAcrossAReload();
    void listenTakesARestart();
};

void TestRelayReload::searchesGoOnThroughReloads_data()
{
    QTest::addColumn<bool>("broken"); // every reload reads a file that fails the check
    QTest::newRow("20 reloads, the site changed each time") << false;
    QTest::newRow("20 reloads of a broken file") << true;
}

void TestRelayReload::searchesGoOnThroughReloads()
{
    QFETCH(bool, broken);
    TestHttpServer site;
    site.reply(200, kPage, "text/html; charset=utf-8");
    RelayProcess relay(Site(QStringLiteral("a"), site.url(), QStringLiteral("a")));
    QVERIFY(relay.start());
    SearchLoad load(relay, site.url());
    QTRY_VERIFY(load.done > 0);
    for (int i = 0; i < 20; ++i) {
        const QString agent = QStringLiteral("agent-%1").arg(i);
        // An unknown key or a page cap out of bounds: both are refused whole.
        const QString text =
            broken
                ? (i % 2 ? QStringLiteral("max_rows = 0\n") : QStringLiteral("colour = blue\n")) +
                      Site(QStringLiteral("a"), site.url(), QStringLiteral("b"), agent)
                : Site(QStringLiteral("a"), site.url(), QStringLiteral("a"), agent);
        QVERIFY2(relay.reload(text), relay.log().constData());
        const int before = load.done;
        QTRY_VERIFY(load.done > before + 4); // searches ran on what this reload left
    }
    load.finish();
    QCOMPARE(load.failed.load(), 0);
    QCOMPARE(relay.count("keeping the running configuration"), broken ? 20 : 0);
    QCOMPARE(relay.count("relay: reloaded"), broken ? 0 : 20);
    if (broken) // the message points at the line at fault
        QVERIFY2(relay.log().contains(relay.path().toUtf8() + ":5: max_rows must be"),
                 relay.log().right(2000).constData());
    // The old configuration still in force: the title read from the link, not the bold text.
    QVERIFY(relay.search(site.url()).body.startsWith("Alpha|"));
}

void TestRelayReload::siteStateAcrossAReload_data()
{
    QTest::addColumn<QString>("downAgent"); // the down site's user agent after the reload
    QTest::addColumn<QString>("downState"); // and its state in /healthz
    QTest::addColumn<int>("downFailures");
    QTest::newRow("unchanged: keeps its open breaker") << "reload-test"
                                                       << "down" << 1;
    QTest::newRow("changed: starts afresh") << "another"
                                            << "ok" << 0;
}

void TestRelayReload::siteStateAcrossAReload()
{
    QFETCH(QString, downAgent);
    QFETCH(QString, downState);
    QFETCH(int, downFailures);
    TestHttpServer up;
    up.reply(200, kPage, "text/html; charset=utf-8");
    const QString downBase = ClosedPortUrl();
    const QString a = QStringLiteral("a"), down = QStringLiteral("down");
    RelayProcess relay(Site(a, up.url(), QStringLiteral("a")) +
                       Site(down, downBase, QStringLiteral("a")));
    QVERIFY(relay.start());
    for (int i = 0; i < 2; ++i)
        QVERIFY(relay.search(up.url()).body.startsWith("Alpha|"));
    QCOMPARE(relay.search(downBase).status, 502L); // refused: fail_after = 1 opens the breaker
    QCOMPARE(relay.health(down).value(QStringLiteral("state")).toString(), QStringLiteral("down"));

    // Site a now reads its titles from the bold text.
    QVERIFY(relay.reload(Site(a, up.url(), QStringLiteral("b")) +
                         Site(down, downBase, QStringLiteral("a"), downAgent)));
    QVERIFY2(relay.log().contains("relay: reloaded, 2 site(s)"), relay.log().constData());
    QCOMPARE(relay.health(down).value(QStringLiteral("state")).toString(), downState);
    QCOMPARE(relay.health(down).value(QStringLiteral("fetches_failed")).toInt(), downFailures);
    const HttpOutcome changed = relay.search(up.url());
    QVERIFY2(changed.body.startsWith("Beta|"), changed.body.constData());
    QCOMPARE(relay.health(a).value(QStringLiteral("fetches_ok")).toInt(), 1); // counted afresh
}

void TestRelayReload::definitionSiteAcrossAReload_data()
{
    QTest::addColumn<bool>("rewrite"); // both definition files changed before the reload
    QTest::addColumn<QString>("downState");
    QTest::addColumn<QByteArray>("title"); // the up site's hit after the reload
    QTest::newRow("same files: the down site keeps its breaker")
        << false << "down" << QByteArray("Alpha");
    QTest::newRow("files changed: both start afresh on the new definitions")
        << true << "ok" << QByteArray("Beta");
}

void TestRelayReload::definitionSiteAcrossAReload()
{
    QFETCH(bool, rewrite);
    QFETCH(QString, downState);
    QFETCH(QByteArray, title);
    TestHttpServer up;
    up.reply(200, kPage, "text/html; charset=utf-8");
    const QString gateway = QStringLiteral("http://127.0.0.1:9"); // what the program was built with
    const QString sites =
        QStringLiteral("[gateway]\nbase = %1\nsecret_file = secret\ndht = off\n"
                       "bt_listen = 127.0.0.1:0\n[site up]\ndefinition = up.yml\nbase = %2\n"
                       "[site down]\ndefinition = down.yml\nbase = %3\n")
            .arg(gateway, up.url(), ClosedPortUrl());
    RelayProcess relay(sites);
    relay.put(QStringLiteral("up.yml"), Definition("a"));
    relay.put(QStringLiteral("down.yml"), Definition("a"));
    QVERIFY(relay.start());
    const HttpOutcome first = relay.search(gateway);
    QVERIFY2(first.body.contains("Alpha"), first.body.constData());
    QCOMPARE(relay.health(QStringLiteral("down")).value(QStringLiteral("state")).toString(),
             QStringLiteral("down"));

    if (rewrite) {
        relay.put(QStringLiteral("up.yml"), Definition("b"));
        relay.put(QStringLiteral("down.yml"), "# read anew\n" + Definition("a"));
    }
    QVERIFY(relay.reload(sites));
    QVERIFY2(relay.log().contains("relay: reloaded, 2 site(s)"), relay.log().constData());
    QCOMPARE(relay.health(QStringLiteral("down")).value(QStringLiteral("state")).toString(),
             downState);
    const HttpOutcome after = relay.search(gateway);
    QVERIFY2(after.body.contains(title), after.body.constData());
}

void TestRelayReload::listenTakesARestart()
{
    TestHttpServer site;
    site.reply(200, kPage, "text/html; charset=utf-8");
    RelayProcess relay(Site(QStringLiteral("a"), site.url(), QStringLiteral("a")));
    QVERIFY(relay.start());
    const QString was = relay.listen;
    relay.listen = QStringLiteral("127.0.0.1:1"); // what the file says next
    QVERIFY(relay.reload(Site(QStringLiteral("a"), site.url(), QStringLiteral("b"))));
    relay.listen = was; // still where it was
    QVERIFY2(relay.log().contains("relay: listen changes only with a restart"),
             relay.log().constData());
    QVERIFY(relay.search(site.url()).body.startsWith("Beta|"));
}

QTEST_MAIN(TestRelayReload)
#include "tst_relayreload.moc"
