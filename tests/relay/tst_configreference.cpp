#include "relay/ConfigKeys.h"
#include "relay/RelayConfig.h"

#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

namespace {

/** The heading of each section in docs/configuration.md. */
const QMap<QString, QString> kHeadings = {
    {QStringLiteral("relay"), QStringLiteral("`[relay]`")},
    {QStringLiteral("site"), QStringLiteral("`[site NAME]`")},
    {QStringLiteral("gateway"), QStringLiteral("`[gateway]`")}};

/** The reference's row for the key, as the table says it. */
QString Row(const ConfigKey& key)
{
    const QString value = *key.defaultValue
                              ? QStringLiteral("`%1`").arg(QString::fromUtf8(key.defaultValue))
                              : QStringLiteral("none");
    return QStringLiteral("| `%1` | %2 | %3 | %4 |")
        .arg(QString::fromUtf8(key.name), value, QString::fromStdString(key.Accepts()),
             QString::fromUtf8(key.meaning));
}

/** The table lines under each section's heading ("### `[relay]`"), by section. */
QMap<QString, QStringList> ReferenceRows()
{
    QFile file(QStringLiteral(REELMATE_SOURCE_DIR "/docs/configuration.md"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QMap<QString, QStringList> rows;
    QString section;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        if (line.startsWith(QStringLiteral("#"))) {
            section.clear();
            for (auto it = kHeadings.begin(); it != kHeadings.end(); ++it)
                if (line == QStringLiteral("### ") + it.value()) section = it.key();
        } else if (!section.isEmpty() && line.startsWith(QStringLiteral("| `"))) {
            rows[section] << line;
        }
    }
    return rows;
}

/** A configuration with each section's required keys, then extra in the section tested. */
RelayConfig Parsed(const QString& section, const QString& extra, std::string& error)
{
    const QString site = QStringLiteral(
        "[site s]\nbase = http://127.0.0.1:9\nsearch_rows = //li\nfilm_rows = //tr\n");
    QString text;
    if (section == QStringLiteral("gateway"))
        text = QStringLiteral("[gateway]\nbase = http://127.0.0.1:9\nsecret_file = s\n"
                              "definitions = d\n") +
               extra;
    else if (section == QStringLiteral("site"))
        text = site + extra;
    else
        text = QStringLiteral("[relay]\n") + extra + site;
    RelayConfig config;
    ParseRelayConfig(text.toStdString(), config, error);
    // Where keys stood is no setting.
    config.gateway.lines.clear();
    for (SiteProfile& s : config.sites)
        s.lines.clear();
    return config;
}

} // namespace

/** docs/configuration.md against the relay's table of keys: every key the relay accepts has its
 *  row there, as the table says it, and its default is the one the code starts from. */
class TestConfigReference : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void everyKeyHasItsRow_data();
    void everyKeyHasItsRow();
    void noRowForAKeyTheRelayRefuses();
    void defaultIsTheCodes_data();
    void defaultIsTheCodes();
    void keysOutsideTheTableAreRefused_data();
    void keysOutsideTheTableAreRefused();
};

void TestConfigReference::everyKeyHasItsRow_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("row");
    for (const ConfigKey& key : ConfigKeys())
        QTest::newRow((std::string(key.section) + " " + key.name).c_str())
            << QString::fromUtf8(key.section) << Row(key);
}

void TestConfigReference::everyKeyHasItsRow()
{
    QFETCH(QString, section);
    QFETCH(QString, row);
    const QStringList rows = ReferenceRows().value(section);
    QVERIFY2(rows.contains(row),
             qPrintable(QStringLiteral("docs/configuration.md, under ### %1, lacks the row\n%2")
                            .arg(kHeadings.value(section), row)));
}

void TestConfigReference::noRowForAKeyTheRelayRefuses()
{
    const QMap<QString, QStringList> rows = ReferenceRows();
    QVERIFY(!rows.isEmpty());
    const QRegularExpression name(QStringLiteral("^\\| `([^`]+)` \\|"));
    for (auto it = rows.begin(); it != rows.end(); ++it)
        for (const QString& row : it.value()) {
            const QString key = name.match(row).captured(1);
            QVERIFY2(FindConfigKey(it.key().toStdString(), key.toStdString()),
                     qPrintable(it.key() + QStringLiteral(": ") + row));
        }
}

void TestConfigReference::defaultIsTheCodes_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("line");
    for (const ConfigKey& key : ConfigKeys())
        if (*key.defaultValue)
            QTest::newRow((std::string(key.section) + " " + key.name).c_str())
                << QString::fromUtf8(key.section)
                << QStringLiteral("%1 = %2\n")
                       .arg(QString::fromUtf8(key.name), QString::fromUtf8(key.defaultValue));
}

void TestConfigReference::defaultIsTheCodes()
{
    QFETCH(QString, section);
    QFETCH(QString, line);
    std::string error;
    const RelayConfig without = Parsed(section, {}, error);
    QVERIFY2(error.empty(), error.c_str());
    const RelayConfig with = Parsed(section, line, error);
    QVERIFY2(error.empty(), error.c_str());
    QVERIFY2(with == without, qPrintable(line + QStringLiteral(" sets something else")));
}

void TestConfigReference::keysOutsideTheTableAreRefused_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("says");
    QTest::newRow("relay") << "relay"
                           << "colour = blue\n"
                           << "2: unknown relay key colour";
    QTest::newRow("site") << "site"
                          << "colour = blue\n"
                          << "5: unknown site key colour";
    QTest::newRow("gateway") << "gateway"
                             << "bt_state_dir = /x\n"
                             << "5: unknown gateway key bt_state_dir";
    QTest::newRow("a setting without its name") << "site"
                                                << "config. = 1\n"
                                                << "5: unknown site key config.";
    QTest::newRow("out of the table's bounds")
        << "site"
        << "search_pages = 21\n"
        << "5: search_pages must be a whole number from 1 to 20";
}

void TestConfigReference::keysOutsideTheTableAreRefused()
{
    QFETCH(QString, section);
    QFETCH(QString, line);
    QFETCH(QString, says);
    std::string error;
    Parsed(section, line, error);
    QCOMPARE(QString::fromStdString(error), says);
}

QTEST_MAIN(TestConfigReference)
#include "tst_configreference.moc"
