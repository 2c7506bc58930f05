#include "relay/definitions/PageRows.h"

#include <QStringEncoder>
#include <QTest>

#include <chrono>

namespace {

/** A definition of the given answer type whose rows are "tr.r" (HTML), items (XML) or "data"
 *  (JSON), with an error block for HTML pages. */
std::string DefinitionFor(const QString& type)
{
    std::string rows = "tr.r", title = "a.t", download = "{selector: a.d, attribute: href}";
    std::string response;
    if (type == u"json") {
        rows = "data", title = "name", download = "{selector: url}";
        response = ", response: {type: json}";
    } else if (type == u"xml") {
        rows = "item", title = "title", download = "{selector: enclosure, attribute: url}";
        response = ", response: {type: xml}";
    }
    return "id: t\nlinks: [\"https://s.test/\"]\nsearch:\n"
           "  paths: [{path: s" +
           response + "}]\n  rows: {selector: \"" + rows +
           "\"}\n"
           "  error:\n"
           "    - {selector: div.banned, message: {selector: div.why}}\n"
           "    - {selector: div.closed, message: {text: closed for repairs}}\n"
           "  fields:\n    title: {selector: \"" +
           title + "\"}\n    download: " + download + "\n";
}

} // namespace

/** One page, as fetched, read into rows through the definitions library's single entry. */
class TestPageRows : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void pages_data();
    void pages();
    void templateSelectorParsedOnce();
    void treeBudget_data();
    void treeBudget();
};

void TestPageRows::pages_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("charset");
    QTest::addColumn<int>("failure");   // PageFailure
    QTest::addColumn<QString>("found"); // the first row's title, or the failure's detail
    const auto gb18030 = [](const char* utf8) {
        QStringEncoder encoder("GB18030");
        return QByteArray(encoder.encode(QString::fromUtf8(utf8)));
    };
    const char* const table = "<table><tr class=r><td><a class=t>英雄</a>"
                              "<a class=d href=/d/1>d</a></td></tr></table>";
    QTest::newRow("HTML in its charset")
        << "html" << gb18030(table) << "GB18030" << int(PageFailure::None) << "英雄";
    QTest::newRow("HTML, no charset known: UTF-8")
        << "html" << QByteArray(table) << "x-none" << int(PageFailure::None) << "英雄";
    QTest::newRow("the site's error page, its message on the page")
        << "html" << QByteArray("<div class=banned>x<div class=why>Too many searches</div></div>")
        << "UTF-8" << int(PageFailure::SiteError) << "Too many searches";
    QTest::newRow("the site's error page, the block's own message")
        << "html" << QByteArray("<div class=closed></div>") << "UTF-8"
        << int(PageFailure::SiteError) << "closed for repairs";
    QTest::newRow("JSON") << "json"
                          << QByteArray("{\"data\": [{\"name\": \"Hero\", \"url\": \"/d/1\"}]}")
                          << "UTF-8" << int(PageFailure::None) << "Hero";
    QTest::newRow("not JSON") << "json" << QByteArray("<html>") << "UTF-8"
                              << int(PageFailure::NotUnderstood) << "not JSON";
    QTest::newRow("a feed") << "xml"
                            << QByteArray("<rss><channel><item><title>Hero</title>"
                                          "<enclosure url=\"/d/1\"/></item></channel></rss>")
                            << "UTF-8" << int(PageFailure::None) << "Hero";
    QTest::newRow("not XML") << "xml" << QByteArray("{\"data\": []}") << "UTF-8"
                             << int(PageFailure::NotUnderstood) << "not XML";
}

void TestPageRows::pages()
{
    QFETCH(QString, type);
    QFETCH(QByteArray, body);
    QFETCH(QString, charset);
    QFETCH(int, failure);
    QFETCH(QString, found);
    CompiledDefinition d;
    std::string why;
    QVERIFY2(ParseDefinition(DefinitionFor(type), "t.yml", d, why), why.c_str());
    const PageRows read =
        ReadRows(d, 0, body, charset.toStdString(), "https://s.test/s", {}, PageLimits{});
    QCOMPARE(int(read.failure), failure);
    if (read) {
        QCOMPARE(read.rows.rows.size(), size_t(1));
        QCOMPARE(QString::fromStdString(read.rows.rows[0].at("title")), found);
        QCOMPARE(read.rows.rows[0].at("download"), std::string("https://s.test/d/1"));
    } else {
        QVERIFY2(QString::fromStdString(read.detail).contains(found), read.detail.c_str());
    }
}

void TestPageRows::templateSelectorParsedOnce()
{
    // A rows selector that a setting fills in: its text is the same for every page, so it is
    // parsed once, whatever the number of pages read.
    CompiledDefinition d;
    std::string why;
    const std::string text = "id: t\nlinks: [\"https://s.test/\"]\n"
                             "settings: [{name: rows, type: text, default: tr.r}]\nsearch:\n"
                             "  paths: [{path: s}]\n  rows: {selector: \"{{ .Config.rows }}\"}\n"
                             "  fields:\n    title: {selector: a.t}\n"
                             "    download: {selector: a.d, attribute: href}\n";
    QVERIFY2(ParseDefinition(text, "t.yml", d, why), why.c_str());
    TemplateValues table, list;
    table.text["Config.rows"] = "tr.r";
    list.text["Config.rows"] = "div.r";
    CssCache first, second;
    const CssSelector* parsed = &first(d.rows, table);
    QCOMPARE(&second(d.rows, table), parsed);
    QVERIFY(&second(d.rows, list) != parsed);
    const QByteArray tablePage = "<table><tr class=r><td><a class=t>Hero</a>"
                                 "<a class=d href=/d/1>d</a></table>";
    const QByteArray listPage = "<div class=r><a class=t>Heat</a><a class=d href=/d/2>d</a></div>";
    for (int page = 0; page < 2; ++page) {
        const PageRows rows = ReadRows(d, 0, tablePage, "UTF-8", "https://s.test/s", table, {});
        QVERIFY(rows);
        QCOMPARE(rows.rows.rows.size(), size_t(1));
        QCOMPARE(rows.rows.rows[0].at("title"), std::string("Hero"));
    }
    const PageRows rows = ReadRows(d, 0, listPage, "UTF-8", "https://s.test/s", list, {});
    QCOMPARE(rows.rows.rows.size(), size_t(1));
    QCOMPARE(rows.rows.rows[0].at("title"), std::string("Heat"));
    QCOMPARE(&first(d.rows, list), &second(d.rows, list));
}

void TestPageRows::treeBudget_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("limit");
    QTest::addColumn<int>("failure");
    QTest::newRow("HTML within its budget") << "html"
                                            << "none" << int(PageFailure::None);
    QTest::newRow("HTML over its budget, no more granted") << "html"
                                                           << "tree" << int(PageFailure::TooLarge);
    QTest::newRow("HTML over its budget, more granted") << "html"
                                                        << "grow" << int(PageFailure::None);
    QTest::newRow("HTML past its deadline") << "html"
                                            << "deadline" << int(PageFailure::TimedOut);
    QTest::newRow("HTML nested too deeply") << "html"
                                            << "depth" << int(PageFailure::TooDeep);
    QTest::newRow("a feed with more nodes than allowed") << "xml"
                                                         << "nodes" << int(PageFailure::TooLarge);
}

void TestPageRows::treeBudget()
{
    QFETCH(QString, type);
    QFETCH(QString, limit);
    QFETCH(int, failure);
    CompiledDefinition d;
    std::string why;
    QVERIFY2(ParseDefinition(DefinitionFor(type), "t.yml", d, why), why.c_str());
    QByteArray body;
    for (int i = 0; i < 2000; ++i)
        body += type == u"xml" ? "<item><title>Hero</title><enclosure url=\"/d/1\"/></item>"
                               : "<tr class=r><td><a class=t>Hero</a><a class=d href=/d/1>d</a>";
    body = type == u"xml" ? "<rss><channel>" + body + "</channel></rss>"
                          : "<div><table>" + body + "</table></div>";
    PageLimits limits;
    size_t asked = 0;
    if (limit != u"none" && limit != u"depth") limits.html.treeBytes = 64 * 1024;
    if (limit == u"grow") limits.html.grow = [&asked](size_t bytes) { return (asked = bytes) > 0; };
    if (limit == u"deadline")
        limits.html.deadline = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    if (limit == u"depth") limits.html.maxDepth = 3;
    if (limit == u"nodes") limits.xmlNodes = 100;
    const PageRows read = ReadRows(d, 0, body, "UTF-8", "https://s.test/s", {}, limits);
    QCOMPARE(int(read.failure), failure);
    if (limit == u"grow") QVERIFY(asked > limits.html.treeBytes); // it asked, and was granted
    if (read) QCOMPARE(read.rows.rows.size(), size_t(2000));
}

QTEST_GUILESS_MAIN(TestPageRows)
#include "tst_pagerows.moc"
