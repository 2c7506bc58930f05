#include "TestCertificate.h"
#include "TestHttpServer.h"
#include "relay/RelayConfigFile.h"
#include "relay/catalogue/DefinitionArchive.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

Q_DECLARE_METATYPE(ArchiveFault)

namespace {

/** One entry of a tar archive made here, hostile or not. */
struct TarEntry {
    TarEntry(QByteArray n, char t = '0', QByteArray d = {}, QByteArray l = {}, long long s = -1)
        : name(std::move(n)), type(t), data(std::move(d)), link(std::move(l)), size(s)
    {
    }
    QByteArray name;
    char type;
    QByteArray data;
    QByteArray link;
    long long size; // what the header says; -1: the data's own
};

QByteArray Octal(long long n, int width)
{
    return QByteArray::number(n, 8).rightJustified(width - 1, '0') + '\0';
}

QByteArray Header(const TarEntry& e)
{
    QByteArray h(512, '\0');
    const auto put = [&h](int at, const QByteArray& field) { h.replace(at, field.size(), field); };
    put(0, e.name.left(100));
    put(100, Octal(e.type == '5' ? 0755 : 0644, 8));
    put(108, Octal(0, 8));
    put(116, Octal(0, 8));
    put(124, Octal(e.size >= 0 ? e.size : e.data.size(), 12));
    put(136, Octal(1700000000, 12));
    put(148, QByteArray(8, ' '));
    h[156] = e.type;
    put(157, e.link.left(100));
    put(257, QByteArray("ustar\0"
                        "00",
                        8));
    long sum = 0;
    for (const char c : h)
        sum += uchar(c);
    put(148, Octal(sum, 7) + ' ');
    return h;
}

QByteArray Tar(const QList<TarEntry>& entries)
{
    QByteArray tar;
    for (const TarEntry& e : entries) {
        tar += Header(e) + e.data;
        tar += QByteArray((512 - e.data.size() % 512) % 512, '\0');
    }
    return tar + QByteArray(1024, '\0');
}

QByteArray Gzip(const QByteArray& data)
{
    z_stream z{};
    deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&z, uLong(data.size()))), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(qsizetype(z.total_out));
    deflateEnd(&z);
    return out;
}

/** A pax header entry naming the next entry's path. */
TarEntry PaxPath(const QByteArray& path)
{
    QByteArray record = " path=" + path + "\n";
    int length = int(record.size()) + 2;
    if (QByteArray::number(length).size() + record.size() != length) ++length;
    return {"PaxHeaders/x", 'x', QByteArray::number(length) + record, {}, -1};
}

/** A public search engine the relay serves. */
QByteArray PublicYml(const QString& base)
{
    return "id: engine\nname: Engine\nlanguage: en-US\ntype: public\n"
           "links:\n  - " +
           base.toUtf8() +
           "/\n"
           "settings:\n  - name: sort\n    type: text\n    default: added\n"
           "  - name: apikey\n    type: text\n"
           "search:\n  paths:\n    - path: search\n"
           "  inputs:\n    q: \"{{ .Keywords }}\"\n    o: \"{{ .Config.sort }}\"\n"
           "    k: \"{{ .Config.apikey }}\"\n"
           "  rows:\n    selector: div.result\n"
           "  fields:\n    title:\n      selector: a.name\n"
           "    download:\n      selector: a.name\n      attribute: href\n";
}

/** A tracker that logs in with a cookie: its search page lists rows only to that cookie. */
QByteArray TrackerYml(const QString& base)
{
    return "id: tracker\nname: Tracker\nlanguage: zh-CN\ntype: private\n"
           "links:\n  - " +
           base.toUtf8() +
           "/\n"
           "login:\n  method: cookie\n"
           "search:\n  paths:\n    - path: search\n"
           "  inputs:\n    q: \"{{ .Keywords }}\"\n"
           "  rows:\n    selector: div.result\n"
           "  fields:\n    title:\n      selector: a.name\n"
           "    download:\n      selector: a.name\n      attribute: href\n";
}

/** A definition the relay cannot serve: it logs in by a method the format does not know. */
const QByteArray kFormLoginYml = "id: formsite\ntype: private\nlanguage: fr-FR\n"
                                 "links:\n  - http://example.invalid/\n"
                                 "login:\n  method: oauth\n"
                                 "search:\n  paths:\n    - path: s\n"
                                 "  rows:\n    selector: div\n"
                                 "  fields:\n    title:\n      selector: a\n"
                                 "    download:\n      selector: a\n      attribute: href\n";

/** The community's repository as GitHub archives it: a top folder, older definition versions,
 *  other files. */
QList<TarEntry> ProwlarrLike(const QString& base)
{
    const QByteArray top = "Indexers-master/";
    return {{"pax_global_header", 'g', "52 comment=0123456789abcdef0123456789abcdef01234567\n"},
            {top, '5'},
            {top + "README.md", '0', "# definitions\n"},
            {top + "definitions/", '5'},
            {top + "definitions/v10/", '5'},
            {top + "definitions/v10/old.yml", '0', PublicYml(base)},
            {top + "definitions/v11/", '5'},
            {top + "definitions/v11/engine.yml", '0', PublicYml(base)},
            {top + "definitions/v11/tracker.yml", '0', TrackerYml(base)},
            {top + "definitions/v11/formsite.yml", '0', kFormLoginYml},
            {top + "definitions/v11/schema.json", '0', "{}"}};
}

struct Run {
    int status = -1;
    QString out, err;
};

/** The relay run with args, input its stdin (closed at once when empty). */
Run Relay(const QStringList& args, const QByteArray& input = {})
{
    QProcess p;
    p.start(QString::fromUtf8(RELAY_BIN), args);
    if (!input.isEmpty()) p.write(input);
    p.closeWriteChannel();
    Run run;
    if (!p.waitForFinished(60000)) return run;
    run.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.out = QString::fromUtf8(p.readAllStandardOutput());
    run.err = QString::fromUtf8(p.readAllStandardError());
    return run;
}

/** A relay installed in a folder of its own: relay.conf with a gateway over definitions/, its
 *  state in state/. */
class Install {
public:
    explicit Install(const QByteArray& extra = {})
    {
        QDir(dir.path()).mkpath(QStringLiteral("definitions"));
        Write(QStringLiteral("relay.conf"), "[gateway]\nbase = http://127.0.0.1:9\n"
                                            "secret_file = gateway.secret\n"
                                            "definitions = definitions\nstate_dir = state\n" +
                                                extra);
    }
    QString Path(const QString& name) const { return dir.filePath(name); }
    QString Conf() const { return Path(QStringLiteral("relay.conf")); }
    void Write(const QString& name, const QByteArray& text) const
    {
        QDir(dir.path()).mkpath(QFileInfo(Path(name)).path());
        QFile file(Path(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    QStringList Files(const QString& folder) const
    {
        return QDir(Path(folder)).entryList(QDir::Files, QDir::Name);
    }
    Run Do(QStringList args, const QByteArray& input = {}) const
    {
        return Relay(QStringList{"--config", Conf()} + args, input);
    }
    /** The catalogue filled from an archive of ProwlarrLike(base). */
    void Catalogue(const QString& base, const QStringList& extra = {}) const
    {
        const QString archive = Path(QStringLiteral("p.tar.gz"));
        QFile file(archive);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(Gzip(Tar(ProwlarrLike(base))));
        file.close();
        const Run run = Do(QStringList{"--update-catalogue", archive} + extra);
        QVERIFY2(run.status == 0, qPrintable(run.err));
    }

    QTemporaryDir dir;
};

QString Loaded(const QString& conf, RelayConfig& config)
{
    return QString::fromStdString(LoadRelayConfigFile(conf.toStdString(), {}, config));
}

const SiteProfile* Site(const RelayConfig& config, const std::string& name)
{
    for (const SiteProfile& site : config.sites)
        if (site.name == name) return &site;
    return nullptr;
}

} // namespace

/** The community's catalogue: archives read and refused, the catalogue fetched and listed, sites
 *  added and removed from it, and relay.conf.d read after the configuration. */
class TestCatalogue : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void archive_data();
    void archive();
    void archiveMadeByTar();
    void updateOverHttp_data();
    void updateOverHttp();
    void catalogueLists();
    void addAndRemoveSite();
    void cookieGoesToCredentials_data();
    void cookieGoesToCredentials();
    void secretsInTheStateFolder_data();
    void secretsInTheStateFolder();
    void addSiteRefused_data();
    void addSiteRefused();
    void addSiteBesideListedSites();
    void removeSiteKeepsAConfigurationThatStarts();
    void confDirInOrder();
    void confDirErrors_data();
    void confDirErrors();
    void commandsNeedConfig_data();
    void commandsNeedConfig();
};

void TestCatalogue::archive_data()
{
    QTest::addColumn<QByteArray>("gzipped");
    QTest::addColumn<ArchiveFault>("fault");
    QTest::addColumn<QStringList>("files"); // the definitions read, when not refused
    const QString base = QStringLiteral("http://127.0.0.1:9");
    const QByteArray v11 = "Indexers-master/definitions/v11/";
    const QByteArray yml = PublicYml(base);
    QTest::newRow("Prowlarr's layout") << Gzip(Tar(ProwlarrLike(base))) << ArchiveFault::None
                                       << QStringList{"engine", "formsite", "tracker"};
    QTest::newRow("Jackett's layout")
        << Gzip(Tar({{"Jackett-master/src/Jackett.Common/Definitions/a.yml", '0', yml},
                     {"Jackett-master/src/Jackett.Common/Definitions/sub/b.yml", '0', yml},
                     {"Jackett-master/src/Jackett.Common/Foo.cs", '0', "class Foo {}"}}))
        << ArchiveFault::None << QStringList{"a"};
    QTest::newRow("no top folder") << Gzip(Tar({{"definitions/v11/a.yml", '0', yml}}))
                                   << ArchiveFault::None << QStringList{"a"};
    QTest::newRow("long name through pax")
        << Gzip(Tar({PaxPath(v11 + QByteArray(120, 'n') + ".yml"), {"short", '0', yml}}))
        << ArchiveFault::None << QStringList{QString(120, u'n')};
    QTest::newRow("absolute name")
        << Gzip(Tar({{"/etc/cron.d/x", '0', "x"}})) << ArchiveFault::AbsoluteName << QStringList{};
    QTest::newRow("parent folder") << Gzip(Tar({{v11 + "../../../../x.yml", '0', yml}}))
                                   << ArchiveFault::ParentName << QStringList{};
    QTest::newRow("parent folder through pax")
        << Gzip(Tar({PaxPath("../x.yml"), {v11 + "a.yml", '0', yml}})) << ArchiveFault::ParentName
        << QStringList{};
    QTest::newRow("symbolic link")
        << Gzip(Tar({{v11 + "a.yml", '0', yml}, {v11 + "b.yml", '2', {}, "/etc/shadow"}}))
        << ArchiveFault::Link << QStringList{};
    QTest::newRow("hard link") << Gzip(Tar({{v11 + "a.yml", '0', yml},
                                            {v11 + "b.yml", '1', {}, "/etc/shadow"}}))
                               << ArchiveFault::Link << QStringList{};
    QTest::newRow("character device")
        << Gzip(Tar({{v11 + "a.yml", '3'}})) << ArchiveFault::Special << QStringList{};
    QTest::newRow("FIFO") << Gzip(Tar({{"Indexers-master/fifo", '6'}})) << ArchiveFault::Special
                          << QStringList{};
    QList<TarEntry> many;
    for (int i = 0; i <= kMaxArchiveFiles; ++i)
        many.append({"Indexers-master/f" + QByteArray::number(i), '0', "x"});
    QTest::newRow("5,001 files") << Gzip(Tar(many)) << ArchiveFault::TooManyFiles << QStringList{};
    QTest::newRow("51 MB in a file") << Gzip(Tar({{v11 + "a.yml", '0', QByteArray(51 << 20, ' ')}}))
                                     << ArchiveFault::TooLarge << QStringList{};
    QTest::newRow("51 MB over many files") << Gzip(Tar({{"big1", '0', QByteArray(30 << 20, ' ')},
                                                        {"big2", '0', QByteArray(21 << 20, ' ')}}))
                                           << ArchiveFault::TooLarge << QStringList{};
    QTest::newRow("a size beyond the archive")
        << Gzip(Tar({{v11 + "a.yml", '0', yml, {}, 1LL << 30}})) << ArchiveFault::Malformed
        << QStringList{};
    QByteArray damaged = Tar({{v11 + "a.yml", '0', yml}});
    damaged[10] = 'X'; // the header's checksum no longer holds
    QTest::newRow("damaged header") << Gzip(damaged) << ArchiveFault::Malformed << QStringList{};
    QTest::newRow("not gzip") << Tar({{v11 + "a.yml", '0', yml}}) << ArchiveFault::NotGzip
                              << QStringList{};
    const QByteArray whole = Gzip(Tar(ProwlarrLike(base)));
    QTest::newRow("cut short") << whole.left(whole.size() / 2) << ArchiveFault::NotGzip
                               << QStringList{};
    QTest::newRow("no definitions folder")
        << Gzip(Tar({{"Indexers-master/definitions/v10/a.yml", '0', yml}}))
        << ArchiveFault::NoDefinitions << QStringList{};
}

void TestCatalogue::archive()
{
    QFETCH(QByteArray, gzipped);
    QFETCH(ArchiveFault, fault);
    QFETCH(QStringList, files);
    const DefinitionArchive read = ReadDefinitionArchive(gzipped);
    QCOMPARE(read.fault, fault);
    QStringList names;
    for (const auto& [name, bytes] : read.files)
        names << QString::fromStdString(name);
    names.sort();
    QCOMPARE(names, files);
    if (fault != ArchiveFault::None) QVERIFY(!read.why.empty());
}

void TestCatalogue::archiveMadeByTar()
{
    // The bytes GNU tar writes: long names, directories, and a link that refuses the archive.
    QTemporaryDir dir;
    const QString v11 = dir.filePath(QStringLiteral("Indexers-x/definitions/v11"));
    QVERIFY(QDir().mkpath(v11));
    const QString longName = QString(150, u'l');
    for (const QString& name : {QStringLiteral("engine"), longName}) {
        QFile file(v11 + u'/' + name + QStringLiteral(".yml"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(PublicYml(QStringLiteral("http://127.0.0.1:9")));
    }
    const auto pack = [&dir](const QString& format) {
        QProcess tar;
        tar.setWorkingDirectory(dir.path());
        tar.start(QStringLiteral("tar"), {QStringLiteral("--format=") + format,
                                          QStringLiteral("-czf"), "-", "Indexers-x"});
        tar.waitForFinished(30000);
        return ReadDefinitionArchive(tar.readAllStandardOutput());
    };
    for (const QString& format : {QStringLiteral("gnu"), QStringLiteral("pax")}) {
        const DefinitionArchive read = pack(format);
        QCOMPARE(read.fault, ArchiveFault::None);
        QCOMPARE(read.files.size(), size_t(2));
    }
    QVERIFY(QFile::link(QStringLiteral("/etc/passwd"), v11 + QStringLiteral("/passwd.yml")));
    QCOMPARE(pack(QStringLiteral("pax")).fault, ArchiveFault::Link);
}

void TestCatalogue::updateOverHttp_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("says"); // empty: the update succeeds
    QTest::newRow("redirected, as GitHub does") << false << "/archive/master.tar.gz" << QString();
    QTest::newRow("a certificate nobody vouches for") << true << "/archive/master.tar.gz"
                                                      << "certificate";
    QTest::newRow("not there") << false << "/gone.tar.gz"
                               << "404";
    QTest::newRow("redirected to a file") << false << "/to-file"
                                          << "not followed";
    QTest::newRow("a page, not an archive") << false << "/page"
                                            << "not a .tar.gz";
    QTest::newRow("a hostile archive") << false << "/evil.tar.gz"
                                       << "is a link";
}

void TestCatalogue::updateOverHttp()
{
    QFETCH(bool, tls);
    QFETCH(QString, path);
    QFETCH(QString, says);
    Install install;
    // What the catalogue held before: kept unless the update succeeds.
    install.Write(QStringLiteral("state/catalogue/old.yml"), PublicYml("http://127.0.0.1:9"));
    const QByteArray archive = Gzip(Tar(ProwlarrLike(QStringLiteral("http://127.0.0.1:9"))));
    const QByteArray evil =
        Gzip(Tar({{"Indexers-master/definitions/v11/evil.yml", '2', {}, "/etc/passwd"}}));
    const TestCertificate certificate;
    TestHttpServer server(tls ? certificate.key : std::string(),
                          tls ? certificate.cert : std::string());
    server.serve([&](const ServiceRequest& req, ServiceResponse& res) {
        const std::map<std::string, std::string> redirects = {
            {"/archive/master.tar.gz", "/codeload/master"}, {"/to-file", "file:///etc/passwd"}};
        if (const auto it = redirects.find(req.target); it != redirects.end()) {
            res.status = 302;
            res.headers["Location"] = it->second;
        } else if (req.target == "/codeload/master" || req.target == "/evil.tar.gz") {
            res.body = (req.target == "/evil.tar.gz" ? evil : archive).toStdString();
            res.contentType = "application/x-gzip";
        } else if (req.target == "/page") {
            res.body = "<html>archive moved</html>";
        } else {
            res.status = 404;
        }
    });
    const Run run = install.Do({"--update-catalogue", server.url() + path});
    const QStringList before = {"old.yml"};
    if (says.isEmpty()) {
        QVERIFY2(run.status == 0, qPrintable(run.err));
        QVERIFY2(run.out.contains(QStringLiteral("3 definitions")), qPrintable(run.out));
        QVERIFY2(run.out.contains(QStringLiteral("serve 2")), qPrintable(run.out));
        QCOMPARE(install.Files(QStringLiteral("state/catalogue")),
                 QStringList({"engine.yml", "formsite.yml", "tracker.yml"}));
    } else {
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.contains(says, Qt::CaseInsensitive), qPrintable(run.err));
        QCOMPARE(install.Files(QStringLiteral("state/catalogue")), before);
    }
    // No half-made or old folder is left beside it.
    QCOMPARE(
        QDir(install.Path(QStringLiteral("state"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
        QStringList{"catalogue"});
}

void TestCatalogue::catalogueLists()
{
    Install install;
    Run run = install.Do({"--catalogue"});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(QStringLiteral("--update-catalogue")), qPrintable(run.err));
    install.Catalogue(QStringLiteral("http://127.0.0.1:9"));
    run = install.Do({"--catalogue"});
    QCOMPARE(run.status, 0);
    const QStringList lines = run.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0].simplified(), QStringLiteral("engine public en-US ok"));
    QVERIFY2(lines[1].simplified().startsWith(QStringLiteral("formsite private fr-FR 7: ")),
             qPrintable(lines[1]));
    QVERIFY(lines[1].contains(QStringLiteral("login method oauth")));
    QCOMPARE(lines[2].simplified(), QStringLiteral("tracker private zh-CN ok"));
    run = install.Do({"--catalogue", "RACK"});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out.simplified(), QStringLiteral("tracker private zh-CN ok"));
}

void TestCatalogue::addAndRemoveSite()
{
    Install install;
    TestHttpServer site;
    site.serve([](const ServiceRequest& req, ServiceResponse& res) {
        // Rows only when the settings given at --add-site reach the site.
        res.body = req.target.find("o=seeders") != std::string::npos &&
                           req.target.find("k=K123") != std::string::npos
                       ? "<div class=result><a class=name href=/1.torrent>Hero 2002</a></div>"
                       : "<p>nothing</p>";
        res.contentType = "text/html";
    });
    install.Catalogue(site.url());
    Run run = install.Do({"--add-site", "engine", "sort=seeders", "apikey=K123"});
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QVERIFY(run.out.contains(QStringLiteral("systemctl reload reelmate-relay")));
    QCOMPARE(install.Files(QStringLiteral("definitions")), QStringList{"engine.yml"});
    QFile conf(install.Path(QStringLiteral("relay.conf.d/engine.conf")));
    QVERIFY(conf.open(QIODevice::ReadOnly));
    const QByteArray text = conf.readAll();
    QVERIFY(text.contains("config.sort = seeders"));
    QVERIFY(!text.contains("K123")); // a key is a secret: in the owner's file only
    QFile credentials(install.Path(QStringLiteral("state/credentials/engine.conf")));
    QVERIFY(credentials.open(QIODevice::ReadOnly));
    QVERIFY(credentials.readAll().contains("\napikey = K123\n"));
    run = install.Do({"--check", "engine", "hero"});
    QVERIFY2(run.status == 0 && run.out.contains(QStringLiteral("Hero 2002")), qPrintable(run.err));

    run = install.Do({"--remove-site", "engine"});
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QVERIFY(run.out.contains(QStringLiteral("systemctl reload reelmate-relay")));
    QVERIFY(install.Files(QStringLiteral("definitions")).isEmpty());
    QVERIFY(install.Files(QStringLiteral("relay.conf.d")).isEmpty());
    QVERIFY(install.Files(QStringLiteral("state/credentials")).isEmpty());
    run = install.Do({"--remove-site", "engine"});
    QCOMPARE(run.status, 1);
}

void TestCatalogue::cookieGoesToCredentials_data()
{
    QTest::addColumn<bool>("fromStdin"); // "cookie=-": read from stdin, kept out of argv
    QTest::newRow("on the command line") << false;
    QTest::newRow("from stdin") << true;
}

void TestCatalogue::cookieGoesToCredentials()
{
    QFETCH(bool, fromStdin);
    Install install;
    const std::string cookie = "uid=7; pass=s3cret";
    TestHttpServer site;
    site.serve([cookie](const ServiceRequest& req, ServiceResponse& res) {
        const auto it = req.headers.find("cookie");
        res.body = it != req.headers.end() && it->second == cookie
                       ? "<div class=result><a class=name href=/1.torrent>Hero 2002</a></div>"
                       : "<p>log in</p>";
        res.contentType = "text/html";
    });
    install.Catalogue(site.url());
    Run run;
    if (fromStdin) {
        run = install.Do({"--add-site", "tracker", "cookie=-"}); // stdin closed: nothing read
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.contains(QStringLiteral("no value for cookie")), qPrintable(run.err));
        QVERIFY(!QFile::exists(install.Path(QStringLiteral("relay.conf.d/tracker.conf"))));
        run = install.Do({"--add-site", "tracker", "cookie=-"},
                         QByteArray::fromStdString(cookie) + "\n");
    } else {
        run = install.Do({"--add-site", "tracker", "cookie=" + QString::fromStdString(cookie)});
    }
    QVERIFY2(run.status == 0, qPrintable(run.err));
    // The cookie is in a file for its owner alone, never in the world-readable one.
    QFile conf(install.Path(QStringLiteral("relay.conf.d/tracker.conf")));
    QVERIFY(conf.open(QIODevice::ReadOnly));
    const QByteArray text = conf.readAll();
    QVERIFY(!text.contains("s3cret"));
    QVERIFY(text.contains("credentials_file = "));
    const QString credentials = install.Path(QStringLiteral("state/credentials/tracker.conf"));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(credentials).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
    RelayConfig config;
    QCOMPARE(Loaded(install.Conf(), config), QString());
    QVERIFY(Site(config, "tracker"));
    QCOMPARE(Site(config, "tracker")->cookie, cookie);
    run = install.Do({"--check", "tracker", "hero"});
    QVERIFY2(run.status == 0 && run.out.contains(QStringLiteral("Hero 2002")), qPrintable(run.err));

    // Readable by others, the file is refused with the line that names it.
    QVERIFY(QFile::setPermissions(credentials, QFile::ReadOwner | QFile::ReadOther));
    const QString why = Loaded(install.Conf(), config);
    QVERIFY2(why.startsWith(install.Path(QStringLiteral("relay.conf.d/tracker.conf:4: "))),
             qPrintable(why));
    QVERIFY(why.contains(QStringLiteral("chmod 600")));
}

void TestCatalogue::secretsInTheStateFolder_data()
{
    QTest::addColumn<QString>("link");      // the state_dir as a link to the folder, or ""
    QTest::addColumn<QStringList>("extra"); // given to every command
    QTest::addColumn<QString>("folder");    // where the state goes
    QTest::addColumn<uint>("owner");        // the state folder's owner, when not the runner
    QTest::newRow("state_dir a folder") << QString() << QStringList() << "state" << 0u;
    // A DynamicUser= unit's /var/lib/NAME is a link systemd makes to private/NAME.
    QTest::newRow("state_dir a link, as systemd makes")
        << "private/state" << QStringList() << "private/state" << 0u;
    QTest::newRow("--state-dir over the file's")
        << QString() << QStringList{"--state-dir", "@/instance"} << "instance" << 0u;
    // Root adds a site to a service whose user (DynamicUser=) owns the state folder.
    QTest::newRow("root, the folder a service's")
        << QString() << QStringList() << "state" << 61234u;
}

void TestCatalogue::secretsInTheStateFolder()
{
    QFETCH(QString, link);
    QFETCH(QStringList, extra);
    QFETCH(QString, folder);
    QFETCH(uint, owner);
    if (owner && ::geteuid() != 0) QSKIP("needs root");
    Install install;
    if (owner) {
        QVERIFY(QDir(install.dir.path()).mkpath(folder));
        QCOMPARE(::chown(QFile::encodeName(install.Path(folder)).constData(), owner, owner), 0);
    }
    extra.replaceInStrings(QStringLiteral("@"), install.dir.path());
    if (!link.isEmpty()) {
        QVERIFY(QDir(install.dir.path()).mkpath(link));
        QVERIFY(QFile::link(install.Path(link), install.Path(QStringLiteral("state"))));
    }
    TestHttpServer site;
    site.serve([](const ServiceRequest& req, ServiceResponse& res) {
        const auto it = req.headers.find("cookie");
        res.body = it != req.headers.end() && it->second == "uid=7; pass=s3cret"
                       ? "<div class=result><a class=name href=/1.torrent>Hero 2002</a></div>"
                       : "<p>log in</p>";
        res.contentType = "text/html";
    });
    install.Catalogue(site.url(), extra);
    Run run = install.Do(QStringList{"--add-site", "tracker", "cookie=uid=7; pass=s3cret"} + extra);
    QVERIFY2(run.status == 0, qPrintable(run.err));
    const QString credentials = install.Path(folder + "/credentials/tracker.conf");
    struct stat st {};
    QCOMPARE(::lstat(QFile::encodeName(credentials).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));
    QCOMPARE(st.st_uid, owner ? owner : ::geteuid()); // the service reads it
    QCOMPARE(::lstat(QFile::encodeName(install.Path(folder + "/credentials")).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0700));
    QCOMPARE(st.st_uid, owner ? owner : ::geteuid());
    // The secret is nowhere but there: not beside the configuration, not in relay.conf.d.
    QDirIterator files(install.dir.path(), QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        if (QFileInfo(path).canonicalFilePath() == QFileInfo(credentials).canonicalFilePath() ||
            path.endsWith(QStringLiteral(".yml")) || path.endsWith(QStringLiteral(".tar.gz")))
            continue;
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(!file.readAll().contains("s3cret"), qPrintable(path));
    }
    run = install.Do(QStringList{"--check", "tracker", "hero"} + extra);
    QVERIFY2(run.status == 0 && run.out.contains(QStringLiteral("Hero 2002")), qPrintable(run.err));
    run = install.Do(QStringList{"--remove-site", "tracker"} + extra);
    QVERIFY2(run.status == 0, qPrintable(run.err));
    QVERIFY(!QFileInfo::exists(credentials));
    QVERIFY(install.Files(QStringLiteral("relay.conf.d")).isEmpty());
}

void TestCatalogue::addSiteRefused_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    QTest::newRow("cookie site without its cookie: undone")
        << QStringList{"--add-site", "tracker"} << 1 << "logs in with a cookie";
    QTest::newRow("unservable") << QStringList{"--add-site", "formsite"} << 1
                                << "login method oauth";
    QTest::newRow("not in the catalogue")
        << QStringList{"--add-site", "nosuch"} << 1 << "no nosuch in the catalogue";
    QTest::newRow("unknown setting") << QStringList{"--add-site", "engine", "colour=red"} << 2
                                     << "has no setting colour (it has cookie, apikey, sort)";
    QTest::newRow("not KEY=VALUE")
        << QStringList{"--add-site", "engine", "sort"} << 2 << "KEY=VALUE";
    QTest::newRow("a name with a slash")
        << QStringList{"--add-site", "../engine"} << 2 << "no site can be named";
}

void TestCatalogue::addSiteRefused()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, says);
    Install install;
    install.Catalogue(QStringLiteral("http://127.0.0.1:9"));
    const Run run = install.Do(args);
    QCOMPARE(run.status, status);
    QVERIFY2(run.err.contains(says), qPrintable(run.err));
    // Nothing of it stays behind.
    QVERIFY(install.Files(QStringLiteral("definitions")).isEmpty());
    QVERIFY(install.Files(QStringLiteral("relay.conf.d")).isEmpty());
    QVERIFY(install.Files(QStringLiteral("state/credentials")).isEmpty());
    RelayConfig config;
    QCOMPARE(Loaded(install.Conf(), config), QString());
}

void TestCatalogue::addSiteBesideListedSites()
{
    // The main file serves a list of sites; one added joins them.
    Install install("sites = engine\n");
    install.Write(QStringLiteral("definitions/engine.yml"), PublicYml("http://127.0.0.1:9"));
    install.Catalogue(QStringLiteral("http://127.0.0.1:9"));
    const Run run = install.Do({"--add-site", "tracker", "cookie=uid=1"});
    QVERIFY2(run.status == 0, qPrintable(run.err));
    RelayConfig config;
    QCOMPARE(Loaded(install.Conf(), config), QString());
    QVERIFY(Site(config, "engine"));
    QVERIFY(Site(config, "tracker"));
    QCOMPARE(Site(config, "tracker")->cookie, std::string("uid=1"));
}

void TestCatalogue::removeSiteKeepsAConfigurationThatStarts()
{
    // The main file names the site itself: taking its definition out would stop the relay.
    Install install("sites = engine\n");
    install.Write(QStringLiteral("definitions/engine.yml"), PublicYml("http://127.0.0.1:9"));
    const Run run = install.Do({"--remove-site", "engine"});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(QStringLiteral("nothing changed")), qPrintable(run.err));
    QCOMPARE(install.Files(QStringLiteral("definitions")), QStringList{"engine.yml"});
    RelayConfig config;
    QCOMPARE(Loaded(install.Conf(), config), QString());
}

void TestCatalogue::confDirInOrder()
{
    Install install("[relay]\nmax_rows = 3\n");
    install.Write(QStringLiteral("relay.conf.d/20-later.conf"), "[relay]\nmax_rows = 7\n");
    install.Write(QStringLiteral("relay.conf.d/10-first.conf"),
                  "[relay]\nmax_rows = 5\ncache_entries = 9\n");
    install.Write(QStringLiteral("relay.conf.d/30-ignored.conf.dpkg-old"), "bad line\n");
    RelayConfig config;
    QCOMPARE(Loaded(install.Conf(), config), QString());
    QCOMPARE(config.maxRows, 7LL);
    QCOMPARE(config.cacheEntries, size_t(9));
    // Without a relay.conf.d, the main file alone.
    QVERIFY(QDir(install.Path(QStringLiteral("relay.conf.d"))).removeRecursively());
    QCOMPARE(Loaded(install.Conf(), config), QString());
    QCOMPARE(config.maxRows, 3LL);
}

void TestCatalogue::confDirErrors_data()
{
    QTest::addColumn<QByteArray>("first");  // relay.conf.d/a.conf
    QTest::addColumn<QByteArray>("second"); // relay.conf.d/b.conf
    QTest::addColumn<QString>("error");     // FILE as a name of the folder, then :LINE: reason
    QTest::newRow("unknown key in the second")
        << QByteArray("[relay]\nmax_rows = 5\n") << QByteArray("# note\n[relay]\ncolour = red\n")
        << "b.conf:3: unknown relay key colour";
    QTest::newRow("a file starts outside any section")
        << QByteArray("[relay]\n") << QByteArray("max_rows = 5\n")
        << "b.conf:1: key outside a section";
    QTest::newRow("a site named in two files")
        << QByteArray("\n[site engine]\n") << QByteArray("[site engine]\n")
        << "b.conf:1: site engine is named twice (relay.conf.d/a.conf:2)";
    QTest::newRow("out of bounds")
        << QByteArray("[relay]\nmax_rows = 0\n") << QByteArray()
        << "a.conf:2: max_rows must be a whole number from 1 to 10000000";
    QTest::newRow("a setting the definition lacks, found on loading")
        << QByteArray("[site engine]\n\nconfig.colour = red\n") << QByteArray()
        << "a.conf:3: site engine: ";
    QTest::newRow("an XPath profile's check")
        << QByteArray()
        << QByteArray("[site x]\nbase = http://127.0.0.1:9\nsearch_rows = //li\n"
                      "search_title = .\nsearch_path = @href\nfilm_rows = //li\n"
                      "film_name = .\nfilm_link = @href\ncharset = klingon\n")
        << "b.conf:9: site x: unknown charset klingon";
}

void TestCatalogue::confDirErrors()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QString, error);
    Install install;
    install.Write(QStringLiteral("definitions/engine.yml"), PublicYml("http://127.0.0.1:9"));
    install.Write(QStringLiteral("relay.conf.d/a.conf"), first);
    install.Write(QStringLiteral("relay.conf.d/b.conf"), second);
    RelayConfig config;
    const QString why = Loaded(install.Conf(), config);
    const QString expected = install.Path(QStringLiteral("relay.conf.d/")) + error;
    QVERIFY2(why.startsWith(expected.left(expected.indexOf(QStringLiteral("(relay.conf.d")))),
             qPrintable(why));
    if (error.contains(QStringLiteral("(relay.conf.d")))
        QVERIFY2(why.contains(install.Path(QStringLiteral("relay.conf.d/a.conf:2"))),
                 qPrintable(why));
    // The relay refuses to start with the same words.
    const Run run = Relay({"--config", install.Conf(), "--listen", "127.0.0.1:1"});
    QCOMPARE(run.status, 2);
    QCOMPARE(run.err.trimmed(), why);
}

void TestCatalogue::commandsNeedConfig_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("says");
    QTest::newRow("catalogue") << QStringList{"--catalogue"} << "needs --config FILE";
    QTest::newRow("update") << QStringList{"--update-catalogue"} << "needs --config FILE";
    QTest::newRow("add") << QStringList{"--add-site", "engine"} << "needs --config FILE";
    QTest::newRow("remove") << QStringList{"--remove-site", "engine"} << "needs --config FILE";
    QTest::newRow("two at once") << QStringList{"--config", "x", "--catalogue", "--remove-site",
                                                "a"}
                                 << "goes alone";
    QTest::newRow("two words") << QStringList{"--config", "x", "--catalogue", "a", "b"}
                               << "takes one argument";
}

void TestCatalogue::commandsNeedConfig()
{
    QFETCH(QStringList, args);
    QFETCH(QString, says);
    const Run run = Relay(args);
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(says), qPrintable(run.err));
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
