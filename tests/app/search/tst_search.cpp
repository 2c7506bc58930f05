#include "FakeDesktop.h"
#include "TestHttpServer.h"
#include "app/search/Main.h"
#include "platform/ui/Accessibility.h"
#include "platform/ui/AutoLabel.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/TextBox.h"
#include "web/Functions1.h"

#include <QAccessible>
#include <QApplication>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <algorithm>

using namespace std::chrono_literals;

namespace {

const QString kSite = QStringLiteral("http://site.test:8081");

QStringList Entries(const ListBox* list)
{
    QStringList entries;
    for (int i = 0; i < list->ListCount(); ++i)
        entries << list->List(i);
    return entries;
}

Endpoints EndpointsFor(const QString& relay)
{
    Endpoints e;
    e.relay = relay;
    e.site = kSite;
    e.fetch.connect = 1s;
    e.fetch.total = 1s;
    return e;
}

void Search(Main& main, const QString& text)
{
    if (!main.isVisible()) {
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
    }
    main.FindText->clear();
    bool ascii = true;
    for (QChar c : text)
        ascii = ascii && c.unicode() < 0x7F && c != u'#';
    if (ascii)
        QTest::keyClicks(main.FindText, text);
    else
        main.FindText->setText(text); // as an input method commits it
    QTest::keyClick(main.FindText, Qt::Key_Return);
}

} // namespace

class TestSearch : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { InstallAccessibility(); } // as the program does at start
    void init() { ReplyText.assign(QString()); }
    void search_data();
    void search();
    void unreachableRelay_data();
    void unreachableRelay();
    void hugeReply();
    void otherKeysSendNothing();
    void extent_data();
    void extent();
    void extentKeptByShorterResults();
    void nestedSearchTakesOver();
    void eventsRunWhileFilling();
    void accessibility();
};

void TestSearch::search_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("left");
    QTest::addColumn<QByteArray>("query");

    QTest::newRow("电影") << QStringLiteral("电影") << 200 << QByteArray("A|P1|B|P2|")
                          << QStringList{"A", "B"} << QStringList{"P1", "P2"} << 2 << ""
                          << QByteArray("q=%E7%94%B5%E5%BD%B1");
    QTest::newRow("无间道2") << QStringLiteral("无间道2") << 200 << QByteArray("A|P1|B|")
                             << QStringList{"A", "B"} << QStringList{"P1"} << 2 << ""
                             << QByteArray("q=%E6%97%A0%E9%97%B4%E9%81%932");
    QTest::newRow("a&b, text after the last bar")
        << "a&b" << 200 << QByteArray("A|P1|rest") << QStringList{"A"} << QStringList{"P1"} << 1
        << "rest" << QByteArray("q=a&b");
    QTest::newRow("Matrix 2, empty path")
        << "Matrix 2" << 200 << QByteArray("A||B|P2|") << QStringList{"A", "B"}
        << QStringList{"", "P2"} << 2 << "" << QByteArray("q=Matrix%202");
    QTest::newRow("C#, empty reply") << "C#" << 200 << QByteArray() << QStringList{}
                                     << QStringList{} << 0 << "" << QByteArray("q=C%23");
    QTest::newRow("empty text") << "" << 200 << QByteArray("X|") << QStringList{"X"}
                                << QStringList{} << 1 << "" << QByteArray("q=");
    QTest::newRow("no bar: error page")
        << "x" << 200 << QByteArray("<html>busy</html>") << QStringList{} << QStringList{} << 0
        << "<html>busy</html>" << QByteArray("q=x");
    QTest::newRow("404 with a body") << "x" << 404 << QByteArray("Not Found") << QStringList{}
                                     << QStringList{} << 0 << "Not Found" << QByteArray("q=x");
    QTest::newRow("500 with bars") << "x" << 500 << QByteArray("A|P|") << QStringList{"A"}
                                   << QStringList{"P"} << 1 << "" << QByteArray("q=x");
    QTest::newRow("invalid GB bytes")
        << "x" << 200 << QByteArray("A\xFF\xFF|P|") << QStringList{QStringLiteral("A\uFFFD\uFFFD")}
        << QStringList{"P"} << 1 << "" << QByteArray("q=x");
    QTest::newRow("GBK-only title") << "x" << 200 << Gb(QStringLiteral("朱镕基传|/f/9|"))
                                    << QStringList{QStringLiteral("朱镕基传")}
                                    << QStringList{"/f/9"} << 1 << "" << QByteArray("q=x");
    QTest::newRow("odd item count")
        << "x" << 200 << QByteArray("A|P1|B|P2|C|") << QStringList{"A", "B", "C"}
        << QStringList{"P1", "P2"} << 3 << "" << QByteArray("q=x");
}

void TestSearch::search()
{
    QFETCH(QString, typed);
    QFETCH(int, status);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, titles);
    QFETCH(QStringList, paths);
    QFETCH(int, count);
    QFETCH(QString, left);
    QFETCH(QByteArray, query);

    TestHttpServer relay;
    relay.reply(status, reply);
    FakeDesktop desktop;
    Main main(EndpointsFor(relay.url()), desktop);
    main.DownList->AddItem(QStringLiteral("from before"));
    Search(main, typed);

    QCOMPARE(Entries(main.DownList), titles);
    QCOMPARE(Entries(main.UrlList), paths);
    QCOMPARE(main.resultstr->text(), ResultText(count));
    QCOMPARE(ReplyText.text(), left);
    QCOMPARE(relay.requests().size(), 1);
    QCOMPARE(relay.requests().at(0).requestLine,
             "GET /moviejk/Find.php?url=" + kSite.toUtf8() + "/s.php?" + query + " HTTP/1.1");
}

void TestSearch::unreachableRelay_data()
{
    QTest::addColumn<int>("status"); // 0: a closed port, -1: a server that never answers
    QTest::addColumn<QString>("caption");
    const QString down = QStringLiteral("无法连接服务器");
    QTest::newRow("closed port") << 0 << down;
    QTest::newRow("never answers") << -1 << down;
    QTest::newRow("relay: 502 site unreachable") << 502 << down;
    QTest::newRow("relay: 503 busy") << 503 << down;
    QTest::newRow("relay: 504 site too slow") << 504 << down;
    // anything else is still read as a reply: no "|", no hits
    QTest::newRow("404 with a body") << 404 << ResultText(0);
    QTest::newRow("500 with a body") << 500 << ResultText(0);
}

void TestSearch::unreachableRelay()
{
    QFETCH(int, status);
    QFETCH(QString, caption);
    SilentServer quiet;
    TestHttpServer relay;
    relay.reply(status, "upstream failed\n");
    FakeDesktop desktop;
    Main main(EndpointsFor(status == -1  ? quiet.url()
                           : status == 0 ? ClosedPortUrl()
                                         : relay.url()),
              desktop);
    ReplyText.assign(QStringLiteral("kept"));
    main.DownList->AddItem(QStringLiteral("old hit"));
    Search(main, QStringLiteral("Matrix"));
    QCOMPARE(main.resultstr->text(), caption);
    QCOMPARE(main.DownList->ListCount(), 0);
    QCOMPARE(main.UrlList->ListCount(), 0);
    if (caption != ResultText(0)) QCOMPARE(ReplyText.text(), QStringLiteral("kept"));
    // the window takes input again once the time-out has passed
    QTest::keyClicks(main.FindText, QStringLiteral(" 2"));
    QCOMPARE(main.FindText->text(), QStringLiteral("Matrix 2"));
}

void TestSearch::hugeReply()
{
    QByteArray reply;
    for (int i = 0; i < 50000; ++i)
        reply += "Title " + QByteArray::number(i) + "|/film/" + QByteArray::number(i) + "|";
    TestHttpServer relay;
    relay.reply(200, reply);
    FakeDesktop desktop;
    Main main(EndpointsFor(relay.url()), desktop);
    Search(main, QStringLiteral("t"));
    QCOMPARE(main.DownList->ListCount(), 50000);
    QCOMPARE(main.UrlList->ListCount(), 50000);
    QCOMPARE(main.DownList->List(49999), QStringLiteral("Title 49999"));
    QCOMPARE(main.UrlList->List(0), QStringLiteral("/film/0"));
    QCOMPARE(main.resultstr->text(), ResultText(50000));
    QVERIFY(ReplyText.isEmpty());
}

void TestSearch::otherKeysSendNothing()
{
    TestHttpServer relay;
    relay.reply(200, "A|P|");
    FakeDesktop desktop;
    Main main(EndpointsFor(relay.url()), desktop);
    QTest::keyClicks(main.FindText, QStringLiteral("abc"));
    QTest::keyClick(main.FindText, Qt::Key_Return, Qt::ShiftModifier | Qt::ControlModifier);
    QCOMPARE(relay.requests().size(), 1); // Enter with Shift and Ctrl still searches
    QTest::keyClick(main.FindText, Qt::Key_Backspace);
    QCOMPARE(relay.requests().size(), 1);
    QCOMPARE(Entries(main.DownList), QStringList{"A"});
}

void TestSearch::extent_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::addColumn<int>("m");
    QTest::newRow("10 then 12") << 10 << 12 << 12;
    QTest::newRow("10 then 13") << 10 << 13 << 15;
}

void TestSearch::extent()
{
    QFETCH(int, first);
    QFETCH(int, second);
    QFETCH(int, m);
    TestHttpServer relay;
    relay.reply(200, QByteArray(first, 'a') + "|p|" + QByteArray(second, 'b') + "|q|");
    FakeDesktop desktop;
    Main main(EndpointsFor(relay.url()), desktop);
    QFont font = QApplication::font();
    font.setPointSize(main.DownList->font().pointSize());
    const QFontMetrics fm(font);
    if (m * fm.horizontalAdvance(QStringLiteral("AA ")) <= main.DownList->width())
        QSKIP("the default font is too narrow for a scroll range here");
    Search(main, QStringLiteral("x"));
    QCOMPARE(main.DownList->HorizontalExtent(), m * fm.horizontalAdvance(QStringLiteral("a")));
    main.show();
    QTRY_VERIFY(main.DownList->horizontalScrollBar()->isVisible() ==
                (main.DownList->HorizontalExtent() > main.DownList->viewport()->width()));
}

void TestSearch::extentKeptByShorterResults()
{
    TestHttpServer relay;
    relay.reply(200, QByteArray(60, 'w') + "|p|");
    FakeDesktop desktop;
    Main main(EndpointsFor(relay.url()), desktop);
    Search(main, QStringLiteral("long"));
    const int wide = main.DownList->HorizontalExtent();
    QVERIFY(wide > main.DownList->width());
    relay.reply(200, "short|p|");
    Search(main, QStringLiteral("short"));
    QCOMPARE(main.DownList->HorizontalExtent(), wide);
    main.show();
    QTRY_VERIFY(main.DownList->horizontalScrollBar()->isVisible());
    QCOMPARE(main.DownList->horizontalScrollBar()->maximum(),
             wide - main.DownList->viewport()->width());
}

void TestSearch::nestedSearchTakesOver()
{
    QByteArray big;
    for (int i = 0; i < 2000; ++i)
        big += "First " + QByteArray::number(i) + "|/f/" + QByteArray::number(i) + "|";
    TestHttpServer relay;
    relay.serve([big](const ServiceRequest& req, ServiceResponse& res) {
        res.body = req.target.find("second") != std::string::npos ? std::string("S|s|")
                                                                  : big.toStdString();
    });
    FakeDesktop desktop;
    Main main(EndpointsFor(relay.url()), desktop);
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    // Runs inside the first search's filling loop, as a key typed meanwhile would.
    QTimer::singleShot(0, &main, [&main] { Search(main, QStringLiteral("second")); });
    Search(main, QStringLiteral("first"));
    QCOMPARE(Entries(main.DownList), QStringList{"S"});
    QCOMPARE(Entries(main.UrlList), QStringList{"s"});
    QCOMPARE(main.resultstr->text(), ResultText(1));
    QVERIFY(ReplyText.isEmpty());
}

void TestSearch::eventsRunWhileFilling()
{
    const int hits = 100000;
    QByteArray big;
    for (int i = 0; i < hits; ++i)
        big += "Film " + QByteArray::number(i) + "|/f|";
    TestHttpServer relay;
    relay.reply(200, big);
    FakeDesktop desktop;
    Main main(EndpointsFor(relay.url()), desktop);
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    // A timer stands for input arriving while the list fills: it must not wait for the end.
    QList<int> seen;
    QTimer tick;
    tick.setInterval(1);
    connect(&tick, &QTimer::timeout, &main, [&] { seen << main.DownList->ListCount(); });
    tick.start();
    Search(main, QStringLiteral("film"));
    tick.stop();
    QCOMPARE(main.DownList->ListCount(), hits);
    QVERIFY2(std::any_of(seen.cbegin(), seen.cend(), [&](int n) { return n > 0 && n < hits; }),
             "no event ran between the first entry and the last");
}

void TestSearch::accessibility()
{
    TestHttpServer relay;
    relay.reply(200, QByteArray("A|P1|") + Gb(QStringLiteral("无间道")) + "|P2|");
    FakeDesktop desktop;
    Main main(EndpointsFor(relay.url()), desktop);
    main.show();
    Search(main, QStringLiteral("x"));

    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&main);
    QCOMPARE(window->role(), QAccessible::Window); // a frame, named by its title
    QCOMPARE(window->text(QAccessible::Name), QStringLiteral("Reelmate"));
    // what a user can see and use, and nothing else: no hidden paths, no drag zone
    QStringList seen;
    for (int i = 0; i < window->childCount(); ++i) {
        QAccessibleInterface* c = window->child(i);
        QCOMPARE(window->indexOfChild(c), i);
        seen << QStringLiteral("%1 %2").arg(int(c->role())).arg(c->text(QAccessible::Name));
    }
    const auto said = [](QAccessible::Role role, const QString& name) {
        return QStringLiteral("%1 %2").arg(int(role)).arg(name);
    };
    QCOMPARE(seen, (QStringList{said(QAccessible::EditableText, QStringLiteral("电影名称")),
                                said(QAccessible::Button, QStringLiteral("下载")),
                                said(QAccessible::List, QStringLiteral("搜索结果")),
                                said(QAccessible::StaticText, ResultText(2)),
                                said(QAccessible::Button, QStringLiteral("关闭"))}));
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(main.DownList);
    QCOMPARE(list->childCount(), 2);
    QCOMPARE(list->child(1)->text(QAccessible::Name), QStringLiteral("无间道"));
    // the close zone does what a click does
    QAccessibleInterface* close = window->child(4);
    QCOMPARE(close->actionInterface()->actionNames(),
             QStringList{QAccessibleActionInterface::pressAction()});
    close->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(desktop.exits, 1);
}

QTEST_MAIN(TestSearch)
#include "tst_search.moc"
