#include "relay/definitions/Template.h"

#include <QTest>

/** The template subset indexer definitions use, on values of a search. */
class TestTemplate : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void render_data();
    void render();
    void refused_data();
    void refused();
    void nestedTooDeeply_data();
    void nestedTooDeeply();
};

void TestTemplate::render_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("rendered");
    QTest::newRow("plain text") << "search.php"
                                << "search.php";
    QTest::newRow("values") << "q={{ .Keywords }}&s={{.Config.sort}}"
                            << "q=英雄 2002&s=seeders";
    QTest::newRow("missing value") << "[{{ .Config.none }}]"
                                   << "[]";
    QTest::newRow("if else") << "{{ if .Config.freeleech }}free{{ else }}all{{ end }}"
                             << "all";
    QTest::newRow("else if") << "{{ if eq .Config.sort \"size\" }}1{{ else if eq .Config.sort "
                                "\"seeders\" }}2{{ else }}3{{ end }}"
                             << "2";
    QTest::newRow("and, or, not") << "{{ if and .Keywords (not .Config.freeleech) }}y{{ end }}"
                                     "{{ or .Config.none \"dflt\" }}"
                                  << "ydflt";
    QTest::newRow("ne") << "{{ if ne .Today.Year \"1999\" }}now{{ end }}"
                        << "now";
    QTest::newRow("range") << "{{ range .Categories }}c={{.}};{{end}}"
                           << "c=1;c=5;";
    QTest::newRow("join and len") << "{{ join .Categories \",\" }}/{{ len .Categories }}"
                                  << "1,5/2";
    QTest::newRow("re_replace with a group") << "{{ re_replace .Keywords \"(\\d+)\" \"[$1]\" }}"
                                             << "英雄 [2002]";
    QTest::newRow("urlencode") << "{{ urlencode .Keywords }}"
                               << "%E8%8B%B1%E9%9B%84%202002";
    QTest::newRow("trim markers") << "a  {{- .Config.sort -}}  b"
                                  << "aseedersb";
    QTest::newRow("comment") << "x{{/* why */}}y"
                             << "xy";
}

void TestTemplate::render()
{
    QFETCH(QString, text);
    QFETCH(QString, rendered);
    TemplateValues values;
    values.text = {{"Keywords", "英雄 2002"},
                   {"Config.sort", "seeders"},
                   {"Config.freeleech", ""}, // an unticked checkbox
                   {"Today.Year", "2026"}};
    values.lists = {{"Categories", {"1", "5"}}};
    const Template t(text.toStdString());
    QVERIFY2(t.ok(), t.error().c_str());
    QCOMPARE(QString::fromStdString(t.Render(values)), rendered);
}

void TestTemplate::refused_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("unknown function") << "{{ printf \"%s\" .Keywords }}";
    QTest::newRow("if without end") << "{{ if .Keywords }}x";
    QTest::newRow("end without if") << "x{{ end }}";
    QTest::newRow("unclosed action") << "{{ .Keywords";
    QTest::newRow("unclosed string") << "{{ eq .Keywords \"x }}";
    QTest::newRow("a pattern that cannot be read") << "{{ re_replace .Keywords \"(x\" \"y\" }}";
}

void TestTemplate::refused()
{
    QFETCH(QString, text);
    const Template t(text.toStdString());
    QVERIFY(!t.ok());
}

void TestTemplate::nestedTooDeeply_data()
{
    // Each is read, rendered and freed by recursion: refused, not a stack overflow.
    QTest::addColumn<QString>("text");
    QTest::newRow("200,000 nested parentheses")
        << "{{ " + QString(200000, u'(') + ".Keywords" + QString(200000, u')') + " }}";
    QTest::newRow("40,000 nested ifs") << QStringLiteral("{{if .Keywords}}").repeated(40000) + "x" +
                                              QStringLiteral("{{end}}").repeated(40000);
    QTest::newRow("40,000 else ifs")
        << "{{if .A}}a" + QStringLiteral("{{else if .B}}b").repeated(40000) + "{{end}}";
}

void TestTemplate::nestedTooDeeply()
{
    QFETCH(QString, text);
    const Template t(text.toStdString());
    QCOMPARE(QString::fromStdString(t.error()), QStringLiteral("nested too deeply"));
    QVERIFY(Template(QStringLiteral("{{if .A}}")
                         .repeated(20)
                         .append(u'x')
                         .append(QStringLiteral("{{end}}").repeated(20))
                         .toStdString())
                .ok()); // as deep as definitions go, and more
}

QTEST_GUILESS_MAIN(TestTemplate)
#include "tst_template.moc"
