#include "TestHttpServer.h"
#include "web/Functions.h"
#include "web/Functions1.h"
#include "web/TorrentLink.h"

#include <QElapsedTimer>
#include <QTest>

using namespace std::chrono_literals;

class TestFunctions : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void urlEncode_data();
    void urlEncode();
    void bytesToText_data();
    void bytesToText();
    void fetchStoresReply_data();
    void fetchStoresReply();
    void failedFetchLeavesReplyText_data();
    void failedFetchLeavesReplyText();
    void secondFetchReplacesFirst();
    void itemsAreTakenFromTheFront();
    void cutIdAndHash_data();
    void cutIdAndHash();
};

void TestFunctions::urlEncode_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("space stays") << "Matrix 2"
                                 << "Matrix 2";
    QTest::newRow("one CJK") << QStringLiteral("中") << "%E4%B8%AD";
    QTest::newRow("two CJK") << QStringLiteral("电影") << "%E7%94%B5%E5%BD%B1";
    QTest::newRow("digit after escape")
        << QStringLiteral("无间道2") << "%E6%97%A0%E9%97%B4%E9%81%932";
    QTest::newRow("two-byte form") << QStringLiteral("é") << "%C3%A9";
    QTest::newRow("ampersand") << "a&b"
                               << "a&b";
    QTest::newRow("ascii punctuation") << " &#%+?=/"
                                       << " &#%+?=/";
    QTest::newRow("control char") << QStringLiteral("a\tb") << QStringLiteral("a\tb");
    QTest::newRow("surrogate pair per unit")
        << QString::fromUtf16(u"\U0001F600") << "%ED%A0%BD%ED%B8%80";
    QTest::newRow("U+07FF / U+0800") << QString::fromUtf16(u"\u07FF\u0800") << "%DF%BF%E0%A0%80";
}

void TestFunctions::urlEncode()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(UrlEncodeUtf8(input), expected);
}

void TestFunctions::bytesToText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("gb2312") << QByteArray("\xB5\xE7\xD3\xB0|/f/1|") << QStringLiteral("电影|/f/1|");
    // 镕 is in GBK but not in GB2312; 𠀀 needs GB18030's four-byte form
    QTest::newRow("gbk only") << QByteArray("\xE9\x46") << QStringLiteral("镕");
    QTest::newRow("four-byte") << QByteArray("\x95\x32\x82\x36")
                               << QString::fromUtf16(u"\U00020000");
    QTest::newRow("invalid pair") << QByteArray("A\xFF\xFF"
                                                "B")
                                  << QStringLiteral("A\uFFFD\uFFFDB");
    QTest::newRow("incomplete end") << QByteArray("A\xB5") << QStringLiteral("A\uFFFD");
    QTest::newRow("incomplete four-byte end")
        << QByteArray("A\x95\x32") << QStringLiteral("A\uFFFD");
}

void TestFunctions::bytesToText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QCOMPARE(BytesToText(bytes, QStringLiteral("GB2312")), expected);
}

void TestFunctions::fetchStoresReply_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");
    QTest::newRow("hits") << 200 << Gb(QStringLiteral("无间道|/f/1|"))
                          << QStringLiteral("无间道|/f/1|");
    QTest::newRow("404 page") << 404 << QByteArray("Not Found") << QStringLiteral("Not Found");
    QTest::newRow("500 with bars") << 500 << QByteArray("A|B|") << QStringLiteral("A|B|");
    QTest::newRow("empty body") << 200 << QByteArray() << QString();
}

void TestFunctions::fetchStoresReply()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    TestHttpServer server;
    server.reply(status, body);
    ReplyText.assign(QStringLiteral("old"));
    const FetchResult result = Fetch(server.url() + QStringLiteral("/x"));
    QVERIFY(result.completed);
    QCOMPARE(result.text, expected);
    QCOMPARE(ReplyText.text(), expected);
}

void TestFunctions::failedFetchLeavesReplyText_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("closed port") << "closed";
    QTest::newRow("never answers") << "silent";
    QTest::newRow("body over the cap") << "large";
}

void TestFunctions::failedFetchLeavesReplyText()
{
    QFETCH(QString, kind);
    TestHttpServer big;
    big.reply(200, QByteArray(4096, 'x'));
    SilentServer silent;
    HttpLimits limits;
    limits.connect = 1s;
    limits.total = 1s;
    limits.maxBody = 1024;
    const QString url = kind == u"closed"   ? ClosedPortUrl()
                        : kind == u"silent" ? silent.url()
                                            : big.url();
    ReplyText.assign(QStringLiteral("A|left over"));
    QString item;
    ReplyText.takeItem(item);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(FetchText(url + QStringLiteral("/q"), limits), QStringLiteral("无法连接服务器"));
    QVERIFY2(clock.elapsed() < 5000, "the time-out bounds the wait");
    QCOMPARE(ReplyText.text(), QStringLiteral("left over"));
}

void TestFunctions::secondFetchReplacesFirst()
{
    TestHttpServer first, second;
    first.reply(200, "A|1|B|2|");
    second.reply(200, "C|3|");
    Fetch(first.url());
    Fetch(second.url());
    QCOMPARE(ReplyText.text(), QStringLiteral("C|3|"));
}

void TestFunctions::itemsAreTakenFromTheFront()
{
    ReplyText.assign(QStringLiteral("A||B|rest"));
    QStringList items;
    QString item;
    while (ReplyText.takeItem(item))
        items << item;
    QCOMPARE(items, QStringList({"A", "", "B"}));
    QCOMPARE(ReplyText.text(), QStringLiteral("rest"));
}

void TestFunctions::cutIdAndHash_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("cut"); // "id / hash", or empty when the link cannot be cut
    QTest::newRow("id 123") << "&id=123&uhash=9f8e"
                            << "123 / 9f8e";
    QTest::newRow("what stands before is not read") << "/d.php?action=download&id=7&uhash=h"
                                                    << "7 / h";
    QTest::newRow("empty id") << "&id=&uhash=abc"
                              << " / abc";
    QTest::newRow("empty hash") << "&id=7&uhash="
                                << "7 / ";
    QTest::newRow("the hash runs to the end") << "&id=1&uhash=a&b=c"
                                              << "1 / a&b=c";
    QTest::newRow("first of each") << "&id=1&id=2&uhash=x&uhash=y"
                                   << "1&id=2 / x&uhash=y";
    QTest::newRow("no id: counted from position 0") << "abcdef&uhash=h"
                                                    << "def / h";
    QTest::newRow("no uhash") << "&id=7"
                              << "";
    QTest::newRow("uhash before id") << "&uhash=h&id=7"
                                     << "";
    QTest::newRow("uhash inside id's marker") << "x&uhash=&id=1"
                                              << "";
    QTest::newRow("empty link") << ""
                                << "";
}

void TestFunctions::cutIdAndHash()
{
    QFETCH(QString, link);
    QFETCH(QString, cut);
    QString id = QStringLiteral("unset"), hash = QStringLiteral("unset");
    const bool ok = CutIdAndHash(link, id, hash);
    QCOMPARE(ok ? id + QStringLiteral(" / ") + hash : QString(), cut);
    if (!ok) QCOMPARE(id + hash, QStringLiteral("unsetunset"));
}

QTEST_GUILESS_MAIN(TestFunctions)
#include "tst_functions.moc"
