#include "relay/definitions/CompiledDefinition.h"
#include "relay/definitions/LoginBlock.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

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
    void readsALogin();
    void refuses_data();
    void refuses();
    void filesThatAreNoDefinitions_data();
    void filesThatAreNoDefinitions();
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

void TestDefinition::readsALogin()
{
    const QByteArray text = QByteArray(kPublic) +
                            "login:\n  path: login.php\n  method: form\n  form: form#in\n"
                            "  submitpath: take.php\n"
                            "  cookies: [\"lang=en\"]\n"
                            "  inputs:\n    user: \"{{ .Config.sort }}\"\n"
                            "  selectorinputs:\n    token:\n      selector: script\n"
                            "      filters: [{name: regexp, args: \"t='(\\\\w+)'\"}]\n"
                            "  error:\n    - selector: div.err\n      message: {text: bad}\n"
                            "  captcha: {type: image, selector: img.c, input: code}\n"
                            "  test: {path: index.php, selector: a.out}\n";
    Definition d;
    std::string why;
    QVERIFY2(ParseDefinition(text.toStdString(), "login.yml", d, why), why.c_str());
    QVERIFY(d.login);
    QCOMPARE(d.loginMethod, std::string("form"));
    QCOMPARE(d.login->path, std::string("login.php"));
    QCOMPARE(d.login->form, std::string("form#in"));
    QCOMPARE(d.login->submitPath, std::string("take.php"));
    QCOMPARE(d.login->cookies.at(0), std::string("lang=en"));
    QCOMPARE(d.login->inputs.at(0).second, std::string("{{ .Config.sort }}"));
    QCOMPARE(d.login->selectorInputs.at(0).first, std::string("token"));
    QCOMPARE(d.login->selectorInputs.at(0).second.filters.at(0).args.at(0),
             std::string("t='(\\w+)'"));
    QCOMPARE(d.login->errors.at(0).message.text, std::string("bad"));
    QVERIFY(d.login->captcha.present);
    QCOMPARE(d.login->captcha.input, std::string("code"));
    QCOMPARE(d.loginTestSelector, std::string("a.out"));
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
    QTest::newRow("a login method not known")
        << ok + "login:\n  method: oneurl\n  path: login.php\n"
        << "41: unsupported login method oneurl";
    QTest::newRow("a login without its path") << ok + "login:\n  method: post\n"
                                              << "41: error login.path is missing";
    QTest::newRow("a form's keys on a post login")
        << ok + "login:\n  method: post\n  path: l.php\n  submitpath: t.php\n"
        << "43: error login.submitpath needs method form";
    QTest::newRow("a text captcha")
        << ok + "login:\n  method: form\n  path: l.php\n  captcha:\n    type: text\n"
                "    selector: p\n    input: a\n"
        << "44: unsupported login.captcha type text";
    QTest::newRow("a login cookie that is no cookie")
        << ok + "login:\n  method: post\n  path: l.php\n  cookies: [\"a; b\"]\n"
        << "43: error a login cookie must be NAME=VALUE";
    QTest::newRow("an unknown login key") << ok + "login:\n  method: get\n  path: a\n  otp: 1\n"
                                          << "43: unsupported login.otp";
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
    QTest::newRow("a regular expression that cannot be read")
        << WithLine(ok, "        - name: trim\n",
                    "        - name: trim\n        - name: regexp\n          args: \"(\\\\d+\"\n")
        << "30: error regular expression";
    QTest::newRow("a field modifier not known") << WithLine(ok, "    title:\n", "    title|bold:\n")
                                                << "26: unsupported field modifier bold";
    QTest::newRow("no title") << WithLine(ok, "    title:\n", "    name:\n")
                              << "26: error search.fields has no title";
    QTest::newRow("not YAML") << QByteArray("id: [x\nname: y\n") << "2: error";
    QTest::newRow("no links") << WithLine(ok, "links:\n  - https://example.test/\n", "")
                              << "1: error links must list the site";

    // Hostile files: refused with their line, not a crash or gigabytes.
    QTest::newRow("200,000 nested ( in a selector template")
        << WithLine(ok, "td.name a\n", "\"td{{ " + QByteArray(200000, '(') + " }}\"\n")
        << "27: error nested too deeply";
    QTest::newRow("40,000 nested ifs in a selector template")
        << WithLine(ok, "td.name a\n",
                    "\"td" + QByteArray("{{if .Config.sort}}").repeated(40000) +
                        QByteArray("{{end}}").repeated(40000) + "\"\n")
        << "27: error nested too deeply";
    QTest::newRow("100,000 nested :not(") << WithLine(ok, "td.name a\n",
                                                      "\"a" + QByteArray(":not(").repeated(100000) +
                                                          "b" + QByteArray(100000, ')') + "\"\n")
                                          << "27: error nested too deeply";
    QByteArray json = WithLine(ok, "    - path: \"s.php\"\n",
                               "    - path: \"api\"\n      response: {type: json}\n");
    json.replace("    selector: table.torrents > tbody > tr:has(a.dl)\n    after: 1\n",
                 "    selector: data\n");
    QTest::newRow("5,000 nested :has( in a JSON selector")
        << WithLine(json, "td.name a\n",
                    "\"name" + QByteArray(":has(x").repeated(5000) + QByteArray(5000, ')') + "\"\n")
        << "27: unsupported JSON selector";
    QTest::newRow("100,000 nested flow lists")
        << ok + "ratio: " + QByteArray(100000, '[') + QByteArray(100000, ']') + "\n"
        << "40: error nested too deeply";
    for (const char* delay : {"1e9", "-5", ".nan", ".inf", "-.inf", "60.5", "soon", "[1]"})
        QTest::newRow(qPrintable(QStringLiteral("requestDelay: %1").arg(QLatin1String(delay))))
            << ok + "requestDelay: " + delay + "\n"
            << "40: error requestDelay must be a number from 0 to 60";
    for (const char* after : {"-1", "1.5", "1e9", ".nan"})
        QTest::newRow(qPrintable(QStringLiteral("after: %1").arg(QLatin1String(after))))
            << WithLine(ok, "after: 1\n", QByteArray("after: ") + after + "\n")
            << "24: error search.rows.after must be a whole number from 0 to 100";
}

void TestDefinition::refuses()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, why);
    CompiledDefinition d;
    std::string got;
    QVERIFY(!ParseDefinition(text.toStdString(), "x.yml", d, got));
    QVERIFY2(QString::fromStdString(got).startsWith(why), got.c_str());
}

void TestDefinition::filesThatAreNoDefinitions_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("why");
    QTest::newRow("a definition") << "file"
                                  << "";
    // Opened without blocking and refused: a FIFO would hold the start until a writer came.
    QTest::newRow("a FIFO") << "fifo"
                            << "0: error not a regular file";
    QTest::newRow("a device") << "device"
                              << "0: error not a regular file";
    QTest::newRow("a folder") << "folder"
                              << "0: error not a regular file";
    // Measured before it is read: 8 GiB (sparse) are not read to learn they are too many.
    QTest::newRow("a file of 8 GiB") << "large"
                                     << "0: error larger than 1 MiB";
    QTest::newRow("nothing there") << "missing"
                                   << "0: error cannot read the file";
}

void TestDefinition::filesThatAreNoDefinitions()
{
    QFETCH(QString, kind);
    QFETCH(QString, why);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("site.yml"));
    if (kind == u"file" || kind == u"large") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(kPublic);
        if (kind == u"large") QVERIFY(file.resize(qint64(8) << 30));
    } else if (kind == u"fifo") {
        QCOMPARE(::mkfifo(path.toLocal8Bit().constData(), 0600), 0);
    } else if (kind == u"device") {
        path = QStringLiteral("/dev/zero");
    } else if (kind == u"folder") {
        path = dir.path();
    }
    Definition d;
    std::string got;
    QCOMPARE(ReadDefinition(path.toStdString(), d, got), why.isEmpty());
    QVERIFY2(QString::fromStdString(got).startsWith(why), got.c_str());
}

QTEST_GUILESS_MAIN(TestDefinition)
#include "tst_definition.moc"
