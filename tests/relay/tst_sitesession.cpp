#include "platform/core/HttpCookieJar.h"
#include "relay/definitions/CompiledDefinition.h"
#include "relay/definitions/LoginBlock.h"
#include "relay/gateway/SiteSession.h"

#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <future>
#include <thread>

namespace {

using Kind = LoginOutcome::Kind;
using namespace std::chrono_literals;

/** A site that logs in by post, its state in a folder of the test's. */
struct Fixture {
    explicit Fixture(const QString& state)
    {
        auto login = std::make_shared<LoginBlock>();
        login->method = "post";
        login->path = "takelogin.php";
        login->cookies = {"lang=en"};
        auto definition = std::make_shared<CompiledDefinition>();
        definition->loginMethod = "post";
        definition->login = login;
        site.name = "t";
        SetSiteBase(site, "http://t.example/");
        site.definition = definition;
        site.passwordLogin = true;
        gateway.magnet.stateDir = state.toStdString();
        gateway.loginRetry = 900s;
    }
    SiteProfile site;
    GatewayConfig gateway;
};

SiteSession::Deadline Soon()
{
    return std::chrono::steady_clock::now() + 10s;
}

} // namespace

/** A password login's session: one login at a time, a hold-off after a refusal, none after a
 *  fault, a session made elsewhere taken as it is. */
class TestSiteSession : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void refusalHoldsOffUntilTheRetry()
    {
        QTemporaryDir state;
        Fixture f(state.path());
        HttpCookieJar jar;
        std::atomic_int logins{0};
        std::vector<Kind> reported;
        auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
        SiteSession session(
            f.site, f.gateway, jar,
            [&](SiteSession::Deadline) {
                ++logins;
                return LoginOutcome{Kind::Refused, "the site says: Wrong password", 1};
            },
            [&](const LoginOutcome& o) { reported.push_back(o.kind); }, [&] { return now; });
        unsigned long long generation = 0;
        for (int i = 0; i < 20; ++i) {
            const RelayFailure failed = session.Ready(Soon(), generation);
            QVERIFY(failed);
            QVERIFY(!failed.siteDown);
            QVERIFY2(failed.reason.find("Wrong password") != std::string::npos,
                     failed.reason.c_str());
        }
        QCOMPARE(logins.load(), 1);
        QVERIFY(reported.size() == 20 && reported.back() == Kind::Refused);
        now += 899s;
        QVERIFY(session.Ready(Soon(), generation));
        QCOMPARE(logins.load(), 1);
        now += 2s; // the hold-off is over
        QVERIFY(session.Ready(Soon(), generation));
        QCOMPARE(logins.load(), 2);
    }

    void faultIsTriedAgain()
    {
        QTemporaryDir state;
        Fixture f(state.path());
        HttpCookieJar jar;
        std::atomic_int logins{0};
        std::atomic_bool down{true};
        SiteSession session(
            f.site, f.gateway, jar,
            [&](SiteSession::Deadline) {
                ++logins;
                if (down) return LoginOutcome{Kind::SiteFault, "the site answered 503", 1};
                jar.Store("t.example", false, "sid=1");
                return LoginOutcome{};
            },
            [](const LoginOutcome&) {});
        unsigned long long generation = 0;
        const RelayFailure failed = session.Ready(Soon(), generation);
        QVERIFY(failed.siteDown);
        down = false;
        QVERIFY(!session.Ready(Soon(), generation));
        QCOMPARE(logins.load(), 2);
        // The preset cookie went before the login, the site's came with it.
        QCOMPARE(jar.HeaderFor("t.example", false), std::string("lang=en; sid=1"));
        QVERIFY(!session.Ready(Soon(), generation)); // the session is there: no login
        QCOMPARE(logins.load(), 2);
    }

    void oneLoginForManyRequests()
    {
        QTemporaryDir state;
        Fixture f(state.path());
        HttpCookieJar jar;
        std::atomic_int logins{0};
        SiteSession session(
            f.site, f.gateway, jar,
            [&](SiteSession::Deadline) {
                ++logins;
                std::this_thread::sleep_for(50ms); // the site takes its time to log in
                jar.Store("t.example", false, "sid=" + std::to_string(logins.load()));
                return LoginOutcome{};
            },
            [](const LoginOutcome&) {});
        unsigned long long first = 0;
        QVERIFY(!session.Ready(Soon(), first));
        // Eight requests meet the expired session at once: one logs in, the others take it.
        std::vector<std::future<bool>> renewals;
        for (int i = 0; i < 8; ++i)
            renewals.push_back(std::async(std::launch::async, [&session, first] {
                unsigned long long generation = first;
                return !session.Renew(Soon(), generation) && generation != first;
            }));
        for (auto& renewed : renewals)
            QVERIFY(renewed.get());
        QCOMPARE(logins.load(), 2);
    }

    void takesASessionMadeElsewhere()
    {
        QTemporaryDir state;
        Fixture f(state.path());
        HttpCookieJar jar, otherJar;
        std::atomic_int logins{0};
        std::vector<Kind> reported;
        const auto needsPerson = [&](SiteSession::Deadline) {
            ++logins;
            return LoginOutcome{Kind::NeedsPerson, "the login page asks for a captcha", 1};
        };
        SiteSession service(f.site, f.gateway, jar, needsPerson,
                            [&](const LoginOutcome& o) { reported.push_back(o.kind); });
        unsigned long long generation = 0;
        const RelayFailure failed = service.Ready(Soon(), generation);
        QVERIFY(failed.reason.find("--login t") != std::string::npos);
        QCOMPARE(reported.back(), Kind::NeedsPerson);
        // A person logs in (--login): the service takes the session at its next request.
        SiteSession person(f.site, f.gateway, otherJar, needsPerson, [](const LoginOutcome&) {});
        otherJar.Store("t.example", false, "sid=by-hand");
        person.Keep();
        QVERIFY(!service.Ready(Soon(), generation));
        QCOMPARE(jar.HeaderFor("t.example", false), std::string("sid=by-hand"));
        QCOMPARE(reported.back(), Kind::LoggedIn);
        QCOMPARE(logins.load(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSiteSession)
#include "tst_sitesession.moc"
