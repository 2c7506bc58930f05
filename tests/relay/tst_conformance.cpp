// What the definitions mean, feature by feature, as the format's reference readers read them:
// each expected value below was worked out from their source, not from this relay's.
#include "relay/definitions/CssSelector.h"
#include "relay/definitions/JsonSelector.h"
#include "relay/definitions/RowExtraction.h"
#include "relay/definitions/UrlEncoding.h"
#include "relay/gateway/SiteSearch.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QUrl>

#include <memory>

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
    CompiledDefinition d;
    std::string why;
    if (!ParseDefinition(definition, "conformance.yml", d, why)) {
        qWarning("%s", why.c_str());
        return {};
    }
    const HtmlDocument document(page);
    return ExtractRows(d, document, "https://site.example.test/s.php", values);
}

/** A definition with one search path and more of the search block (YAML, indented two). */
std::string DefinitionWithPath(const std::string& path, const std::string& search = {},
                               const std::string& top = {})
{
    return "id: conformance\n"
           "links: [\"https://site.example.test/\"]\n"
           "settings:\n"
           "  - {name: disablesort, type: checkbox, default: false}\n"
           "  - {name: sort, type: text, default: time}\n"
           "  - {name: type, type: text, default: desc}\n" +
           top +
           "search:\n"
           "  paths:\n"
           "    - path: \"" +
           path + "\"\n" + search +
           "  rows:\n"
           "    selector: tr.r\n"
           "  fields:\n"
           "    title:\n"
           "      selector: a.t\n"
           "    download:\n"
           "      selector: a.d\n"
           "      attribute: href\n";
}

/** The values a search of keywords gives the definition's templates, its defaults set. */
TemplateValues ValuesFor(const Definition& d, const std::string& keywords)
{
    TemplateValues values;
    values.text["True"] = "True";
    values.text["Keywords"] = keywords;
    for (const auto& [name, value] : d.settings)
        values.text["Config." + name] = SettingForTemplates(d, name, value);
    return values;
}

/** A form or query's value of name, "+" a space and "%XX" its byte: the bytes the site reads. */
QByteArray FormValue(const std::string& form, const std::string& name)
{
    for (const QByteArray& pair : QByteArray::fromStdString(form).split('&'))
        if (pair.startsWith(QByteArray::fromStdString(name) + '='))
            return QByteArray::fromPercentEncoding(
                pair.mid(qsizetype(name.size()) + 1).replace('+', ' '));
    return "(none)";
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
    void fieldModifiers_data();
    void fieldModifiers();
    void dotNetReplacement_data();
    void dotNetReplacement();
    void regexpWithoutGroup();
    void templates_data();
    void templates();
    void andMatch_data();
    void andMatch();
    void templatesAtLoad_data();
    void templatesAtLoad();
    void strayParenthesis_data();
    void strayParenthesis();
    void searchPathEncoding_data();
    void searchPathEncoding();
    void inputEncoding_data();
    void inputEncoding();
    void jsonPaths_data();
    void jsonPaths();
    void jsonRowsCount_data();
    void jsonRowsCount();
    void repeatedPaths_data();
    void repeatedPaths();
    void filters_data();
    void filters();
    void selectors_data();
    void selectors();
    void rowsRemove();
    void noResultsMessage_data();
    void noResultsMessage();
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

void TestConformance::fieldModifiers_data()
{
    QTest::addColumn<QString>("fields"); // after title and download
    QTest::addColumn<QString>("name");   // the field read from the hit
    QTest::addColumn<int>("hits");
    QTest::addColumn<QString>("value");
    const auto field = [](const char* key, const char* body) {
        return QStringLiteral("    %1:\n      %2\n").arg(QLatin1String(key), QLatin1String(body));
    };
    QTest::newRow("title|append: the earlier title and this text, run together")
        << field("title|append", "selector: td.year") << "title" << 1 << "Hero2002";
    QTest::newRow("templates see the title as appended")
        << field("title|append", "text: \" ({{ .Result.title }})\"") +
               field("comment", "text: \"{{ .Result.title }}\"")
        << "comment" << 1 << "Hero (Hero)";
    QTest::newRow("description|append")
        << field("description", "selector: td.desc") +
               field("description|append", "text: \", {{ .Result.description }}\"")
        << "description" << 1 << "A film, A film";
    // Optional by name is looked up by the whole key: "description|append" is required.
    QTest::newRow("description|append missing costs the row")
        << field("description", "selector: td.desc") +
               field("description|append", "selector: td.none")
        << "description" << 0 << "";
    QTest::newRow("|optional: missing, the earlier text stands")
        << field("description", "selector: td.desc") +
               field("description|append|optional", "selector: td.none")
        << "description" << 1 << "A film";
    QTest::newRow("|optional: missing, templates see no value")
        << field("description", "selector: td.desc") +
               field("description|append|optional", "selector: td.none") +
               field("comment", "text: \"[{{ .Result.description }}]\"")
        << "comment" << 1 << "[]";
    QTest::newRow("append on any other field replaces")
        << field("size", "text: 1 GB") + field("size|append", "text: 2 GB") << "size" << 1
        << "2 GB";
    QTest::newRow("category|noappend replaces the earlier category")
        << field("category", "selector: td.cat") + field("category|noappend", "selector: td.cat2")
        << "category" << 1 << "7";
    // The readers unite the category lists; this relay writes the union comma-separated.
    QTest::newRow("a later category adds to the earlier one")
        << field("category", "selector: td.cat") + field("category|append", "selector: td.cat2") +
               field("category|optional", "selector: td.cat")
        << "category" << 1 << "5,7";
}

void TestConformance::fieldModifiers()
{
    QFETCH(QString, fields);
    QFETCH(QString, name);
    QFETCH(int, hits);
    QFETCH(QString, value);
    const std::string page = "<table><tr class=r><td><a class=t>Hero</a></td>"
                             "<td><a class=d href=/d/1>d</a></td><td class=year>2002</td>"
                             "<td class=desc>A film</td><td class=cat>5</td><td class=cat2>7</td>"
                             "</tr></table>";
    const ExtractedRows got = Read(DefinitionWith(kTitleAndDownload + fields.toStdString()), page);
    QCOMPARE(int(got.rows.size()), hits);
    if (hits) QCOMPARE(QString::fromStdString(got.rows[0].at(name.toStdString())), value);
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
    // Patterns in .NET's syntax: "\uXXXX" and Unicode blocks.
    QTest::newRow("\\u escape") << "Hero\u00a0 2002"
                                << "[\\s\\u00A0]+"
                                << " "
                                << "Hero 2002";
    QTest::newRow("\\\\u is a backslash, then u") << "a\\u0041"
                                                  << "\\\\u0041"
                                                  << "!"
                                                  << "a!";
    QTest::newRow("a block that is no script, in a class") << "英雄 Hero!"
                                                           << "([\\p{IsCJKUnifiedIdeographs}\\W]+)"
                                                           << ""
                                                           << "Hero";
    QTest::newRow("a block that is no script, negated") << "英雄 Hero"
                                                        << "\\P{IsCJKUnifiedIdeographs}"
                                                        << ""
                                                        << "英雄";
    QTest::newRow("a block that is a script") << "Брат Brother"
                                              << "\\p{IsCyrillic}+ "
                                              << ""
                                              << "Brother";
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
    CompiledDefinition d;
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

void TestConformance::templatesAtLoad_data()
{
    // Every template is read with the file: one the relay cannot read refuses the file at start
    // ("FILE:LINE: ..."), where rendering it would send the site something else.
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("search");  // more of the search block
    QTest::addColumn<QString>("top");     // more of the file's top level
    QTest::addColumn<QString>("refusal"); // what why says, "" when the file is read
    const QString ok = QStringLiteral("search/{{ .Keywords }}/");
    QTest::newRow("a path with an unknown function") << "search/{{ frob .Keywords }}/"
                                                     << ""
                                                     << ""
                                                     << "9: unsupported template function frob";
    QTest::newRow("a path with an unclosed action") << "search/{{ .Keywords"
                                                    << ""
                                                    << ""
                                                    << "9: error an unclosed {{";
    QTest::newRow("a path's if without end") << "{{ if .Keywords }}search/"
                                             << ""
                                             << ""
                                             << "has no {{end}}";
    QTest::newRow("a stray \")\" after a name") << "search/{{ .Keywords) }}"
                                                << ""
                                                << ""
                                                << "9: error unexpected text";
    QTest::newRow("a stray \")\" after a literal")
        << R"({{ if and (.Keywords) (eq .Config.sort \"x\")) }}s{{ end }})"
        << ""
        << ""
        << "error unexpected text";
    QTest::newRow("an input") << ok << "  inputs:\n    q: \"{{ frob .Keywords }}\"\n"
                              << ""
                              << "11: unsupported template function frob";
    QTest::newRow("a path's own input") << ok << "      inputs:\n        q: \"{{ .Keywords \"\n"
                                        << ""
                                        << "11: error";
    QTest::newRow("a header") << ok << "  headers:\n    X-Q: [\"{{ frob }}\"]\n"
                              << ""
                              << "11: unsupported template function frob";
    QTest::newRow("a keywordsfilter's argument")
        << ok << "  keywordsfilters:\n    - {name: append, args: \"{{ frob }}\"}\n"
        << ""
        << "11: unsupported template function frob";
    QTest::newRow("an error message's text")
        << ok << "  error:\n    - {selector: div.e, message: {text: \"{{ frob }}\"}}\n"
        << ""
        << "11: unsupported template function frob";
    QTest::newRow("a download before's path")
        << ok << ""
        << "download:\n  selectors: [{selector: a.x, attribute: href}]\n"
           "  before: {path: \"{{ frob }}\"}\n"
        << "9: unsupported template function frob";
    QTest::newRow("a download header") << ok << ""
                                       << "download:\n  headers: {X-A: [\"{{ .A \"]}\n"
                                       << "8: error";
    QTest::newRow("a good file") << ok << "  inputs:\n    q: \"{{ .Keywords }}\"\n"
                                 << ""
                                 << "";
}

void TestConformance::templatesAtLoad()
{
    QFETCH(QString, path);
    QFETCH(QString, search);
    QFETCH(QString, top);
    QFETCH(QString, refusal);
    CompiledDefinition d;
    std::string why;
    const bool read = ParseDefinition(
        DefinitionWithPath(path.toStdString(), search.toStdString(), top.toStdString()),
        "conformance.yml", d, why);
    QCOMPARE(read, refusal.isEmpty());
    if (!read) QVERIFY2(QString::fromStdString(why).contains(refusal), why.c_str());
}

void TestConformance::strayParenthesis_data()
{
    // 1337x's second path has one ")" too many; the reference reader's logic functions take one
    // ")" after a name as part of it, so it reads the path as the others.
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("keywords");
    QTest::addColumn<QString>("expected");
    const QString tv = QStringLiteral(
        "{{ if and (.Keywords) (eq .Config.disablesort .False) }}sort-{{ else }}{{ end }}"
        "{{ if .Keywords }}search/{{ .Keywords }}{{ else }}cat/TV{{ end }}"
        "{{ if and (.Keywords) (eq .Config.disablesort .False)) }}/{{ .Config.sort }}/"
        "{{ .Config.type }}{{ else }}{{ end }}/{{ if .Keywords }}2{{ else }}1{{ end }}/");
    QTest::newRow("1337x's TV path, a search") << tv << "hero"
                                               << "sort-search/hero/time/desc/2/";
    QTest::newRow("1337x's TV path, no keywords") << tv << ""
                                                  << "cat/TV/1/";
    QTest::newRow("in or, after ne")
        << "{{ if or (.Keywords) (ne .Config.sort .Config.type)) }}yes{{ else }}no{{ end }}"
        << ""
        << "yes";
}

void TestConformance::strayParenthesis()
{
    QFETCH(QString, path);
    QFETCH(QString, keywords);
    QFETCH(QString, expected);
    CompiledDefinition d;
    std::string why;
    QVERIFY2(ParseDefinition(DefinitionWithPath(path.toStdString()), "c.yml", d, why), why.c_str());
    QCOMPARE(QString::fromStdString(
                 RenderedSearchPath(d.paths[0].path, ValuesFor(d, keywords.toStdString()))),
             expected);
}

void TestConformance::searchPathEncoding_data()
{
    // The reader puts each value into the path URL-encoded (UTF-8 whatever the site's encoding,
    // "-_.!*()" kept) and then writes every "+" as "%20".
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("keywords");
    QTest::addColumn<QString>("expected");
    QTest::newRow("a slash and a hash stay in the segment") << "UTF-8"
                                                            << "search/{{ .Keywords }}/1/"
                                                            << "AC/DC #1"
                                                            << "search/AC%2FDC%20%231/1/";
    QTest::newRow("UTF-8 in a GBK site's path") << "GBK"
                                                << "search/{{ .Keywords }}/1/"
                                                << "英雄"
                                                << "search/%E8%8B%B1%E9%9B%84/1/";
    QTest::newRow("UTF-8 in a cp1251 site's path") << "windows-1251"
                                                   << "s/{{ .Keywords }}"
                                                   << "Бой"
                                                   << "s/%D0%91%D0%BE%D0%B9";
    QTest::newRow("plus, percent, ampersand and question mark") << "UTF-8"
                                                                << "s/{{ .Keywords }}"
                                                                << "C++ 100% & ?"
                                                                << "s/C%2B%2B%20100%25%20%26%20%3F";
    QTest::newRow("-_.!*() as they are") << "UTF-8"
                                         << "s/{{ .Keywords }}"
                                         << "a-b_c.d!e*(f)"
                                         << "s/a-b_c.d!e*(f)";
    QTest::newRow("the path's own text is not encoded") << "UTF-8"
                                                        << "t.php?q={{ .Keywords }}&c=1"
                                                        << "a b"
                                                        << "t.php?q=a%20b&c=1";
    QTest::newRow("a value in an if's branch") << "UTF-8"
                                               << "{{ if .Keywords }}s/{{ .Keywords }}{{ end }}"
                                               << "a/b"
                                               << "s/a%2Fb";
}

void TestConformance::searchPathEncoding()
{
    QFETCH(QString, encoding);
    QFETCH(QString, path);
    QFETCH(QString, keywords);
    QFETCH(QString, expected);
    CompiledDefinition d;
    std::string why;
    QVERIFY2(ParseDefinition(DefinitionWithPath(path.toStdString(), {},
                                                "encoding: " + encoding.toStdString() + "\n"),
                             "c.yml", d, why),
             why.c_str());
    QCOMPARE(QString::fromStdString(
                 RenderedSearchPath(d.paths[0].path, ValuesFor(d, keywords.toStdString()))),
             expected);
    // And the path stays one path when resolved against the site's address.
    const QUrl url = QUrl(QStringLiteral("https://site.example.test/"))
                         .resolved(QUrl(QString::fromStdString(RenderedSearchPath(
                             d.paths[0].path, ValuesFor(d, keywords.toStdString())))));
    QVERIFY(!url.hasFragment());
}

void TestConformance::inputEncoding_data()
{
    // A query input's and a posted form's values reach the site in its encoding, every byte
    // that is not plain percent-encoded: the reader's query and form encoding.
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("keywords");
    QTest::addColumn<QByteArray>("expected"); // the bytes the site reads
    QTest::newRow("a query input, UTF-8") << "UTF-8"
                                          << "get"
                                          << "AC/DC #1&x=2" << QByteArray("AC/DC #1&x=2");
    QTest::newRow("a query input, GBK") << "GBK"
                                        << "get"
                                        << "英雄 1" << QByteArray("\xD3\xA2\xD0\xDB 1");
    QTest::newRow("a posted form, UTF-8") << "UTF-8"
                                          << "post"
                                          << "Amélie+1" << QByteArray("Am\xC3\xA9lie+1");
    QTest::newRow("a posted form, cp1251") << "windows-1251"
                                           << "post"
                                           << "Бой #1" << QByteArray("\xC1\xEE\xE9 #1");
}

void TestConformance::inputEncoding()
{
    QFETCH(QString, encoding);
    QFETCH(QString, method);
    QFETCH(QString, keywords);
    QFETCH(QByteArray, expected);
    auto d = std::make_shared<CompiledDefinition>();
    std::string why;
    QVERIFY2(ParseDefinition(DefinitionWithPath("s.php",
                                                "      method: " + method.toStdString() +
                                                    "\n  inputs:\n    q: \"{{ .Keywords }}\"\n",
                                                "encoding: " + encoding.toStdString() + "\n"),
                             "c.yml", *d, why),
             why.c_str());
    SiteProfile site;
    site.definition = d;
    site.siteLink = "https://site.example.test/";
    const std::vector<SearchRequest> requests =
        SearchRequests(site, SearchValues(site, keywords.toStdString()));
    QCOMPARE(requests.size(), size_t(1));
    const std::string& form = method == u"post"
                                  ? requests[0].body
                                  : requests[0].url.substr(requests[0].url.find('?') + 1);
    QCOMPARE(FormValue(form, "q"), expected);
}

void TestConformance::repeatedPaths_data()
{
    QTest::addColumn<QString>("second"); // the second path (YAML, after "- path: ")
    QTest::addColumn<int>("requests");
    // The first path is "s.php?q={{ .Keywords }}" with categories [1].
    QTest::newRow("the same GET for other categories is asked once")
        << "\"s.php?q={{ .Keywords }}\"\n      categories: [2]" << 1;
    QTest::newRow("another GET is asked") << "\"t.php?q={{ .Keywords }}\"" << 2;
    QTest::newRow("the same URL posted is asked again")
        << "\"s.php?q={{ .Keywords }}\"\n      method: post" << 2;
}

void TestConformance::repeatedPaths()
{
    QFETCH(QString, second);
    QFETCH(int, requests);
    auto d = std::make_shared<CompiledDefinition>();
    std::string why;
    QVERIFY2(ParseDefinition(DefinitionWithPath("s.php?q={{ .Keywords }}",
                                                "      categories: [1]\n    - path: " +
                                                    second.toStdString() + "\n"),
                             "c.yml", *d, why),
             why.c_str());
    SiteProfile site;
    site.definition = d;
    site.siteLink = "https://site.example.test/";
    const std::vector<SearchRequest> made = SearchRequests(site, SearchValues(site, "hero"));
    QCOMPARE(int(made.size()), requests);
    QCOMPARE(made.back().path, size_t(requests - 1)); // which path each request is
}

void TestConformance::filters_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("args"); // separated by "|"
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("diacritics replace") << "diacritics"
                                        << "replace"
                                        << "Amélie Ça Ñandú"
                                        << "Amelie Ca Nandu";
    QTest::newRow("diacritics: a letter that is no base and mark stays") << "diacritics"
                                                                         << "replace"
                                                                         << "ŠĐĆŽ - šđčćž"
                                                                         << "SĐCZ - sđccz";
    QTest::newRow("htmldecode: HTML5 names") << "htmldecode"
                                             << ""
                                             << "&hellip;&bigstar;&NotEqualTilde;&ncaron;"
                                             << "…★≂̸ň";
    QTest::newRow("htmldecode: HTML4 names") << "htmldecode"
                                             << ""
                                             << "&eacute;&copy;&mdash;&nbsp;"
                                             << "é©—\u00a0";
    QTest::newRow("htmldecode: names are case-sensitive") << "htmldecode"
                                                          << ""
                                                          << "&Eacute;&EACUTE;&AMP;"
                                                          << "É&EACUTE;&";
    QTest::newRow("htmldecode: without \";\" or unknown, left") << "htmldecode"
                                                                << ""
                                                                << "&amp &nosuch; &#65;&#x42;"
                                                                << "&amp &nosuch; AB";
    QTest::newRow("htmldecode: beyond Unicode, left") << "htmldecode"
                                                      << ""
                                                      << "&#x110000;"
                                                      << "&#x110000;";
    QTest::newRow("querystring: + is a space") << "querystring"
                                               << "q"
                                               << "https://x.test/s?q=a+b%2Bc&p=1"
                                               << "a b+c";
    QTest::newRow("querystring: the first, the name in any case") << "querystring"
                                                                  << "id"
                                                                  << "/d.php?ID=7&id=8#id=9"
                                                                  << "7";
    QTest::newRow("querystring: no query") << "querystring"
                                           << "id"
                                           << "/d.php"
                                           << "";
    QTest::newRow("querystring: UTF-8 escapes") << "querystring"
                                                << "t"
                                                << "/s?t=%E8%8B%B1%E9%9B%84"
                                                << "英雄";
}

void TestConformance::filters()
{
    QFETCH(QString, filter);
    QFETCH(QString, args);
    QFETCH(QString, input);
    QFETCH(QString, expected);
    DefinitionFilter f{filter.toStdString(), {}};
    for (const QString& a : args.split(u'|', Qt::SkipEmptyParts))
        f.args.push_back(a.toStdString());
    QCOMPARE(QString::fromStdString(ApplyFilters(input.toStdString(), {f})), expected);
}

void TestConformance::selectors_data()
{
    QTest::addColumn<QString>("selector");
    QTest::addColumn<int>("matches"); // among the page's b elements
    QTest::newRow("\\00a0 in :contains() is a no-break space")
        << "b:contains(\"Free\\00a0Leech\")" << 1;
    QTest::newRow("an escape with its space") << "b:contains('Free\\a0 Leech')" << 1;
    QTest::newRow("an escaped quote") << "b:contains(\"say \\\"hi\\\"\")" << 1;
    QTest::newRow("an escape without quotes") << "b:contains(Free\\00a0Leech)" << 1;
    QTest::newRow("an escape in an id") << "#\\31 x, #x\\31" << 2;
    QTest::newRow("an escape in a value") << "b[type=\"\\43heckBox\"]" << 1;
    QTest::newRow("a literal character escaped") << "b:contains(\"\\s\\a y\")" << 0;
    QTest::newRow("type in any case") << "b[type=checkbox]" << 1;
    QTest::newRow("rel in any case") << "b[rel^=nofollow]" << 1;
    QTest::newRow("unless s says so") << "b[type=checkbox s]" << 0;
    QTest::newRow("other attributes in their case") << "b[data-k=up]" << 0;
    QTest::newRow("!= in any case for type") << "b[type][type!=checkbox]" << 0;
}

void TestConformance::selectors()
{
    QFETCH(QString, selector);
    QFETCH(int, matches);
    const HtmlDocument page("<b>Free\u00a0Leech</b><b>say \"hi\"</b><b id=1x>é</b><b id=x1>é</b>"
                            "<b type=CheckBox>c</b><b rel=NoFollow>r</b><b data-k=Up>u</b>");
    const CssSelector css(selector.toStdString());
    QVERIFY2(css.ok(), css.error().c_str());
    QCOMPARE(int(css.SelectAll(page.root()).size()), matches);
}

void TestConformance::rowsRemove()
{
    // The reference readers read rows.remove and apply it nowhere: the rows keep what it names,
    // and a selector there that could not be read costs nothing.
    const std::string page = "<table><tr class=r><td><a class=t>Hero</a><a class=d href=/d>d</a>"
                             "</td></tr></table>";
    const ExtractedRows got =
        Read(DefinitionWith(kTitleAndDownload, "    remove: a.t, ::nonsense\n"), page);
    QCOMPARE(got.rows.size(), size_t(1));
    QCOMPARE(got.rows[0].at("title"), std::string("Hero"));
}

void TestConformance::noResultsMessage_data()
{
    // The reader's rule for a JSON answer: the message in it (any part of it, in its case), or
    // an empty message and an empty answer, is no results; a null message is none.
    QTest::addColumn<QString>("response");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("understood");
    QTest::addColumn<int>("rows");
    const QByteArray one = R"({"data":[{"t":"Hero","d":"/d/1"}]})";
    QTest::newRow("empty message, empty answer")
        << "{type: json, noResultsMessage: \"\"}" << QByteArray() << true << 0;
    QTest::newRow("empty message, an answer")
        << "{type: json, noResultsMessage: \"\"}" << one << true << 1;
    QTest::newRow("no message, empty answer") << "{type: json}" << QByteArray() << false << 0;
    QTest::newRow("a null message is none")
        << "{type: json, noResultsMessage: ~}" << QByteArray() << false << 0;
    QTest::newRow("the message in a page that is not JSON")
        << "{type: json, noResultsMessage: \"Nothing found\"}"
        << QByteArray("<p>Nothing found.</p>") << true << 0;
    QTest::newRow("the message in JSON")
        << "{type: json, noResultsMessage: \"\\\"total\\\":0\"}"
        << QByteArray(R"({"total":0,"data":[{"t":"x","d":"/d"}]})") << true << 0;
    QTest::newRow("the message in another case")
        << "{type: json, noResultsMessage: \"nothing\"}" << QByteArray("Nothing") << false << 0;
}

void TestConformance::noResultsMessage()
{
    QFETCH(QString, response);
    QFETCH(QByteArray, answer);
    QFETCH(bool, understood);
    QFETCH(int, rows);
    CompiledDefinition d;
    std::string why;
    QVERIFY2(
        ParseDefinition("id: c\nlinks: [\"https://s.test/\"]\nsearch:\n"
                        "  paths: [{path: s, response: " +
                            response.toStdString() +
                            "}]\n"
                            "  rows: {selector: data}\n"
                            "  fields:\n    title: {selector: t}\n    download: {selector: d}\n",
                        "c.yml", d, why),
        why.c_str());
    ExtractedRows got;
    QCOMPARE(ExtractJsonAnswer(d, d.paths[0], answer, "https://s.test/s", {}, got, why),
             understood);
    QCOMPARE(int(got.rows.size()), rows);
}

void TestConformance::jsonPaths_data()
{
    // Paths as Newtonsoft's SelectToken reads them in the definitions: dots, array indexes, "$".
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("expected"); // "-": nothing there
    const QByteArray files = R"({"files":[{"name":"a.mkv"},{"name":"b.srt"}],"n":{"m":[[1,2]]}})";
    QTest::newRow("files[0].name") << "files[0].name" << files << "a.mkv";
    QTest::newRow("files[1].name") << "files[1].name" << files << "b.srt";
    QTest::newRow("past the end") << "files[5].name" << files << "-";
    QTest::newRow("nested arrays") << "n.m[0][1]" << files << "2";
    QTest::newRow("$[0].id on a top-level array")
        << "$[0].id" << QByteArray(R"([{"id":7},{"id":8}])") << "7";
    QTest::newRow("$.files[1].name") << "$.files[1].name" << files << "b.srt";
    QTest::newRow("an index on an object") << "n[0]" << files << "-";
}

void TestConformance::jsonPaths()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, json);
    QFETCH(QString, expected);
    std::string why;
    const std::optional<JsonSelector> selector = ParseJsonSelector(path.toStdString(), &why);
    QVERIFY2(selector, why.c_str());
    const QJsonDocument document = QJsonDocument::fromJson(json);
    const QJsonValue top =
        document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
    const std::optional<std::string> text = JsonText(SelectJson(top, *selector));
    QCOMPARE(text ? QString::fromStdString(*text) : QStringLiteral("-"), expected);
}

void TestConformance::jsonRowsCount_data()
{
    // rows.count: an answer that counts fewer than one row has none. A rows selector that finds
    // nothing is a broken answer, unless missingAttributeEqualsNoResults says it means none.
    QTest::addColumn<QString>("rows"); // the rows block (YAML flow map)
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("understood");
    QTest::addColumn<int>("hits");
    const QString counted = QStringLiteral("{selector: data, count: {selector: meta.total}}");
    QTest::newRow("a count of 0") << counted
                                  << QByteArray(
                                         R"({"meta":{"total":0},"data":[{"t":"x","d":"/d"}]})")
                                  << true << 0;
    QTest::newRow("a count of \"2\"")
        << counted
        << QByteArray(R"({"meta":{"total":"2"},"data":[{"t":"x","d":"/d"},{"t":"y","d":"/e"}]})")
        << true << 2;
    QTest::newRow("a count that is no number")
        << counted << QByteArray(R"({"meta":{"total":"many"},"data":[{"t":"x","d":"/d"}]})") << true
        << 1;
    QTest::newRow("no rows selector match")
        << QStringLiteral("{selector: data}") << QByteArray(R"({"error":"none"})") << false << 0;
    QTest::newRow("no match that means none")
        << QStringLiteral("{selector: data, missingAttributeEqualsNoResults: true}")
        << QByteArray(R"({"error":"none"})") << true << 0;
    QTest::newRow("an empty list")
        << QStringLiteral("{selector: data}") << QByteArray(R"({"data":[]})") << true << 0;
}

void TestConformance::jsonRowsCount()
{
    QFETCH(QString, rows);
    QFETCH(QByteArray, answer);
    QFETCH(bool, understood);
    QFETCH(int, hits);
    CompiledDefinition d;
    std::string why;
    QVERIFY2(
        ParseDefinition("id: c\nlinks: [\"https://s.test/\"]\nsearch:\n"
                        "  paths: [{path: s, response: {type: json}}]\n  rows: " +
                            rows.toStdString() +
                            "\n  fields:\n    title: {selector: t}\n    download: {selector: d}\n",
                        "c.yml", d, why),
        why.c_str());
    ExtractedRows got;
    QCOMPARE(ExtractJsonAnswer(d, d.paths[0], answer, "https://s.test/s", {}, got, why),
             understood);
    QCOMPARE(int(got.rows.size()), hits);
}

QTEST_GUILESS_MAIN(TestConformance)
#include "tst_conformance.moc"
