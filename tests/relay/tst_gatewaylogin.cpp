#include "TestHttpServer.h"
#include "platform/core/HttpCall.h"
#include "relay/Relay.h"
#include "relay/definitions/CompiledDefinition.h"
#include "relay/gateway/SiteLogin.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <set>

#include <sys/stat.h>

namespace {

const char kGatewayBase[] = "http://127.0.0.1:9";
const QByteArray kTorrent = "d8:announce14:http://t.test/4:infod6:lengthi1e4:name5:a.mkvee";
const std::string kPassword = "hunter2-correct";
const std::string kApiKey = "k3y-0123456789abcdef";
const std::string kCaptchaAnswer = "7K3Q";
/** A captcha as such sites serve it: a small PNG. */
const QByteArray kCaptchaImage = QByteArray::fromHex(
    "89504e470d0a1a0a0000000d4948445200000001000000010806000000"
    "1f15c4890000000d49444154789c63f8ffff3f0005fe02fea7d6a4fb0000000049454e44ae426082");

enum class Style { Post, Form, Api, Captcha };

/** The definition each fake tracker is read through. */
QByteArray DefinitionFor(Style style)
{
    const QByteArray rows = "  paths:\n    - path: browse.php\n"
                            "  inputs:\n    search: \"{{ .Keywords }}\"\n"
                            "  rows:\n    selector: table.list tr.row\n"
                            "  fields:\n"
                            "    title:\n      selector: a.title\n"
                            "    download:\n      selector: a.dl\n      attribute: href\n";
    const QByteArray head = "id: tracker\nlinks:\n  - http://example.invalid/\n"
                            "settings:\n"
                            "  - {name: username, type: text, label: Username}\n"
                            "  - {name: password, type: password, label: Password}\n";
    switch (style) {
    case Style::Post:
        return head +
               "login:\n  path: takelogin.php\n  method: post\n"
               "  inputs:\n    username: \"{{ .Config.username }}\"\n"
               "    password: \"{{ .Config.password }}\"\n"
               "  error:\n    - selector: td.error\n"
               "  test:\n    path: index.php\n    selector: a[href*=\"logout.php\"]\n"
               "search:\n" +
               rows;
    case Style::Form:
        return head +
               "login:\n  path: login.php\n  method: form\n  form: form#login\n"
               "  submitpath: takelogin.php\n"
               "  inputs:\n    user: \"{{ .Config.username }}\"\n"
               "    pass: \"{{ .Config.password }}\"\n"
               "  selectorinputs:\n    token:\n      selector: script\n"
               "      filters:\n        - name: regexp\n          args: \"csrf = '([0-9a-f]+)'\"\n"
               "  getselectorinputs:\n    lang:\n      selector: meta[name=lang]\n"
               "      attribute: content\n"
               "  error:\n    - selector: div.alert\n      message:\n        selector: div.alert "
               "span\n"
               "  test:\n    path: index.php\n    selector: a.logout\n"
               "search:\n" +
               rows;
    case Style::Api:
        return "id: tracker\nlinks:\n  - http://example.invalid/\n"
               "settings:\n  - {name: apikey, type: text, label: API key}\n"
               "login:\n  path: api/check\n  method: get\n"
               "  error:\n    - selector: ':root:contains(\"Unauthorized\")'\n"
               "  test:\n    path: api/user\n"
               "search:\n"
               "  headers:\n    Authorization: [\"Bearer {{ .Config.apikey }}\"]\n"
               "  paths:\n    - path: api/torrents\n      response:\n        type: json\n"
               "  inputs:\n    q: \"{{ .Keywords }}\"\n"
               "  rows:\n    selector: data\n"
               "  fields:\n"
               "    title:\n      selector: name\n"
               "    download:\n      selector: files[0].url\n";
    case Style::Captcha: // and a second factor, a one-time code
        return head + "  - {name: 2facode, type: text, label: 2FA code}\n" +
               "login:\n  path: login.php\n  method: form\n  form: form\n"
               "  selectors: true\n" // the inputs are named by selectors
               "  inputs:\n    \"input.user\": \"{{ .Config.username }}\"\n"
               "    \"input.pass\": \"{{ .Config.password }}\"\n"
               "    \"#otp\": \"{{ .Config.2facode }}\"\n"
               "  captcha:\n    type: image\n    selector: img#captcha\n"
               "    input: \"input.code\"\n"
               "  error:\n    - selector: td.error\n"
               "  test:\n    path: index.php\n    selector: a[href*=\"logout.php\"]\n"
               "search:\n" +
               rows;
    }
    return {};
}

std::string CookieOf(const ServiceRequest& q, const std::string& name)
{
    const auto it = q.headers.find("cookie");
    if (it == q.headers.end()) return {};
    for (const QString& part : QString::fromStdString(it->second).split(u';')) {
        const QString pair = part.trimmed();
        if (pair.startsWith(QString::fromStdString(name) + u'='))
            return pair.mid(int(name.size()) + 1).toStdString();
    }
    return {};
}

QUrlQuery FormOf(const ServiceRequest& q)
{
    QString body = QString::fromStdString(q.body);
    body.replace(u'+', u' ');
    return QUrlQuery(body);
}

std::string PathOf(const ServiceRequest& q)
{
    return q.target.substr(0, q.target.find('?'));
}

/** A private tracker on a free loopback port, in one of the login styles the definitions use.
 *  It counts the logins it is sent (the requests that carry the credentials) and can expire
 *  every session it gave. */
class FakeTracker {
public:
    explicit FakeTracker(Style style) : style_(style)
    {
        server.serve([this](const ServiceRequest& q, ServiceResponse& r) { Answer(q, r); });
    }
    void expire()
    {
        const std::lock_guard lock(mutex_);
        sessions_.clear();
        revoked_ = true;
    }
    std::atomic_int logins{0};
    std::atomic_int searches{0};
    std::atomic_bool broken{false}; // its login answers 503
    TestHttpServer server;

private:
    bool LoggedIn(const ServiceRequest& q)
    {
        const std::lock_guard lock(mutex_);
        if (style_ == Style::Api) {
            const auto it = q.headers.find("authorization");
            return !revoked_ && it != q.headers.end() && it->second == "Bearer " + kApiKey;
        }
        return sessions_.count(CookieOf(q, "sid")) > 0;
    }
    void Grant(ServiceResponse& r)
    {
        const std::lock_guard lock(mutex_);
        const std::string sid = "s" + std::to_string(++next_);
        sessions_.insert(sid);
        r.status = 302;
        r.headers["Location"] = "/index.php";
        r.headers["Set-Cookie"] = "sid=" + sid + "; path=/; HttpOnly";
    }
    void Html(ServiceResponse& r, const std::string& body)
    {
        r.contentType = "text/html; charset=utf-8";
        r.body = "<html><body>" + body + "</body></html>";
    }
    void Rows(ServiceResponse& r)
    {
        ++searches;
        const std::string torrent = server.url().toStdString() + "/dl/1.torrent";
        if (style_ == Style::Api) {
            r.contentType = "application/json";
            r.body =
                "{\"data\":[{\"name\":\"Hero 2002\",\"files\":[{\"url\":\"" + torrent + "\"}]}]}";
            return;
        }
        Html(r, "<a class=logout href=\"logout.php\">Log out</a><table class=list>"
                "<tr class=row><td><a class=title href=d/1>Hero 2002</a>"
                "<a class=dl href=\"" +
                    torrent + "\">get</a></td></tr></table>");
    }
    void Answer(const ServiceRequest& q, ServiceResponse& r)
    {
        const std::string path = PathOf(q);
        if (style_ == Style::Api) return Api(q, r, path);
        if (path == "/login.php") return LoginPage(r);
        if (path == "/captcha.php") {
            r.contentType = "image/png";
            r.body = CookieOf(q, "cap") == "1" ? kCaptchaImage.toStdString() : std::string();
            return;
        }
        if (path == "/takelogin.php" && q.method == "POST") return TakeLogin(q, r);
        if (path == "/simpleCaptcha.php" && style_ == Style::Form) {
            r.contentType = "application/json";
            r.body = "{\"images\":[{\"hash\":\"f00d\"},{\"hash\":\"beef\"}]}";
            return;
        }
        if (!LoggedIn(q)) {
            if (style_ == Style::Form) // this one shows its login form in place of the page
                return LoginPage(r);
            r.status = 302;
            r.headers["Location"] = "/login.php?returnto=" + q.target;
            return;
        }
        if (path == "/index.php")
            return Html(r, "<a class=logout href=\"logout.php\">Log out</a> Welcome alice");
        if (path == "/browse.php") return Rows(r);
        if (path == "/dl/1.torrent") {
            r.contentType = "application/x-bittorrent";
            r.body = kTorrent.toStdString();
            return;
        }
        r.status = 404;
    }
    void LoginPage(ServiceResponse& r)
    {
        if (style_ == Style::Form) {
            r.headers["Set-Cookie"] = "pre=1; path=/";
            return Html(r, "<form id=login action=\"/elsewhere.php\" method=post>"
                           "<input type=hidden name=returnto value=\"/browse.php\">"
                           "<input type=checkbox name=remember value=1>"
                           "<input name=user><input type=password name=pass></form>"
                           "<script>var csrf = 'c0ffee42';</script>"
                           "<meta name=lang content=en>"
                           "<script src=\"/js/simpleCaptcha.js\"></script>");
        }
        if (style_ == Style::Captcha) {
            r.headers["Set-Cookie"] = "cap=1; path=/";
            return Html(r, "<form action=\"takelogin.php\" method=post>"
                           "<input class=user name=username>"
                           "<input class=pass type=password name=password>"
                           "<input id=otp name=otp>"
                           "<img id=captcha src=\"captcha.php\">"
                           "<input class=code name=imagestring></form>");
        }
        Html(r, "<form action=takelogin.php method=post>Log in</form>");
    }
    void TakeLogin(const ServiceRequest& q, ServiceResponse& r)
    {
        ++logins;
        if (broken) {
            r.status = 503;
            return Html(r, "Too many connections");
        }
        const QUrlQuery form = FormOf(q);
        if (style_ == Style::Form) {
            if (form.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded) != u"c0ffee42" ||
                form.queryItemValue(QStringLiteral("returnto"), QUrl::FullyDecoded) !=
                    u"/browse.php" ||
                form.hasQueryItem(QStringLiteral("remember")) || CookieOf(q, "pre") != "1" ||
                q.target != "/takelogin.php?lang=en" ||
                form.queryItemValue(QStringLiteral("captchaSelection"), QUrl::FullyDecoded) !=
                    u"f00d" ||
                form.queryItemValue(QStringLiteral("submitme"), QUrl::FullyDecoded) != u"X" ||
                !q.headers.count("referer") ||
                q.headers.at("referer").find("/login.php") == std::string::npos)
                return Html(r,
                            "<div class=alert><b>Error</b><span>Invalid form token</span></div>");
            if (form.queryItemValue(QStringLiteral("user"), QUrl::FullyDecoded) != u"alice" ||
                form.queryItemValue(QStringLiteral("pass"), QUrl::FullyDecoded).toStdString() !=
                    kPassword)
                return Html(r, "<div class=alert><b>Error</b><span>Wrong password for "
                               "alice</span></div>");
            return Grant(r);
        }
        if (style_ == Style::Captcha &&
            form.queryItemValue(QStringLiteral("imagestring"), QUrl::FullyDecoded).toStdString() !=
                kCaptchaAnswer)
            return Html(r, "<table><tr><td class=error>The security code was wrong</td></tr>"
                           "</table>");
        if (style_ == Style::Captcha &&
            form.queryItemValue(QStringLiteral("otp"), QUrl::FullyDecoded) != u"246810")
            return Html(r, "<table><tr><td class=error>Two-factor code expired</td></tr>"
                           "</table>");
        if (form.queryItemValue(QStringLiteral("username"), QUrl::FullyDecoded) != u"alice" ||
            form.queryItemValue(QStringLiteral("password"), QUrl::FullyDecoded).toStdString() !=
                kPassword)
            return Html(r, "<table><tr><td class=error>Username or password incorrect</td></tr>"
                           "</table>");
        Grant(r);
    }
    void Api(const ServiceRequest& q, ServiceResponse& r, const std::string& path)
    {
        r.contentType = "application/json";
        if (path == "/api/check") {
            ++logins;
            const auto it = q.headers.find("authorization");
            if (it == q.headers.end() || it->second != "Bearer " + kApiKey) {
                r.status = 403;
                r.body = "{\"error\":\"Unauthorized: this API key is not valid\"}";
                return;
            }
            const std::lock_guard lock(mutex_);
            revoked_ = false;
            r.body = "{\"ok\":true}";
            return;
        }
        if (!LoggedIn(q)) {
            r.status = 401;
            r.body = "{\"error\":\"Unauthenticated\"}";
            return;
        }
        if (path == "/api/user") {
            r.body = "{\"user\":\"alice\"}";
            return;
        }
        if (path == "/api/torrents") return Rows(r);
        if (path == "/dl/1.torrent") {
            r.contentType = "application/x-bittorrent";
            r.body = kTorrent.toStdString();
            return;
        }
        r.status = 404;
    }

    const Style style_;
    std::mutex mutex_;
    std::set<std::string> sessions_;
    int next_ = 0;
    bool revoked_ = false;
};

QString FromGb(const QByteArray& bytes)
{
    QStringDecoder decode("GB18030");
    return decode.decode(bytes);
}

struct Answer {
    long status = 0;
    QByteArray body;
};

/** A relay serving the tracker, its credentials in a credentials_file, its sessions in
 *  stateDir (shared by the relays of one test). */
class LoginRelay {
public:
    LoginRelay(Style style, const FakeTracker& tracker, const QString& stateDir,
               const std::string& secret)
    {
        Write(QStringLiteral("tracker.yml"), DefinitionFor(style), 0644);
        const std::string credentials = style == Style::Api ? "apikey = " + secret + "\n"
                                                            : "# the tracker's account\n"
                                                              "username = alice\npassword = " +
                                                                  secret + "\n";
        Write(QStringLiteral("credentials"), QByteArray::fromStdString(credentials), 0600);
        configFile = dir.filePath(QStringLiteral("relay.conf"));
        Write(QStringLiteral("relay.conf"),
              QStringLiteral(
                  "[relay]\nfail_after = 5\n[gateway]\nbase = %1\nsecret_file = secret\ndht = off\n"
                  "bt_listen = 127.0.0.1:0\nstate_dir = %2\n"
                  "[site tracker]\ndefinition = tracker.yml\nbase = %3\n"
                  "credentials_file = credentials\n")
                  .arg(QLatin1String(kGatewayBase), stateDir, tracker.server.url())
                  .toUtf8(),
              0644);
    }
    void Write(const QString& name, const QByteArray& content, mode_t mode)
    {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::WriteOnly)) file.write(content);
        file.close();
        ::chmod(QFile::encodeName(file.fileName()).constData(), mode);
    }
    bool start()
    {
        QFile file(configFile);
        if (!file.open(QIODevice::ReadOnly)) return false;
        std::string why;
        if (!ParseRelayConfig(file.readAll().toStdString(), config, why) ||
            !(why = LoadGateway(config, dir.path().toStdString(), configFile.toStdString()))
                 .empty()) {
            error = QString::fromStdString(why);
            return false;
        }
        relay = std::make_unique<Relay>(config, [this](const std::string& line) {
            const std::lock_guard lock(logMutex);
            log += line + "\n";
        });
        service.start({});
        return true;
    }
    /** SIGHUP's work: the same files read again and swapped in. */
    bool reload()
    {
        QFile file(configFile);
        if (!file.open(QIODevice::ReadOnly)) return false;
        RelayConfig again;
        std::string why;
        if (!ParseRelayConfig(file.readAll().toStdString(), again, why) ||
            !LoadGateway(again, dir.path().toStdString(), configFile.toStdString()).empty())
            return false;
        return relay->Reload(std::move(again)).empty();
    }
    Answer get(const QString& target) const
    {
        HttpCall call;
        call.url = QStringLiteral("http://127.0.0.1:%1%2").arg(service.port()).arg(target);
        const HttpOutcome out = PerformHttp(call);
        return {out.status, out.body};
    }
    Answer search(const QString& query) const
    {
        return get(QStringLiteral("/moviejk/Find.php?url=%1/s.php?q=%2")
                       .arg(QLatin1String(kGatewayBase), query));
    }
    /** The first hit's film page, then its download: what the program does. */
    Answer searchAndDownload(const QString& query) const
    {
        const QStringList hits = FromGb(search(query).body).split(u'|');
        if (hits.size() < 2) return {};
        const QStringList torrent = FromGb(get(QStringLiteral("/moviejk/Down.php?url=%1%2")
                                                   .arg(QLatin1String(kGatewayBase), hits[1]))
                                               .body)
                                        .split(u'|');
        if (torrent.size() < 2) return {};
        HttpCall call;
        call.method = "POST";
        call.url = QStringLiteral("http://127.0.0.1:%1/download.php").arg(service.port());
        call.body = torrent[1].section(u'?', 1).toUtf8();
        const HttpOutcome out = PerformHttp(call);
        return {out.status, out.body};
    }
    QString health() const { return QString::fromUtf8(get(QStringLiteral("/healthz")).body); }
    std::string logged()
    {
        const std::lock_guard lock(logMutex);
        return log;
    }

    QTemporaryDir dir;
    QString configFile;
    RelayConfig config;
    QString error;
    std::mutex logMutex;
    std::string log;
    std::unique_ptr<Relay> relay;
    HttpService service{
        [this](const ServiceRequest& q, ServiceResponse& r) { relay->Handle(q, r); }};
};

/** reelmate-relay --login tracker, answering its captcha prompt with answer; its exit code,
 *  and stderr in err. The captcha file it names must hold the tracker's image. */
int TerminalLogin(const QString& configFile, const std::string& answer, QString& err,
                  QByteArray* captcha = nullptr, const std::string& code = "246810")
{
    QProcess login;
    login.start(QStringLiteral(RELAY_BIN), {QStringLiteral("--config"), configFile,
                                            QStringLiteral("--login"), QStringLiteral("tracker")});
    if (!login.waitForStarted()) return -1;
    QByteArray said;
    QElapsedTimer waited;
    waited.start();
    bool codeGiven = false;
    while (!said.contains("What does it say?") && login.state() == QProcess::Running &&
           waited.elapsed() < 20000) {
        login.waitForReadyRead(200);
        said += login.readAllStandardError();
        if (!codeGiven && said.contains("2facode (a one-time code")) {
            login.write(QByteArray::fromStdString(code) + "\n");
            codeGiven = true;
        }
    }
    const int at = said.indexOf("The captcha is in ");
    if (captcha && at >= 0) {
        const QByteArray path = said.mid(at + 18).split('\n').front();
        QFile file(QString::fromUtf8(path));
        if (file.open(QIODevice::ReadOnly)) *captcha = file.readAll();
    }
    login.write(QByteArray::fromStdString(answer) + "\n");
    login.closeWriteChannel();
    if (!login.waitForFinished(20000)) return -1;
    err = QString::fromUtf8(said + login.readAllStandardError());
    return login.exitStatus() == QProcess::NormalExit ? login.exitCode() : -1;
}

/** The tracker's session logged in the way it has to be: the captcha one by a person. */
bool LogInFirst(Style style, LoginRelay& relay)
{
    if (style != Style::Captcha) return true;
    QString err;
    return TerminalLogin(relay.configFile, kCaptchaAnswer, err) == 0;
}

const char* StyleName(Style style)
{
    switch (style) {
    case Style::Post:
        return "post";
    case Style::Form:
        return "form";
    case Style::Api:
        return "api";
    case Style::Captcha:
        return "captcha";
    }
    return "";
}

} // namespace

Q_DECLARE_METATYPE(Style)

class TestGatewayLogin : public QObject {
    Q_OBJECT

private:
    void styles()
    {
        QTest::addColumn<Style>("style");
        for (Style s : {Style::Post, Style::Form, Style::Api, Style::Captcha})
            QTest::newRow(StyleName(s)) << s;
    }
    static std::string Secret(Style style) { return style == Style::Api ? kApiKey : kPassword; }

private Q_SLOTS:
    void looksLoggedOut_data()
    {
        QTest::addColumn<long>("status");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("location");
        QTest::addColumn<bool>("loggedOut");
        const QString page = QStringLiteral("http://t.example/browse.php");
        QTest::newRow("rows") << 200L << page << QString() << false;
        QTest::newRow("401") << 401L << page << QString() << true;
        QTest::newRow("403") << 403L << page << QString() << true;
        QTest::newRow("404") << 404L << page << QString() << false;
        QTest::newRow("sent to the login page")
            << 302L << page << QStringLiteral("http://t.example/login.php?returnto=%2F") << true;
        QTest::newRow("sent to another host")
            << 302L << page << QStringLiteral("http://cdn.example/1.torrent") << false;
        QTest::newRow("a redirect followed to the login")
            << 200L << QStringLiteral("http://t.example/takelogin.php") << QString() << true;
    }
    void looksLoggedOut()
    {
        QFETCH(long, status);
        QFETCH(QString, url);
        QFETCH(QString, location);
        QFETCH(bool, loggedOut);
        Definition d;
        std::string why;
        QVERIFY2(ParseDefinition(DefinitionFor(Style::Post).toStdString(), "t.yml", d, why),
                 why.c_str());
        SiteProfile site;
        site.name = "t";
        QVERIFY(SetSiteBase(site, "http://t.example/").empty());
        auto compiled = std::make_shared<CompiledDefinition>();
        DefinitionError error;
        QVERIFY2(CompileDefinition(d, *compiled, error), error.Text().c_str());
        site.definition = compiled;
        site.passwordLogin = true;
        FetchedPage fetched;
        fetched.status = status;
        fetched.url = url.toStdString();
        fetched.location = location.toStdString();
        QCOMPARE(LooksLoggedOut(site, fetched), loggedOut);
        site.passwordLogin = false; // a public site or a cookie's: never
        QVERIFY(!LooksLoggedOut(site, fetched));
    }

    void rightCredentialsGiveRows_data() { styles(); }
    void rightCredentialsGiveRows()
    {
        QFETCH(Style, style);
        FakeTracker tracker(style);
        QTemporaryDir state;
        LoginRelay relay(style, tracker, state.path(), Secret(style));
        QVERIFY(LogInFirst(style, relay));
        QElapsedTimer first; // from the start: the relay logs in as it starts
        first.start();
        QVERIFY2(relay.start(), qPrintable(relay.error));
        const Answer found = relay.search(QStringLiteral("Hero"));
        const double firstMs = double(first.nsecsElapsed()) / 1e6;
        QCOMPARE(found.status, 200L);
        QVERIFY2(FromGb(found.body).contains(u"Hero 2002"), found.body.constData());
        QElapsedTimer second;
        second.start();
        QVERIFY(FromGb(relay.search(QStringLiteral("Second")).body).contains(u"Hero 2002"));
        qInfo("%s: start and first search %.1f ms (the login included), the next search %.1f ms",
              StyleName(style), firstMs, double(second.nsecsElapsed()) / 1e6);
        // The download goes with the session too.
        const Answer torrent = relay.searchAndDownload(QStringLiteral("Third"));
        QCOMPARE(torrent.status, 200L);
        QCOMPARE(torrent.body, kTorrent);
        QCOMPARE(tracker.logins.load(), 1);
        QTRY_VERIFY(relay.health().contains(u"\"state\":\"ok\""));
        // The session is kept for the relay's owner alone.
        struct stat st {};
        QCOMPARE(
            ::stat(QFile::encodeName(state.filePath(QStringLiteral("sessions/tracker.session")))
                       .constData(),
                   &st),
            0);
        QCOMPARE(st.st_mode & 0777, mode_t(0600));
    }

    void wrongCredentialsHoldOff_data() { styles(); }
    void wrongCredentialsHoldOff()
    {
        QFETCH(Style, style);
        FakeTracker tracker(style);
        QTemporaryDir state;
        const std::string wrong = style == Style::Api ? "k3y-revoked-000000" : "wrong-password-1";
        LoginRelay relay(style, tracker, state.path(), wrong);
        QVERIFY2(relay.start(), qPrintable(relay.error));
        std::vector<std::future<Answer>> burst;
        for (int i = 0; i < 20; ++i)
            burst.push_back(std::async(std::launch::async, [&relay, i] {
                return relay.search(QStringLiteral("Hero%1").arg(i));
            }));
        QByteArray answers;
        for (auto& answer : burst) {
            const Answer a = answer.get();
            QVERIFY(a.status != 200 || !FromGb(a.body).contains(u"Hero 2002"));
            answers += a.body;
        }
        const QString health = relay.health();
        if (style == Style::Captcha) { // only a person can log in: the command to run
            QVERIFY2(health.contains(u"\"state\":\"needs_login\""), qPrintable(health));
            QVERIFY(health.contains(u"--login tracker"));
            QCOMPARE(tracker.logins.load(), 0);
        } else {
            QVERIFY2(health.contains(u"\"state\":\"login_failed\""), qPrintable(health));
            const char* words = style == Style::Post   ? "Username or password incorrect"
                                : style == Style::Form ? "Wrong password for alice"
                                                       : "this API key is not valid";
            QVERIFY2(health.contains(QLatin1String(words)), qPrintable(health));
            QCOMPARE(tracker.logins.load(), 1);
        }
        QCOMPARE(tracker.searches.load(), 0);
        // The hold-off outlives a restart: the state folder remembers the refusal.
        LoginRelay restarted(style, tracker, state.path(), wrong);
        QVERIFY(restarted.start());
        QVERIFY(!FromGb(restarted.search(QStringLiteral("Later")).body).contains(u"Hero 2002"));
        QCOMPARE(tracker.logins.load(), style == Style::Captcha ? 0 : 1);
        // The credentials are shown nowhere.
        for (const QByteArray& shown :
             {health.toUtf8(), answers, QByteArray::fromStdString(relay.logged())})
            QVERIFY2(!shown.contains(QByteArray::fromStdString(wrong)), shown.constData());
    }

    void expiredSessionCostsOneLogin_data() { styles(); }
    void expiredSessionCostsOneLogin()
    {
        QFETCH(Style, style);
        FakeTracker tracker(style);
        QTemporaryDir state;
        LoginRelay relay(style, tracker, state.path(), Secret(style));
        QVERIFY(LogInFirst(style, relay));
        QVERIFY2(relay.start(), qPrintable(relay.error));
        QVERIFY(FromGb(relay.search(QStringLiteral("Hero")).body).contains(u"Hero 2002"));
        QCOMPARE(tracker.logins.load(), 1);
        QElapsedTimer renewed;
        renewed.start();
        QVERIFY(FromGb(relay.search(QStringLiteral("Plain")).body).contains(u"Hero 2002"));
        const double plainMs = double(renewed.nsecsElapsed()) / 1e6;
        tracker.expire();
        renewed.restart();
        // Searches at once: the first to meet the logged-out site logs in, the others wait.
        std::vector<std::future<Answer>> burst;
        for (int i = 0; i < 5; ++i)
            burst.push_back(std::async(std::launch::async, [&relay, i] {
                return relay.search(QStringLiteral("Again%1").arg(i));
            }));
        for (auto& answer : burst) {
            const Answer a = answer.get();
            if (style == Style::Captcha) { // no person there: it says what to run
                QVERIFY(!FromGb(a.body).contains(u"Hero 2002"));
                QVERIFY2(a.body.contains("--login tracker"), a.body.constData());
            } else {
                QCOMPARE(a.status, 200L);
                QVERIFY2(FromGb(a.body).contains(u"Hero 2002"), a.body.constData());
            }
        }
        qInfo("%s: a search %.1f ms; five searches that met the expired session %.1f ms",
              StyleName(style), plainMs, double(renewed.nsecsElapsed()) / 1e6);
        QCOMPARE(tracker.logins.load(), style == Style::Captcha ? 1 : 2);
    }

    void sessionOutlivesReloads_data()
    {
        QTest::addColumn<Style>("style");
        QTest::newRow("post") << Style::Post;
        QTest::newRow("api") << Style::Api;
    }
    void sessionOutlivesReloads()
    {
        // A reload keeps an unchanged site's session; once the configuration it was made with
        // is gone, the session must still log in again through the running one.
        QFETCH(Style, style);
        FakeTracker tracker(style);
        QTemporaryDir state;
        LoginRelay relay(style, tracker, state.path(), Secret(style));
        QVERIFY2(relay.start(), qPrintable(relay.error));
        QVERIFY(FromGb(relay.search(QStringLiteral("Hero")).body).contains(u"Hero 2002"));
        QVERIFY(relay.reload());
        QVERIFY(relay.reload());
        QVERIFY(FromGb(relay.search(QStringLiteral("Kept")).body).contains(u"Hero 2002"));
        QCOMPARE(tracker.logins.load(), 1); // the session went over with the site
        tracker.expire();
        const Answer again = relay.search(QStringLiteral("Expired"));
        QCOMPARE(again.status, 200L);
        QVERIFY2(FromGb(again.body).contains(u"Hero 2002"), again.body.constData());
        QCOMPARE(tracker.logins.load(), 2);
        QVERIFY2(relay.health().contains(QStringLiteral("\"state\":\"ok\"")),
                 qPrintable(relay.health()));
    }

    void restartReusesSession_data() { styles(); }
    void restartReusesSession()
    {
        QFETCH(Style, style);
        FakeTracker tracker(style);
        QTemporaryDir state;
        {
            LoginRelay relay(style, tracker, state.path(), Secret(style));
            QVERIFY(LogInFirst(style, relay));
            QVERIFY2(relay.start(), qPrintable(relay.error));
            QVERIFY(FromGb(relay.search(QStringLiteral("Hero")).body).contains(u"Hero 2002"));
        }
        LoginRelay restarted(style, tracker, state.path(), Secret(style));
        QVERIFY2(restarted.start(), qPrintable(restarted.error));
        QVERIFY(FromGb(restarted.search(QStringLiteral("Hero")).body).contains(u"Hero 2002"));
        QCOMPARE(tracker.logins.load(), 1);
    }

    void siteFaultIsNoFailedLogin()
    {
        FakeTracker tracker(Style::Post);
        tracker.broken = true;
        QTemporaryDir state;
        LoginRelay relay(Style::Post, tracker, state.path(), kPassword);
        QVERIFY2(relay.start(), qPrintable(relay.error));
        const Answer failed = relay.search(QStringLiteral("Hero"));
        QVERIFY(!FromGb(failed.body).contains(u"Hero 2002"));
        const QString health = relay.health();
        QVERIFY2(!health.contains(u"login_failed") && health.contains(u"answered 503"),
                 qPrintable(health));
        // Not held off: the next search logs in as soon as the site answers again.
        tracker.broken = false;
        const int before = tracker.logins.load();
        const Answer found = relay.search(QStringLiteral("Hero"));
        QVERIFY2(FromGb(found.body).contains(u"Hero 2002"),
                 qPrintable(FromGb(found.body) + relay.health()));
        QCOMPARE(tracker.logins.load(), before + 1);
    }

    void threeRelaysSharingStateLogInOnce()
    {
        FakeTracker tracker(Style::Post);
        QTemporaryDir state;
        std::vector<std::unique_ptr<LoginRelay>> relays;
        for (int i = 0; i < 3; ++i) {
            relays.push_back(
                std::make_unique<LoginRelay>(Style::Post, tracker, state.path(), kPassword));
            QVERIFY(relays.back()->start());
        }
        std::vector<std::future<Answer>> searches;
        for (const auto& relay : relays)
            searches.push_back(std::async(std::launch::async,
                                          [&relay] { return relay->search(QStringLiteral("x")); }));
        for (auto& answer : searches)
            QVERIFY(FromGb(answer.get().body).contains(u"Hero 2002"));
        QCOMPARE(tracker.logins.load(), 1);
    }

    void terminalLogin_data()
    {
        QTest::addColumn<std::string>("answer");
        QTest::addColumn<std::string>("password");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        QTest::addColumn<std::string>("code");
        const std::string code = "246810";
        QTest::newRow("right") << kCaptchaAnswer << kPassword << 0 << QStringLiteral("logged in")
                               << code;
        QTest::newRow("wrong answer") << std::string("XXXX") << kPassword << 1
                                      << QStringLiteral("The security code was wrong") << code;
        QTest::newRow("wrong password") << kCaptchaAnswer << std::string("not-the-password") << 1
                                        << QStringLiteral("Username or password incorrect") << code;
        QTest::newRow("an old one-time code")
            << kCaptchaAnswer << kPassword << 1 << QStringLiteral("Two-factor code expired")
            << std::string("135790");
    }
    void terminalLogin()
    {
        QFETCH(std::string, answer);
        QFETCH(std::string, password);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        QFETCH(std::string, code);
        FakeTracker tracker(Style::Captcha);
        QTemporaryDir state;
        LoginRelay relay(Style::Captcha, tracker, state.path(), password);
        QVERIFY2(relay.start(), qPrintable(relay.error));
        QTRY_VERIFY(relay.health().contains(u"\"state\":\"needs_login\""));
        QString err;
        QByteArray captcha;
        QCOMPARE(TerminalLogin(relay.configFile, answer, err, &captcha, code), exitCode);
        QVERIFY2(err.contains(said), qPrintable(err));
        QCOMPARE(captcha, kCaptchaImage);
        QVERIFY(!err.contains(QString::fromStdString(password)));
        // The running service takes the session from its next request, without a restart.
        const bool rows = FromGb(relay.search(QStringLiteral("Hero")).body).contains(u"Hero 2002");
        QCOMPARE(rows, exitCode == 0);
        if (exitCode == 0) QTRY_VERIFY(relay.health().contains(u"\"state\":\"ok\""));
    }

    void refusedConfigurations_data()
    {
        QTest::addColumn<QByteArray>("credentials");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("why");
        const QByteArray good = "username = alice\npassword = x\n";
        QTest::newRow("no password") << QByteArray("username = alice\n") << QString() << QString()
                                     << "logs in with its setting password";
        QTest::newRow("a setting the definition lacks")
            << QByteArray("username = alice\npassword = x\npasskey = y\n") << QString() << QString()
            << "has no setting passkey";
        QTest::newRow("a hold-off too short")
            << good << QStringLiteral("dht = off") << QStringLiteral("login_retry_seconds = 5")
            << "6: login_retry_seconds must be a whole number from 10";
        QTest::newRow("credentials for a profile site")
            << good << QStringLiteral("definition = tracker.yml")
            << QStringLiteral("search_rows = //tr\nfilm_rows = //a")
            << "credentials_file and config.KEY belong to sites read through a definition";
    }
    void refusedConfigurations()
    {
        QFETCH(QByteArray, credentials);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, why);
        FakeTracker tracker(Style::Post);
        QTemporaryDir state;
        LoginRelay relay(Style::Post, tracker, state.path(), kPassword);
        relay.Write(QStringLiteral("credentials"), credentials, 0600);
        QFile conf(relay.configFile);
        QVERIFY(conf.open(QIODevice::ReadOnly));
        QString text = QString::fromUtf8(conf.readAll());
        conf.close();
        if (!from.isEmpty()) text.replace(from, to);
        relay.Write(QStringLiteral("relay.conf"), text.toUtf8(), 0644);
        QVERIFY(!relay.start());
        QVERIFY2(relay.error.contains(why), qPrintable(relay.error));
        QVERIFY(!relay.error.contains(u"= x") && !relay.error.contains(u"= y"));
    }

    void credentialsFileOthersCanReadIsRefused_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("owner only") << 0600 << 1;
        QTest::newRow("group") << 0640 << 2;
        QTest::newRow("everyone") << 0604 << 2;
    }
    void credentialsFileOthersCanReadIsRefused()
    {
        QFETCH(int, mode);
        QFETCH(int, exitCode);
        FakeTracker tracker(Style::Post);
        QTemporaryDir state;
        LoginRelay relay(Style::Post, tracker, state.path(), "wrong-password-2");
        ::chmod(QFile::encodeName(relay.dir.filePath(QStringLiteral("credentials"))).constData(),
                mode_t(mode));
        QProcess check;
        check.start(QStringLiteral(RELAY_BIN),
                    {QStringLiteral("--config"), relay.configFile, QStringLiteral("--check"),
                     QStringLiteral("tracker"), QStringLiteral("Hero")});
        QVERIFY(check.waitForFinished(20000));
        const QByteArray out = check.readAllStandardOutput() + check.readAllStandardError();
        QCOMPARE(check.exitCode(), exitCode);
        QVERIFY(!out.contains("wrong-password-2"));
        if (exitCode == 2)
            QVERIFY2(out.contains("credentials") && out.contains("chmod 600"), out.constData());
        else
            QVERIFY2(out.contains("Username or password incorrect"), out.constData());
    }
};

QTEST_GUILESS_MAIN(TestGatewayLogin)
#include "tst_gatewaylogin.moc"
