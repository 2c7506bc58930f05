// What the definitions mean, feature by feature, as the format's reference readers read them:
// each expected value below was worked out from their source, not from this relay's.
#include "relay/definitions/RowExtraction.h"

#include <QTest>

namespace {

/** A definition around the given fields (YAML, indented four spaces) and rows settings. */
std::string DefinitionWith(const std::string& fields, const std::string& rows = {},
                           const std::string& settings = {})
{
    return "id: conformance\n"
           "links: [\"https://site.example.test/\"]\n" +
           settings +
           "search:\n"
           "  paths: [{path: s.php}]\n"
           "  rows:\n"
           "    selector: tr.r\n" +
           rows + "  fields:\n" + fields;
}

ExtractedRows Read(const std::string& definition, const std::string& page,
                   const TemplateValues& values = {})
{
    Definition d;
    std::string why;
    if (!ParseDefinition(definition, "conformance.yml", d, why)) {
        qWarning("%s", why.c_str());
        return {};
    }
    const HtmlDocument document(page);
    return ExtractRows(d, document, "https://site.example.test/s.php", values);
}

const std::string kTitleAndDownload = "    title:\n"
                                      "      selector: a.t\n"
                                      "    download:\n"
                                      "      selector: a.d\n"
                                      "      attribute: href\n";

} // namespace

class TestConformance : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void optionalFields_data();
    void optionalFields();
    void rowsAfter();
    void dotNetReplacement_data();
    void dotNetReplacement();
    void regexpWithoutGroup();
    void templates_data();
    void templates();
    void andMatch_data();
    void andMatch();
};

void TestConformance::optionalFields_data()
{
    QTest::addColumn<QString>("field"); // one more field, after title and download
    QTest::addColumn<int>("hits");
    QTest::addColumn<QString>("value"); // the field's value in the hit
    const auto missing = [](const char* name) {
        return QStringLiteral("    %1:\n      selector: a.none\n      attribute: href\n")
            .arg(QLatin1String(name));
    };
    // The ids and metadata the readers always take as optional.
    for (const char* name : {"imdb", "imdbid", "tmdbid", "rageid", "tvdbid", "tvmazeid", "traktid",
                             "doubanid", "poster", "genre", "description"})
        QTest::newRow(name) << missing(name) << 1 << "";
    QTest::newRow("another field that is missing costs the row") << missing("size") << 0 << "";
    QTest::newRow("a default does not make a field optional")
        << missing("size") + "      default: \"1 GB\"\n"
        << 0 << "";
    QTest::newRow("optional: true") << missing("size") + "      optional: true\n" << 1 << "";
    QTest::newRow("optional and missing: its default")
        << missing("size") + "      optional: true\n      default: \"{{ .Result.title }}\"\n"
        << 1 << "Hero";
    QTest::newRow("optional and blank: its default")
        << QStringLiteral("    size:\n      selector: td.blank\n      optional: true\n"
                          "      default: \"0 B\"\n")
        << 1 << "0 B";
    QTest::newRow("an attribute is trimmed")
        << QStringLiteral("    size:\n      selector: td.padded\n      attribute: title\n") << 1
        << "2 GB";
}

void TestConformance::optionalFields()
{
    QFETCH(QString, field);
    QFETCH(int, hits);
    QFETCH(QString, value);
    const std::string page = "<table><tr class=r><td><a class=t>Hero</a></td>"
                             "<td><a class=d href=/d/1>d</a></td><td class=blank>  </td>"
                             "<td class=padded title='  2 GB '></td></tr></table>";
    const ExtractedRows got = Read(DefinitionWith(kTitleAndDownload + field.toStdString()), page);
    QCOMPARE(int(got.rows.size()), hits);
    if (hits) {
        const std::string name = field.trimmed().section(u':', 0, 0).toStdString();
        QCOMPARE(QString::fromStdString(got.rows[0].count(name) ? got.rows[0].at(name) : ""),
                 value);
    }
}

void TestConformance::rowsAfter()
{
    // Releases of two rows each: the second row is part of the first, never a row of its own.
    std::string page = "<table>";
    for (const char* title : {"Hero", "Heat", "Hush"})
        page += std::string("<tr class=r><td><a class=t>") + title +
                "</a></td></tr><tr class=r><td><a class=d href=/d/" + title + ">d</a></td></tr>";
    page += "<tr class=r><td><a class=t>Last, alone</a></td></tr></table>";
    const ExtractedRows got = Read(DefinitionWith(kTitleAndDownload, "    after: 1\n"), page);
    QCOMPARE(got.rows.size(), size_t(3));
    QCOMPARE(got.rows[0].at("title"), std::string("Hero"));
    QCOMPARE(got.rows[0].at("download"), std::string("https://site.example.test/d/Hero"));
    QCOMPARE(got.rows[2].at("title"), std::string("Hush"));
    QCOMPARE(got.rows[2].at("download"), std::string("https://site.example.test/d/Hush"));
    QCOMPARE(got.skipped, 1); // the last release lacks its second row
}

void TestConformance::dotNetReplacement_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<QString>("expected");
    QTest::newRow("$1") << "Hero 2002"
                        << "(\\w+) (\\d+)"
                        << "$2 $1"
                        << "2002 Hero";
    QTest::newRow("$0 is the match") << "Hero"
                                     << "e"
                                     << "[$0]"
                                     << "H[e]ro";
    QTest::newRow("${1}0 is group 1, then 0") << "ab"
                                              << "(a)"
                                              << "${1}0"
                                              << "a0b";
    QTest::newRow("${name}") << "S01E02"
                             << "S(?<season>\\d+)E(?<episode>\\d+)"
                             << "${episode}x${season}"
                             << "02x01";
    QTest::newRow("$$ is a dollar") << "5"
                                    << "(\\d)"
                                    << "$$$1"
                                    << "$5";
    QTest::newRow("$& and $` and $'") << "abc"
                                      << "b"
                                      << "<$`|$&|$'>"
                                      << "a<a|b|c>c";
    QTest::newRow("$12 with one group: group 1, then 2") << "x"
                                                         << "(x)"
                                                         << "$12"
                                                         << "x2";
    QTest::newRow("$3 with no third group stays") << "x"
                                                  << "(x)"
                                                  << "$3"
                                                  << "$3";
    QTest::newRow("${nope} stays") << "x"
                                   << "(x)"
                                   << "${nope}"
                                   << "${nope}";
    QTest::newRow("a group that took no part is empty") << "b"
                                                        << "(a)?b"
                                                        << "[$1]"
                                                        << "[]";
    QTest::newRow("every match") << "a-b-c"
                                 << "-"
                                 << "+"
                                 << "a+b+c";
}

void TestConformance::dotNetReplacement()
{
    QFETCH(QString, input);
    QFETCH(QString, pattern);
    QFETCH(QString, replacement);
    QFETCH(QString, expected);
    // In a field's filter and in a template alike.
    const std::string filtered = ApplyFilters(
        input.toStdString(),
        {DefinitionFilter{"re_replace", {pattern.toStdString(), replacement.toStdString()}}});
    QCOMPARE(QString::fromStdString(filtered), expected);
    TemplateValues values;
    values.text["Keywords"] = input.toStdString();
    const Template t("{{ re_replace .Keywords \"" + pattern.toStdString() + "\" \"" +
                     replacement.toStdString() + "\" }}");
    QVERIFY2(t.ok(), t.error().c_str());
    QCOMPARE(QString::fromStdString(t.Render(values)), expected);
}

void TestConformance::regexpWithoutGroup()
{
    // The filter gives the first group's text; a pattern without one gives nothing.
    QCOMPARE(ApplyFilters("Hero 2002", {DefinitionFilter{"regexp", {"(\\d{4})"}}}),
             std::string("2002"));
    QCOMPARE(ApplyFilters("Hero 2002", {DefinitionFilter{"regexp", {"\\d{4}"}}}), std::string());
}

void TestConformance::templates_data()
{
    QTest::addColumn<QString>("settings"); // the definition's settings (YAML)
    QTest::addColumn<QString>("config");   // a value the user gave the first setting ("" none)
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("keywords");
    QTest::addColumn<QString>("expected");
    const QString checkbox =
        QStringLiteral("settings:\n  - {name: disablesort, type: checkbox, default: false}\n");
    const QString text = QStringLiteral("settings:\n  - {name: mode, type: text, default: x}\n");
    const QString ifSort = QStringLiteral(
        "{{ if eq .Config.disablesort .False }}sort/{{ else }}{{ end }}{{ .Keywords }}");
    QTest::newRow("an unticked checkbox equals .False") << checkbox << "" << ifSort << "hero"
                                                        << "sort/hero";
    QTest::newRow("a ticked checkbox does not") << checkbox << "true" << ifSort << "hero"
                                                << "hero";
    QTest::newRow("a ticked checkbox is .True")
        << checkbox << "true"
        << "{{ if eq .Config.disablesort .True }}yes{{ end }}"
        << ""
        << "yes";
    QTest::newRow("a text setting \"false\" is true in an if")
        << text << "false"
        << "{{ if .Config.mode }}on{{ else }}off{{ end }}"
        << ""
        << "on";
    QTest::newRow("a blank text is false in an if")
        << text << " "
        << "{{ if .Config.mode }}on{{ else }}off{{ end }}"
        << ""
        << "off";
    QTest::newRow("backslashes in a literal are the pattern's")
        << text << ""
        << R"({{ re_replace .Keywords "\b0(\d{1})\b" "$1" }})"
        << "S01 E05 x 07"
        << "S01 E05 x 7";
    QTest::newRow("a .NET block name in a template's pattern")
        << text << ""
        << R"({{ re_replace .Keywords "\p{IsCyrillic}+" "_" }})"
        << "Бой 1"
        << "_ 1";
}

void TestConformance::templates()
{
    QFETCH(QString, settings);
    QFETCH(QString, config);
    QFETCH(QString, text);
    QFETCH(QString, keywords);
    QFETCH(QString, expected);
    Definition d;
    std::string why;
    QVERIFY2(ParseDefinition(DefinitionWith(kTitleAndDownload, {}, settings.toStdString()),
                             "conformance.yml", d, why),
             why.c_str());
    TemplateValues values;
    values.text["True"] = "True";
    values.text["Keywords"] = keywords.toStdString();
    for (const auto& [name, value] : d.settings)
        values.text["Config." + name] =
            SettingForTemplates(d, name, config.isEmpty() ? value : config.toStdString());
    const Template t(text.toStdString());
    QVERIFY2(t.ok(), t.error().c_str());
    QCOMPARE(QString::fromStdString(t.Render(values)), expected);
}

void TestConformance::andMatch_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("keywords"); // as keywordsfilters left them
    QTest::addColumn<int>("limit");
    QTest::addColumn<bool>("kept");
    QTest::newRow("words split at anything but letters and digits") << "AC/DC Show 1991"
                                                                    << "AC-DC-Show" << 0 << true;
    QTest::newRow("every word, any case") << "Hero (2002) BluRay"
                                          << "hero 2002" << 0 << true;
    QTest::newRow("a word missing") << "Heat (1995)"
                                    << "hero 2002" << 0 << false;
    QTest::newRow("the, and, an left out") << "Lord of Rings"
                                           << "The Lord and the Rings" << 0 << true;
    QTest::newRow("words of one character left out") << "Alien Resurrection"
                                                     << "Alien 3" << 0 << true;
    QTest::newRow("within the character limit") << "Hero (2002)"
                                                << "Hero extended" << 4 << true;
    QTest::newRow("past the limit counts") << "Hero (2002)"
                                           << "Hero extended" << 0 << false;
    QTest::newRow("Chinese words") << "英雄 Hero 2002"
                                   << "英雄" << 0 << true;
}

void TestConformance::andMatch()
{
    QFETCH(QString, title);
    QFETCH(QString, keywords);
    QFETCH(int, limit);
    QFETCH(bool, kept);
    QCOMPARE(HasEveryWord(title.toStdString(), keywords.toStdString(), limit), kept);
    // And through a definition's rows filter, its argument the limit.
    const std::string rows =
        limit ? "    filters: [{name: andmatch, args: " + std::to_string(limit) + "}]\n"
              : "    filters: [{name: andmatch}]\n";
    TemplateValues values;
    values.text["Keywords"] = keywords.toStdString();
    const std::string page = "<table><tr class=r><td><a class=t>" + title.toStdString() +
                             "</a><a class=d href=/d>d</a></td></tr></table>";
    QCOMPARE(Read(DefinitionWith(kTitleAndDownload, rows), page, values).rows.size(),
             size_t(kept ? 1 : 0));
}

QTEST_GUILESS_MAIN(TestConformance)
#include "tst_conformance.moc"
