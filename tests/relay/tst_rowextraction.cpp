#include "DeepGumboTree.h"
#include "relay/definitions/RowExtraction.h"
#include "relay/definitions/XmlDocument.h"

#include <QJsonDocument>
#include <QTest>

namespace {

// A definition and a page written here, as a cookie-login tracker serves them: a table with
// no <tbody>, a header row, a row with only a magnet link, links relative to the page.
const char* const kDefinition = "id: tracker\n"
                                "links: [\"https://tracker.example.test/\"]\n"
                                "search:\n"
                                "  paths: [{path: torrents.php}]\n"
                                "  rows:\n"
                                "    selector: \"table.torrent_table > tbody > tr:not(.colhead)"
                                "{{ if .Config.free }}:has(img.free){{ end }}\"\n"
                                "  fields:\n"
                                "    title:\n"
                                "      selector: a.name\n"
                                "      remove: span.tag\n"
                                "      filters:\n"
                                "        - name: re_replace\n"
                                "          args: [\"\\\\s*\\\\[(\\\\w+)\\\\]\", \" ($1)\"]\n"
                                "    details:\n"
                                "      selector: a.name\n"
                                "      attribute: href\n"
                                "    download:\n"
                                "      selector: a[href^=\"download.php\"]\n"
                                "      attribute: href\n"
                                "      optional: true\n"
                                "    magnet:\n"
                                "      selector: a[href^=\"magnet:\"]\n"
                                "      attribute: href\n"
                                "      optional: true\n"
                                "    free:\n"
                                "      case:\n"
                                "        img.free: yes\n"
                                "        \"*\": no\n"
                                "    label:\n"
                                "      text: \"{{ .Result.title }} / {{ .Result.free }}\"\n";

const char* const kPage =
    "<html><body><table class='torrent_table'>"
    "<tr class='colhead'><td>Name</td></tr>"
    "<tr><td><a class='name' href='details.php?id=1'>Hero <span class='tag'>new</span>"
    "[BluRay]</a><img class='free'></td><td><a href='download.php?id=1&amp;k=x'>DL</a></td>"
    "<tr><td><a class='name' href='/details.php?id=2'>Infernal Affairs</a></td>"
    "<td><a href='magnet:?xt=urn:btih:abc'>M</a></td></tr>"
    "<tr><td>a row with no title link</td></tr>"
    "</table></body></html>";

} // namespace

/** Rows and fields read from a page through a definition. */
class TestRowExtraction : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void rowsAndFields();
    void jsonRows();
    void xmlFeed();
    void filters_data();
    void filters();
    void deepRow();
    void xmlNodesBounded();
};

void TestRowExtraction::rowsAndFields()
{
    CompiledDefinition d;
    std::string why;
    QVERIFY2(ParseDefinition(kDefinition, "tracker.yml", d, why), why.c_str());
    const HtmlDocument page(kPage);
    const ExtractedRows got =
        ExtractRows(d, page, "https://tracker.example.test/torrents.php?q=x", {});
    QCOMPARE(got.rows.size(), size_t(2));
    QCOMPARE(got.skipped, 1); // no title: no hit, counted
    const auto& first = got.rows[0];
    QCOMPARE(first.at("title"), std::string("Hero (BluRay)"));
    QCOMPARE(first.at("details"), std::string("https://tracker.example.test/details.php?id=1"));
    QCOMPARE(first.at("download"),
             std::string("https://tracker.example.test/download.php?id=1&k=x"));
    QCOMPARE(first.at("free"), std::string("yes"));
    QCOMPARE(first.at("label"), std::string("Hero (BluRay) / yes"));
    const auto& second = got.rows[1];
    QCOMPARE(second.at("download"), std::string()); // only a magnet link
    QCOMPARE(second.at("magnet"), std::string("magnet:?xt=urn:btih:abc"));
    QCOMPARE(second.at("details"), std::string("https://tracker.example.test/details.php?id=2"));
    QCOMPARE(second.at("free"), std::string("no"));
    // The rows selector is a template: with the setting on, only free rows are hits.
    TemplateValues freeOnly;
    freeOnly.text["Config.free"] = "true";
    const ExtractedRows free =
        ExtractRows(d, page, "https://tracker.example.test/torrents.php?q=x", freeOnly);
    QCOMPARE(free.rows.size(), size_t(1));
    QCOMPARE(free.rows[0].at("title"), std::string("Hero (BluRay)"));
}

void TestRowExtraction::jsonRows()
{
    // An API that lists films, each with its torrents: one row per torrent, the film's fields
    // read through "..", a number, a case over values and a default that is a template.
    const char* definition =
        "id: api\n"
        "links: [\"https://api.example.test/\"]\n"
        "search:\n"
        "  paths: [{path: list.json, response: {type: json}}]\n"
        "  rows: {selector: data.movies, attribute: torrents, multiple: true}\n"
        "  fields:\n"
        "    year: {selector: ..year}\n"
        "    quality: {selector: quality, case: {\"1080p\": HD, \"*\": SD}}\n"
        "    full: {selector: \"quality:contains(\\\"1080\\\"):not(:contains(i))\", optional: "
        "true}\n"
        "    name: {selector: ..name, optional: true, default: \"{{ "
        ".Result.year }} film\"}\n"
        "    title: {text: \"{{ .Result.name }} {{ .Result.quality }}\"}\n"
        "    download: {selector: url}\n";
    CompiledDefinition d;
    std::string why;
    QVERIFY2(ParseDefinition(definition, "api.yml", d, why), why.c_str());
    const QJsonDocument page = QJsonDocument::fromJson(
        "{\"data\": {\"movies\": ["
        "{\"name\": \"Hero\", \"year\": 2002, \"torrents\": ["
        "{\"quality\": \"1080p\", \"url\": \"/t/1.torrent\"},"
        "{\"quality\": \"720p\", \"url\": \"https://cdn.example.test/2.torrent\"}]},"
        "{\"year\": 1999, \"torrents\": [{\"quality\": \"720p\"}]},"
        "{\"name\": \"No torrents\"}]}}");
    const ExtractedRows got = ExtractJsonRows(d, page, "https://api.example.test/list.json", {});
    QCOMPARE(got.rows.size(), size_t(2));
    QCOMPARE(got.skipped, 1); // the torrent without a url
    QCOMPARE(got.rows[0].at("title"), std::string("Hero HD"));
    QCOMPARE(got.rows[0].at("download"), std::string("https://api.example.test/t/1.torrent"));
    QCOMPARE(got.rows[1].at("title"), std::string("Hero SD"));
    QCOMPARE(got.rows[1].at("year"), std::string("2002"));
    QCOMPARE(got.rows[0].at("full"), std::string("1080p")); // found only where the tests hold
    QCOMPARE(got.rows[1].at("full"), std::string());

    // A selector that is no dotted path is refused, not read as something else.
    std::string text = definition;
    text.replace(text.find("selector: url"), 13, "selector: \"url:matches(x)\"");
    QVERIFY(!ParseDefinition(text, "api.yml", d, why));
    QVERIFY2(why.find("unsupported JSON selector") != std::string::npos, why.c_str());
}

void TestRowExtraction::xmlFeed()
{
    // A feed read as XML: a CDATA title, <link> with text (an empty element in HTML), an
    // enclosure's attribute and a namespaced attribute element.
    const char* definition = "id: feed\n"
                             "links: [\"https://feed.example.test/\"]\n"
                             "search:\n"
                             "  paths: [{path: rss, response: {type: xml}}]\n"
                             "  rows: {selector: rss > channel > item}\n"
                             "  fields:\n"
                             "    title: {selector: title}\n"
                             "    details: {selector: link}\n"
                             "    download: {selector: enclosure, attribute: url}\n"
                             "    seeders: {selector: \"[name=seeders]\", attribute: value}\n";
    CompiledDefinition d;
    std::string why;
    QVERIFY2(ParseDefinition(definition, "feed.yml", d, why), why.c_str());
    const XmlDocument feed(
        "<?xml version=\"1.0\"?><rss xmlns:torznab=\"http://torznab.com/schemas/2015/feed\">"
        "<channel><title>feed</title><item><title><![CDATA[Hero <2002>]]></title>"
        "<link>https://feed.example.test/d/1</link>"
        "<enclosure url=\"/get/1.torrent\" type=\"application/x-bittorrent\"/>"
        "<torznab:attr name=\"seeders\" value=\"7\"/></item></channel></rss>");
    const ExtractedRows got = ExtractRows(d, feed.root(), "https://feed.example.test/rss", {});
    QCOMPARE(got.rows.size(), size_t(1));
    QCOMPARE(got.rows[0].at("title"), std::string("Hero <2002>"));
    QCOMPARE(got.rows[0].at("details"), std::string("https://feed.example.test/d/1"));
    QCOMPARE(got.rows[0].at("download"), std::string("https://feed.example.test/get/1.torrent"));
    QCOMPARE(got.rows[0].at("seeders"), std::string("7"));
    QVERIFY(!XmlDocument("<html><p>not xml").root() ||
            ExtractRows(d, XmlDocument("<html><p>not xml").root(), "https://x/", {}).rows.empty());
}

void TestRowExtraction::filters_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("in");
    QTest::addColumn<QString>("out");
    QTest::newRow("replace") << "replace" << QStringList{"a", "o"} << "banana"
                             << "bonono";
    QTest::newRow("regexp") << "regexp" << QStringList{"id=(\\d+)"} << "x?id=42&y"
                            << "42";
    QTest::newRow("split from the end") << "split" << QStringList{"/", "-1"} << "a/b/c"
                                        << "c";
    QTest::newRow("trim a character") << "trim" << QStringList{"."} << "..x.."
                                      << "x";
    QTest::newRow("append") << "append" << QStringList{".torrent"} << "x"
                            << "x.torrent";
    QTest::newRow("querystring") << "querystring" << QStringList{"id"} << "/d.php?a=1&id=%E4%B8%AD"
                                 << QStringLiteral("中");
    QTest::newRow("urldecode") << "urldecode" << QStringList{} << "a+b%2Fc"
                               << "a b/c";
    QTest::newRow("htmldecode") << "htmldecode" << QStringList{} << "&lt;b&gt; &amp; &#20013;"
                                << QStringLiteral("<b> & 中");
    QTest::newRow("validfilename") << "validfilename" << QStringList{} << "a/b:c?"
                                   << "abc";
    QTest::newRow("validate keeps the listed words")
        << "validate" << QStringList{"Action, Drama, Sci-Fi"} << "drama, Cooking|SCI-FI"
        << "Drama, Sci-Fi";
    QTest::newRow("an argument that is a template")
        << "re_replace" << QStringList{"^/", "{{ .Config.sitelink }}"} << "/t/1"
        << "https://site.test/t/1";
    QTest::newRow("a .NET Unicode block") << "re_replace" << QStringList{"\\p{IsCyrillic}+ ", ""}
                                          << QStringLiteral("Герой Hero") << "Hero";
    QTest::newRow("a date filter leaves the value")
        << "dateparse" << QStringList{"2006"} << "2026-12-07"
        << "2026-12-07";
}

void TestRowExtraction::filters()
{
    QFETCH(QString, name);
    QFETCH(QStringList, args);
    QFETCH(QString, in);
    QFETCH(QString, out);
    DefinitionFilter f{name.toStdString(), {}};
    for (const QString& a : args)
        f.args.push_back(a.toStdString());
    TemplateValues values;
    values.text["Config.sitelink"] = "https://site.test/";
    QCOMPARE(QString::fromStdString(ApplyFilters(in.toStdString(), {f}, &values)), out);
}

void TestRowExtraction::deepRow()
{
    // A row whose text lies 300,000 levels down: read by a walk, not a recursion per level.
    CompiledDefinition d;
    std::string why;
    QVERIFY2(ParseDefinition("id: deep\nlinks: [\"https://x.test/\"]\nsearch:\n"
                             "  paths: [{path: s}]\n  rows: {selector: \":root\"}\n"
                             "  fields:\n    title: {selector: span, remove: b}\n"
                             "    details: {text: d}\n    download: {text: d}\n",
                             "deep.yml", d, why),
             why.c_str());
    const DeepGumboTree tree(300000);
    const ExtractedRows got = ExtractRows(d, tree.root(), "https://x.test/s", {});
    QCOMPARE(got.rows.size(), size_t(1));
    QCOMPARE(got.rows[0].at("title"), std::string("deep"));
}

void TestRowExtraction::xmlNodesBounded()
{
    // Counted before parsing, as the gateway bounds a page's feed: empty elements (4 bytes
    // each, hundreds in the trees) are refused; a feed as sites write it is read.
    const QByteArray flat = "<rss>" + QByteArray("<a/>").repeated(100000) + "</rss>";
    const XmlDocument refused(flat, size_t(flat.size()) * 25 / 256);
    QVERIFY(refused.tooLarge());
    QVERIFY(!refused.root());
    const QByteArray item = "<item><title>Hero 2002 1080p BluRay x264</title><link>https://x.test/"
                            "dl/1.torrent</link><torznab:attr name=\"seeders\" value=\"5\"/>"
                            "</item>";
    const QByteArray feed = "<rss xmlns:torznab=\"http://torznab.com/schemas/2015/feed\">"
                            "<channel>" +
                            item.repeated(1000) + "</channel></rss>";
    const XmlDocument read(feed, size_t(feed.size()) * 25 / 256);
    QVERIFY(!read.tooLarge());
    QVERIFY(read.root());
}

QTEST_GUILESS_MAIN(TestRowExtraction)
#include "tst_rowextraction.moc"
