#include "TestHttpServer.h"
#include "platform/core/HttpCall.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <thread>

namespace {

struct Run {
    int status = -1;
    QByteArray out, err;
};

Run Start(const QString& program, const QStringList& args, int waitMs = 5000)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(waitMs);
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished();
        return {-1, p.readAllStandardOutput(), p.readAllStandardError()};
    }
    return {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
}

QString FreeListen()
{
    TestHttpServer probe; // a port that was free a moment ago
    return QStringLiteral("127.0.0.1:%1").arg(probe.port());
}

} // namespace

/** The two services as an operator meets them: command line, configuration check, a port taken,
 *  SIGTERM while an answer is under way. */
class TestServices : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void commandLine_data();
    void commandLine();
    void badConfiguration_data();
    void badConfiguration();
    void portTaken_data();
    void portTaken();
    void terminateWhileAnswering();
    void checkCommand_data();
    void checkCommand();
    void checkDefinition();
    void checkDefinitionServable_data();
    void checkDefinitionServable();
};

void TestServices::commandLine_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("says"); // on stdout for status 0, on stderr otherwise
    for (const char* name : {RELAY_BIN, DEMO_SITE_BIN}) {
        const QString p = QString::fromUtf8(name);
        const QByteArray tag = QFileInfo(p).fileName().toUtf8() + ": ";
        QTest::newRow((tag + "--help").constData())
            << p << QStringList{"--help"} << 0 << QByteArray("--listen");
        QTest::newRow((tag + "--version").constData())
            << p << QStringList{"--version"} << 0 << QByteArray("0.1");
        QTest::newRow((tag + "unknown option").constData())
            << p << QStringList{"--bogus"} << 2 << QByteArray("Usage:");
        QTest::newRow((tag + "missing value").constData())
            << p << QStringList{"--config"} << 2 << QByteArray("Usage:");
        QTest::newRow((tag + "port too large").constData())
            << p << QStringList{"--listen", "127.0.0.1:99999"} << 2 << QByteArray("1 to 65535");
        QTest::newRow((tag + "port not digits").constData())
            << p << QStringList{"--listen=127.0.0.1:http"} << 2 << QByteArray("1 to 65535");
        QTest::newRow((tag + "a host name").constData())
            << p << QStringList{"--listen", "localhost:18099"} << 2 << QByteArray("numeric");
        QTest::newRow((tag + "no such address").constData())
            << p << QStringList{"--listen", "999.1.1.1:18099"} << 2 << QByteArray("numeric");
        QTest::newRow((tag + "stray argument").constData())
            << p << QStringList{"now"} << 2 << QByteArray("Usage:");
        QTest::newRow((tag + "unreadable file").constData())
            << p << QStringList{"--config=/nonexistent/x"} << 2
            << QByteArray("/nonexistent/x: cannot read");
    }
}

void TestServices::commandLine()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QByteArray, says);
    const Run run = Start(program, args);
    QCOMPARE(run.status, status); // none of them starts a server
    QVERIFY2((status == 0 ? run.out : run.err).contains(says), run.err.constData());
}

void TestServices::badConfiguration_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("says");
    const QByteArray site = "[site a]\nbase = http://127.0.0.1:1\n";
    QTest::newRow("broken rows XPath")
        << site + "search_rows = //li[\nfilm_rows = //tr\n"
        << QByteArray(":3: site a: rows expression does not compile");
    QTest::newRow("rows not a node set")
        << site + "search_rows = count(//li)\nfilm_rows = //tr\n"
        << QByteArray(":3: site a: rows expression does not give a node set");
    QTest::newRow("broken field")
        << site + "search_rows = //li\nsearch_title = ./a[\nfilm_rows = //tr\n"
        << QByteArray(":3: site a: field expression does not compile");
    QTest::newRow("unknown charset")
        << site + "charset = KLINGON\nsearch_rows = //li\nfilm_rows = //tr\n"
        << QByteArray(":3: site a: unknown charset KLINGON");
    QTest::newRow("unknown key") << QByteArray("[relay]\ncolour = blue\n")
                                 << QByteArray(":2: unknown relay key");
    const QByteArray rows = "search_rows = //li\nfilm_rows = //tr\n";
    QTest::newRow("a bound passed, not clamped") << site + rows + "search_pages = 100000\n"
                                                 << QByteArray(":5: search_pages must be");
    QTest::newRow("a relay bound passed") << QByteArray("[relay]\nmax_concurrent_fetches = 0\n")
                                          << QByteArray(":2: max_concurrent_fetches must be");
    QTest::newRow("IPv6 listen without brackets")
        << QByteArray("[relay]\nlisten = ::1:18099\n") << QByteArray(":2: listen:");
    QTest::newRow("a site named twice")
        << site + rows + "[site a]\nbase = http://127.0.0.1:2\n" + rows
        << QByteArray(":5: site a is named twice");
    QTest::newRow("a site name that is not UTF-8")
        << QByteArray("[site \xff\xfe]\n") << QByteArray(":1: site name is not UTF-8");
    QTest::newRow("a CA file that holds no certificate")
        << site + rows + "ca_file = /etc/hostname\n"
        << QByteArray(":5: site a: /etc/hostname");
    QTest::newRow("a file that never ends") << QByteArray() << QByteArray(": larger than");
}

void TestServices::badConfiguration()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, says);
    QTemporaryDir dir;
    QFile conf(dir.filePath(QStringLiteral("relay.conf")));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write(text);
    conf.close();
    const QString file = text.isEmpty() ? QStringLiteral("/dev/zero") : conf.fileName();
    const Run run = Start(QString::fromUtf8(RELAY_BIN), {QStringLiteral("--config"), file});
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(file.toUtf8() + says), run.err.constData());
}

void TestServices::portTaken_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("relay") << QString::fromUtf8(RELAY_BIN);
    QTest::newRow("demo site") << QString::fromUtf8(DEMO_SITE_BIN);
}

void TestServices::portTaken()
{
    QFETCH(QString, program);
    TestHttpServer holder;
    const Run run = Start(
        program, {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(holder.port())});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains("address in use"), run.err.constData());
}

void TestServices::terminateWhileAnswering()
{
    SilentServer site; // takes the connection and never answers
    QTemporaryDir dir;
    QFile conf(dir.filePath(QStringLiteral("relay.conf")));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    const QString listen = FreeListen();
    conf.write(QStringLiteral("[relay]\nlisten = %1\n[site s]\nbase = %2\nsearch_rows = //li\n"
                              "film_rows = //tr\n")
                   .arg(listen, site.url())
                   .toUtf8());
    conf.close();
    QProcess relay;
    relay.start(QString::fromUtf8(RELAY_BIN), {QStringLiteral("--config"), conf.fileName()});
    QVERIFY(relay.waitForStarted());
    QByteArray err;
    QTRY_VERIFY((err += relay.readAllStandardError()).contains("started")); // listening
    HttpOutcome answer;
    std::thread client([&] {
        HttpCall call;
        call.url =
            QStringLiteral("http://%1/moviejk/Find.php?url=%2/s.php?q=x").arg(listen, site.url());
        answer = PerformHttp(call);
    });
    QTRY_COMPARE(site.waiting(), 1); // the fetch is under way
    QElapsedTimer clock;
    clock.start();
    ::kill(pid_t(relay.processId()), SIGTERM);
    QVERIFY(relay.waitForFinished(3000));
    const qint64 took = clock.elapsed();
    client.join();
    QCOMPARE(relay.exitCode(), 0);
    QVERIFY2(took < 1000, qPrintable(QString::number(took)));
    QCOMPARE(answer.status, 503); // told, not cut off
    QVERIFY((err + relay.readAllStandardError()).contains("relay: stopped"));
}

void TestServices::checkCommand_data()
{
    QTest::addColumn<bool>("siteUp");
    QTest::newRow("rows found") << true;
    QTest::newRow("site down") << false;
}

void TestServices::checkCommand()
{
    QFETCH(bool, siteUp);
    TestHttpServer site;
    site.reply(200, "<ul class='results'><li><a class='title' href='/f/1'>A</a></li></ul>",
               "text/html; charset=utf-8");
    QTemporaryDir dir;
    QFile conf(dir.filePath(QStringLiteral("relay.conf")));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write(QStringLiteral("[relay]\nlisten = %1\n[site s]\nbase = %2\ncharset = auto\n"
                              "search_rows = //ul[@class='results']/li\nsearch_title = ./a\n"
                              "search_path = ./a/@href\nfilm_rows = //tr\n")
                   .arg(FreeListen(), siteUp ? site.url() : ClosedPortUrl())
                   .toUtf8());
    conf.close();
    const Run run = Start(QString::fromUtf8(RELAY_BIN),
                          {QStringLiteral("--config"), conf.fileName(), QStringLiteral("--check"),
                           QStringLiteral("s"), QStringLiteral("A")});
    QCOMPARE(run.status, siteUp ? 0 : 1);
    if (siteUp)
        QCOMPARE(run.out, QByteArray("A | /f/1\n"));
    else
        QVERIFY2(run.err.contains("could not reach the site"), run.err.constData());
}

void TestServices::checkDefinition()
{
    QTemporaryDir dir;
    const auto write = [&dir](const char* name, const QByteArray& text) {
        QFile f(dir.filePath(QString::fromLatin1(name)));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
    };
    write("good.yml", "id: good\nlinks: [\"http://127.0.0.1:1/\"]\nsearch:\n  paths: [{path: s}]\n"
                      "  rows: {selector: tr}\n  fields:\n    title: {selector: a}\n"
                      "    download: {selector: a, attribute: href}\n");
    write("post.yml", "id: post\nlinks: [\"http://127.0.0.1:1/\"]\nlogin:\n  method: oneurl\n");
    const QString relay = QString::fromUtf8(RELAY_BIN);
    const Run all = Start(relay, {QStringLiteral("--check-definition"), dir.path()});
    QCOMPARE(all.status, 1);
    QCOMPARE(all.out, (dir.filePath(QStringLiteral("good.yml")) + QStringLiteral(": ok\n") +
                       dir.filePath(QStringLiteral("post.yml")) +
                       QStringLiteral(":4: unsupported login method oneurl\n"))
                          .toUtf8());
    const Run one = Start(
        relay, {QStringLiteral("--check-definition"), dir.filePath(QStringLiteral("good.yml"))});
    QCOMPARE(one.status, 0);
}

void TestServices::checkDefinitionServable_data()
{
    QTest::addColumn<QByteArray>("rest"); // after the title field
    QTest::addColumn<QString>("said");
    QTest::newRow("download.infohash on the details page")
        << QByteArray("    details: {selector: a, attribute: href}\n"
                      "download:\n  infohash:\n    hash: {selector: span.hash}\n"
                      "    title: {selector: h1}\n    usebeforeresponse: false\n")
        << ": ok";
    QTest::newRow("info hashes with trackers")
        << QByteArray("    infohash: {selector: span.hash}\n"
                      "download:\n  trackers: [\"udp://t.example:1337/announce\"]\n")
        << ": ok";
    QTest::newRow("a magnet field only")
        << QByteArray("    magnet: {selector: a, attribute: href}\n") << ": ok";
    QTest::newRow("no way to a torrent")
        << QByteArray("    details: {selector: a, attribute: href}\n")
        << ":7: error no way to a torrent: search.fields has no download, magnet or infohash, "
           "and no download selectors or download.infohash read a details page";
    QTest::newRow("a tracker that is no URL")
        << QByteArray("    infohash: {selector: span.hash}\ndownload:\n  trackers: [t.example]\n")
        << ":10: error a tracker must be an http, https or udp URL";
}

void TestServices::checkDefinitionServable()
{
    QFETCH(QByteArray, rest);
    QFETCH(QString, said);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("site.yml"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("id: site\nlinks: [\"http://127.0.0.1:1/\"]\nsearch:\n  paths: [{path: s}]\n"
            "  rows: {selector: tr}\n  fields:\n    title: {selector: a}\n" +
            rest);
    f.close();
    const Run run =
        Start(QString::fromUtf8(RELAY_BIN), {QStringLiteral("--check-definition"), file});
    QCOMPARE(QString::fromUtf8(run.out), file + said + u'\n');
    QCOMPARE(run.status, said == u": ok" ? 0 : 1);
}

QTEST_GUILESS_MAIN(TestServices)
#include "tst_services.moc"
