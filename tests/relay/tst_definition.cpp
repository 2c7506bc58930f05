#include "relay/definitions/Definition.h"

#include <QTest>

namespace {

// A definition written here for these tests, in the community's format.
const char* const kPublic = "id: examplesite\n"
                            "name: Example Site\n"
                            "type: public\n"
                            "encoding: GBK\n"
                            "links:\n"
                            "  - https://example.test/\n"
                            "settings:\n"
                            "  - name: sort\n"
                            "    type: select\n"
                            "    default: seeders\n"
                            "caps:\n"
                            "  categories: {}\n"
                            "search:\n"
                            "  paths:\n"
                            "    - path: \"s.php\"\n"
                            "  inputs:\n"
                            "    q: \"{{ .Keywords }}\"\n"
                            "    sort: \"{{ .Config.sort }}\"\n"
                            "  keywordsfilters:\n"
                            "    - name: re_replace\n"
                            "      args: [\"\\\\s+\", \" \"]\n"
                            "  rows:\n"
                            "    selector: table.torrents > tbody > tr:has(a.dl)\n"
                            "    after: 1\n"
                            "  fields:\n"
                            "    title:\n"
                            "      selector: td.name a\n"
                            "      filters:\n"
                            "        - name: trim\n"
                            "    download:\n"
                            "      selector: a.dl\n"
                            "      attribute: href\n"
                            "    size:\n"
                            "      selector: td.size\n"
                            "      filters:\n"
                            "        - name: dateparse\n"
                            "          args: \"2006-01-02\"\n"
                            "    seeders:\n"
                            "      text: 0\n";

QByteArray WithLine(const QByteArray& text, const QByteArray& from, const QByteArray& to)
{
    QByteArray out = text;
    return out.replace(from, to);
}

} // namespace

/** Reading the community's indexer definitions: the subset the relay serves, and a clear
 *  refusal, with its line, for everything else. */
class TestDefinition : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void reads();
    void refuses_data();
    void refuses();
};

void TestDefinition::reads()
{
    Definition d;
    std::string why;
    QVERIFY2(ParseDefinition(kPublic, "example.yml", d, why), why.c_str());
    QCOMPARE(d.id, std::string("examplesite"));
    QCOMPARE(d.encoding, std::string("GBK"));
    QCOMPARE(d.links.at(0), std::string("https://example.test/"));
    QCOMPARE(d.settings.at("sort"), std::string("seeders"));
    QCOMPARE(d.paths.size(), size_t(1));
    QCOMPARE(d.inputs.size(), size_t(2));
    QCOMPARE(d.inputs[1].second, std::string("{{ .Config.sort }}"));
    QCOMPARE(d.keywordsFilters.at(0).args.at(0), std::string("\\s+"));
    QCOMPARE(d.rowsAfter, 1);
    QVERIFY(d.field("title") && d.field("download"));
    QCOMPARE(d.field("download")->attribute, std::string("href"));
    QCOMPARE(d.field("title")->line, 27);
    QVERIFY(d.field("seeders")->hasText);
}

void TestDefinition::refuses_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("why"); // LINE: the start of the reason
    const QByteArray ok = kPublic;
    // The category mappings are skipped unread, lines still counted as the file has them.
    QTest::newRow("a fault after long categories")
        << WithLine(ok, "caps:\n  categories: {}\n",
                    "caps:\r\n  categorymappings:\r\n# a comment at the margin\r\n"
                    "    - {id: 1, cat: Movies, desc: \"Films: HD\"}\r\n\r\n"
                    "    - {id: 2, cat: TV}\r\n")
               .replace("    after: 1\n", "    after: 1\n    colour: blue\n")
        << "29: unsupported search.rows.colour";
    QTest::newRow("a form login") << ok + "login:\n  method: post\n  path: login.php\n"
                                  << "41: unsupported login method post";
    QTest::newRow("a filter not known")
        << WithLine(ok, "- name: trim", "- name: sprinkle") << "29: unsupported filter sprinkle";
    QTest::newRow("an unknown key") << ok + "ratio: 1\n"
                                    << "40: unsupported ratio";
    QTest::newRow("a response in another format")
        << WithLine(ok, "    - path: \"s.php\"\n",
                    "    - path: \"api\"\n      response:\n        type: csv\n")
        << "17: unsupported search.paths.response csv";
    QTest::newRow("a pinned certificate that is no fingerprint")
        << ok + "certificates: [ab12]\n"
        << "40: error a certificate is its SHA-1";
    QTest::newRow("a pseudo-class not known")
        << WithLine(ok, "td.name a\n", "td.name a:hover\n") << "27: unsupported pseudo-class";
    QTest::newRow("a selector that cannot be read")
        << WithLine(ok, "td.name a\n", "td.name a[\n") << "27: error";
    QTest::newRow("no title") << WithLine(ok, "    title:\n", "    name:\n")
                              << "26: error search.fields has no title";
    QTest::newRow("not YAML") << QByteArray("id: [x\nname: y\n") << "2: error";
    QTest::newRow("no links") << WithLine(ok, "links:\n  - https://example.test/\n", "")
                              << "1: error links must list the site";
}

void TestDefinition::refuses()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, why);
    Definition d;
    std::string got;
    QVERIFY(!ParseDefinition(text.toStdString(), "x.yml", d, got));
    QVERIFY2(QString::fromStdString(got).startsWith(why), got.c_str());
}

QTEST_GUILESS_MAIN(TestDefinition)
#include "tst_definition.moc"
