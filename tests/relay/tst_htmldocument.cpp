#include "relay/definitions/HtmlDocument.h"

#include <QTest>

namespace {

using Failure = HtmlDocument::Failure;

/** A result page of about 100 KB, then what a hostile site adds. */
std::string Page(const std::string& tail)
{
    std::string page = "<html><body><div class=result><a class=name>Hero</a></div><p>";
    page.append(100000, 'x');
    return page + tail;
}

std::string Repeated(const std::string& text, int times)
{
    std::string out;
    out.reserve(text.size() * size_t(times));
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

} // namespace

Q_DECLARE_METATYPE(HtmlDocument::Failure)

/** What parsing a page may cost: bounded in depth, memory and time, whatever the page. */
class TestHtmlDocument : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void bounded_data();
    void bounded();
    void growsWhenAllowed();
};

void TestHtmlDocument::bounded_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<qint64>("maxDepth");  // -1: none
    QTest::addColumn<qint64>("treeBytes"); // -1: any
    QTest::addColumn<bool>("late");        // the deadline has passed
    QTest::addColumn<Failure>("failure");
    const QByteArray page = QByteArray::fromStdString(Page({}));
    const QByteArray spans = QByteArray::fromStdString(Page(Repeated("<span>", 90000)));
    const QByteArray divs = QByteArray::fromStdString(Page(Repeated("<div>", 10000)));
    QTest::newRow("a result page") << page << qint64(1024) << qint64(-1) << false << Failure::None;
    QTest::newRow("90,000 nested spans")
        << spans << qint64(1024) << qint64(-1) << false << Failure::TooDeep;
    // Freed without gumbo's own walk, which recurses once per level.
    QTest::newRow("300,000 nested spans, allowed")
        << QByteArray::fromStdString(Page(Repeated("<span>", 300000))) << qint64(-1) << qint64(-1)
        << false << Failure::None;
    QTest::newRow("10,000 unclosed divs, allowed")
        << divs << qint64(-1) << qint64(-1) << false << Failure::None;
    QTest::newRow("10,000 unclosed divs")
        << divs << qint64(1024) << qint64(-1) << false << Failure::TooDeep;
    QTest::newRow("a tree past its bytes")
        << spans << qint64(-1) << qint64(1 << 20) << false << Failure::TooLarge;
    QTest::newRow("past the deadline")
        << page << qint64(-1) << qint64(-1) << true << Failure::TimedOut;
}

void TestHtmlDocument::bounded()
{
    QFETCH(QByteArray, page);
    QFETCH(qint64, maxDepth);
    QFETCH(qint64, treeBytes);
    QFETCH(bool, late);
    QFETCH(Failure, failure);
    HtmlLimits limits;
    limits.maxDepth = maxDepth >= 0 ? size_t(maxDepth) : SIZE_MAX;
    if (treeBytes >= 0) limits.treeBytes = size_t(treeBytes);
    if (late) limits.deadline = std::chrono::steady_clock::now();
    const HtmlDocument document(page.toStdString(), limits);
    QCOMPARE(document.failure(), failure);
    if (failure != Failure::None) {
        QVERIFY(!document.root());
        QCOMPARE(document.treeBytes(), size_t(0)); // all it took is freed
        return;
    }
    QVERIFY(document.root());
    QCOMPARE(TagName(document.root()), std::string("html"));
    QVERIFY(document.depth() <= limits.maxDepth);
    // No parse errors are kept: a tree about as large as its nodes, not one copy of the open
    // elements per element left open.
    QVERIFY2(document.treeBytes() < document.nodes() * 512 + (256 << 10),
             qPrintable(QStringLiteral("%1 bytes for %2 nodes")
                            .arg(document.treeBytes())
                            .arg(document.nodes())));
}

void TestHtmlDocument::growsWhenAllowed()
{
    // The tree asks for room as it outgrows its allowance; given it, the page is read.
    const std::string page = Page(Repeated("<p>x", 20000));
    size_t asked = 0;
    HtmlLimits limits;
    limits.treeBytes = 64 << 10;
    limits.grow = [&asked](size_t bytes) {
        asked = std::max(asked, bytes);
        return true;
    };
    const HtmlDocument document(page, limits);
    QCOMPARE(document.failure(), Failure::None);
    QVERIFY(asked >= document.treeBytes());
    QCOMPARE(document.nodes() > 40000, true);
    limits.grow = [](size_t bytes) { return bytes < (1 << 20); };
    QCOMPARE(HtmlDocument(page, limits).failure(), Failure::TooLarge);
}

QTEST_GUILESS_MAIN(TestHtmlDocument)
#include "tst_htmldocument.moc"
