#include "DeepGumboTree.h"
#include "relay/definitions/CssSelector.h"
#include "relay/definitions/HtmlDocument.h"

#include <QTest>

namespace {

/** A table as sites write them: no <tbody>, an unclosed <td>, a nested list. */
const char* const kPage =
    "<html><body>\n"
    "<div id=\"main\" class=\"box results\">\n"
    "<table class=\"torrents\">\n"
    "<tr class=\"head\"><th>Name</th><th>Size</th></tr>\n"
    "<tr id=\"r1\"><td class=\"name\"><a href=\"/t/1\" title=\"One\">Film One</a><td>1 "
    "GB</td></tr>\n"
    "<tr id=\"r2\"><td class=\"name\"><a href=\"/t/2\" data-x='a\"b'>Film Two</a></td><td>2 "
    "GB</td></tr>\n"
    "<tr id=\"r3\" class=\"sticky odd\"><td class=\"name\"><a "
    "href=\"/download.php?id=3\">Three</a></td><td></td></tr>\n"
    "</table>\n"
    "<ul><li id=\"l1\">x<ul><li id=\"l2\">y</li></ul></li><li id=\"l3\"></li></ul>\n"
    "<p id=\"p1\">first</p><span id=\"s1\"></span><p id=\"p2\">second</p>\n"
    "</div></body></html>\n";

QString Ids(const std::vector<const GumboNode*>& nodes)
{
    QStringList ids;
    for (const GumboNode* n : nodes) {
        const char* id = AttributeOf(n, "id");
        ids << (id ? QString::fromUtf8(id) : QString::fromStdString(TagName(n)));
    }
    return ids.join(u' ');
}

} // namespace

/** Selectors as indexer definitions write them, on a tree parsed as a browser parses it. */
class TestCssSelector : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void select_data();
    void select();
    void refused_data();
    void refused();
    void scopeCountsItselfAndItsAncestors();
    void deepTreeWalkedWithoutRecursion();
};

void TestCssSelector::select_data()
{
    QTest::addColumn<QString>("selector");
    QTest::addColumn<QString>("found"); // ids, or tag names where there is no id
    QTest::newRow("implied tbody") << "table.torrents > tbody > tr[id]"
                                   << "r1 r2 r3";
    QTest::newRow("unclosed cell mended") << "tr#r1 > td"
                                          << "td td";
    QTest::newRow("descendant and class") << "#main .name a"
                                          << "a a a";
    QTest::newRow("two classes") << "tr.sticky.odd"
                                 << "r3";
    QTest::newRow("attribute present") << "a[title]"
                                       << "a";
    QTest::newRow("prefix") << "a[href^=\"/download\"]"
                            << "a";
    QTest::newRow("suffix, unquoted") << "a[href$=2]"
                                      << "a";
    QTest::newRow("substring") << "a[href*='t/']"
                               << "a a";
    QTest::newRow("word") << "tr[class~=odd]"
                          << "r3";
    QTest::newRow("not equal") << "tr[id][class!=sticky\\ odd]"
                               << "r1 r2";
    QTest::newRow("quote escaped in value") << "a[data-x='a\"b']"
                                            << "a";
    QTest::newRow("case-blind value") << "a[title='ONE' i]"
                                      << "a";
    QTest::newRow("list") << "#p2, #p1"
                          << "p1 p2"; // document order
    QTest::newRow("next sibling") << "p + span"
                                  << "s1";
    QTest::newRow("later sibling") << "#p1 ~ p"
                                   << "p2";
    QTest::newRow(":has") << "tr:has(a[href*=download])"
                          << "r3";
    QTest::newRow(":has with child") << "li:has(> ul)"
                                     << "l1";
    QTest::newRow(":has, a later sibling's descendant") << "tr:has(~ tr.sticky a)"
                                                        << "tr r1 r2";
    QTest::newRow(":has, the next sibling") << "p:has(+ span), li:has(+ li)"
                                            << "l1 p1";
    QTest::newRow(":has, a list") << "tr:has(> th, a[title])"
                                  << "tr r1";
    QTest::newRow(":not") << "tr:not(.head):not(#r2)"
                          << "r1 r3";
    QTest::newRow(":contains quoted") << "tr:contains(\"Film Two\")"
                                      << "r2";
    QTest::newRow(":contains bare") << "a:contains(Three)"
                                    << "a";
    QTest::newRow(":nth-child(2)") << "tbody > tr:nth-child(2)"
                                   << "r1";
    QTest::newRow(":nth-child(odd)") << "tbody > tr:nth-child(odd)"
                                     << "tr r2";
    QTest::newRow(":nth-child(2n+3)") << "tbody > tr:nth-child(2n+3)"
                                      << "r2";
    QTest::newRow(":first-child and :last-child") << "tr:first-child, tr:last-child"
                                                  << "tr r3";
    QTest::newRow(":nth-of-type") << "#main > p:nth-of-type(2)"
                                  << "p2";
    QTest::newRow(":last-of-type") << "#main > p:last-of-type"
                                   << "p2";
    QTest::newRow(":contains, text spread over nodes") << "li:contains(xy)"
                                                       << "l1";
    QTest::newRow(":nth-last-child(1)") << "tbody > tr:nth-last-child(1)"
                                        << "r3";
    QTest::newRow(":only-of-type among other types") << "#main > :only-of-type"
                                                     << "table ul s1";
    QTest::newRow(":first-of-type after other types") << "#main > p:first-of-type"
                                                      << "p1";
    QTest::newRow(":empty") << "li:empty, span:empty"
                            << "l3 s1";
    QTest::newRow(":root") << ":root"
                           << "html";
    QTest::newRow("universal") << "#r1 > *"
                               << "td td";
    QTest::newRow("nothing") << "table.none tr"
                             << "";
}

void TestCssSelector::select()
{
    QFETCH(QString, selector);
    QFETCH(QString, found);
    const HtmlDocument page(kPage);
    const CssSelector s(selector.toStdString());
    QVERIFY2(s.ok(), s.error().c_str());
    QCOMPARE(Ids(s.SelectAll(page.root())), found);
}

void TestCssSelector::refused_data()
{
    QTest::addColumn<QString>("selector");
    QTest::newRow("pseudo-element") << "a::before";
    QTest::newRow("unknown pseudo-class") << "a:hover";
    QTest::newRow("unclosed attribute") << "a[href";
    QTest::newRow("unclosed :has") << "tr:has(a";
    QTest::newRow("dangling combinator") << "tr >";
    QTest::newRow("empty") << "";
    QTest::newRow("an+b past any position") << "tr:nth-child(99999999n+1)";
    QString nested;
    for (int i = 0; i < 100000; ++i)
        nested += QStringLiteral(":not(");
    QTest::newRow("100,000 nested :not(") << "a" + nested + "b" + QString(100000, u')');
}

void TestCssSelector::refused()
{
    QFETCH(QString, selector);
    const CssSelector s(selector.toStdString());
    QVERIFY(!s.ok());
    QVERIFY(!s.error().empty());
}

void TestCssSelector::scopeCountsItselfAndItsAncestors()
{
    // A field's selector is tried on the row itself first, then below it; the row's ancestors
    // take part in the match, as in a browser's element.querySelector.
    const HtmlDocument page(kPage);
    const GumboNode* row = CssSelector("#r2").SelectFirst(page.root());
    QVERIFY(row);
    QCOMPARE(Ids(CssSelector("tr").SelectAll(row)), QStringLiteral("r2"));
    QCOMPARE(Ids(CssSelector("table.torrents td.name a").SelectAll(row)), QStringLiteral("a"));
    QCOMPARE(QString::fromUtf8(AttributeOf(CssSelector("a").SelectFirst(row), "href")),
             QStringLiteral("/t/2"));
    QCOMPARE(QString::fromStdString(TextContent(row)), QStringLiteral("Film Two2 GB"));
    // :scope is the row: its own cells only, not those of the rows around it.
    QCOMPARE(Ids(CssSelector(":scope > td:nth-child(2)").SelectAll(row)), QStringLiteral("td"));
    QCOMPARE(CssSelector(":scope > td").SelectAll(row).size(), size_t(2));
    QCOMPARE(Ids(CssSelector(":scope").SelectAll(page.root())), QStringLiteral("html"));
}

void TestCssSelector::deepTreeWalkedWithoutRecursion()
{
    // 300,000 levels: a matcher or text walk that recursed per level would overflow the stack.
    const DeepGumboTree tree(300000);
    QCOMPARE(Ids(CssSelector("i").SelectAll(tree.root())), QStringLiteral("i"));
    QCOMPARE(CssSelector("span > span").SelectAll(tree.root()).size(), size_t(299999));
    QVERIFY(CssSelector(":root:has(i)").Matches(tree.root()));
    QVERIFY(!CssSelector(":root:has(b)").Matches(tree.root()));
    QCOMPARE(TextContent(tree.root()), std::string("deep"));
}

QTEST_GUILESS_MAIN(TestCssSelector)
#include "tst_cssselector.moc"
