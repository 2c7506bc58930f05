#include "relay/gateway/SessionStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <future>

#include <sys/stat.h>
#include <unistd.h>

/** A site's session in the state folder, shared by the relays that share the folder. */
class TestSessionStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void keepsTheSessionForItsOwner()
    {
        QTemporaryDir state;
        SessionStore store(state.path().toStdString(), "my tracker");
        QVERIFY(store.ok());
        QCOMPARE(store.Version(), 0ULL);
        QVERIFY(store.Save("t.example", "sid=1; uid=7"));
        const unsigned long long first = store.Version();
        QVERIFY(first != 0);
        // Another relay on the same folder sees it, and sees it change.
        SessionStore other(state.path().toStdString(), "my tracker");
        QCOMPARE(other.Load().cookies, std::string("sid=1; uid=7"));
        QCOMPARE(other.Load().host, std::string("t.example"));
        QVERIFY(other.Save("t.example", "sid=2"));
        QVERIFY(store.Version() != first);
        QCOMPARE(store.Load().cookies, std::string("sid=2"));
        struct stat st {};
        const QString file = state.filePath(QStringLiteral("sessions/my_tracker.session"));
        QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0600));
        // Written whole under another name: nothing else is left in the folder.
        QCOMPARE(QDir(state.filePath(QStringLiteral("sessions")))
                     .entryList(QDir::Files | QDir::Hidden)
                     .size(),
                 1);
        QVERIFY(!store.Save("t.example", "a=1\nhost evil"));
        store.Forget();
        QCOMPARE(other.Version(), 0ULL);
        QVERIFY(other.Load().cookies.empty());
    }

    void neverFollowsALink()
    {
        QTemporaryDir state;
        QVERIFY(QDir(state.path()).mkdir(QStringLiteral("sessions")));
        QFile outside(state.filePath(QStringLiteral("outside")));
        QVERIFY(outside.open(QIODevice::WriteOnly));
        outside.write("reelmate-session 1\nhost h\ncookie stolen=1\n");
        outside.close();
        QCOMPARE(::symlink(QFile::encodeName(outside.fileName()).constData(),
                           QFile::encodeName(state.filePath(QStringLiteral("sessions/t.session")))
                               .constData()),
                 0);
        SessionStore store(state.path().toStdString(), "t");
        QVERIFY(store.Load().cookies.empty());
        QVERIFY(store.Save("h", "sid=9")); // replaces the link, never writes through it
        QVERIFY(outside.open(QIODevice::ReadOnly));
        QVERIFY(outside.readAll().contains("stolen"));
    }

    void remembersARefusal()
    {
        QTemporaryDir state;
        SessionStore store(state.path().toStdString(), "t");
        std::chrono::system_clock::time_point when;
        std::string reason;
        QVERIFY(!store.LastRefusal(when, reason));
        const auto at = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
        store.RecordRefusal(at, "Wrong password\nfor alice");
        SessionStore other(state.path().toStdString(), "t");
        QVERIFY(other.LastRefusal(when, reason));
        QVERIFY(when == at);
        QCOMPARE(reason, std::string("Wrong password for alice"));
        other.ClearRefusal();
        QVERIFY(!store.LastRefusal(when, reason));
    }

    void rootWritesForTheFolderOwner()
    {
        if (::geteuid() != 0) QSKIP("only root can give a file to another user");
        QTemporaryDir state;
        const uid_t service = 65534; // as systemd's DynamicUser= owns the unit's state folder
        QCOMPARE(::chown(QFile::encodeName(state.path()).constData(), service, service), 0);
        SessionStore store(state.path().toStdString(), "t");
        QVERIFY(store.Save("h", "sid=1"));
        struct stat st {};
        QCOMPARE(
            ::stat(
                QFile::encodeName(state.filePath(QStringLiteral("sessions/t.session"))).constData(),
                &st),
            0);
        QCOMPARE(st.st_uid, service);
        QCOMPARE(
            ::stat(QFile::encodeName(state.filePath(QStringLiteral("sessions"))).constData(), &st),
            0);
        QCOMPARE(st.st_uid, service);
    }

    void oneLoginAtATime()
    {
        QTemporaryDir state;
        SessionStore one(state.path().toStdString(), "t");
        SessionStore two(state.path().toStdString(), "t");
        const auto soon = [] {
            return std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        };
        std::optional<SessionStore::Lock> held(one.Exclusive(soon()));
        QVERIFY(bool(*held));
        QVERIFY(!two.Exclusive(soon())); // not before the deadline while the other holds it
        auto waiting = std::async(std::launch::async, [&] {
            return bool(two.Exclusive(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
        });
        held.reset();
        QVERIFY(waiting.get());
    }
};

QTEST_GUILESS_MAIN(TestSessionStore)
#include "tst_sessionstore.moc"
