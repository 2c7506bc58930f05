#include "relay/gateway/DownloadTicket.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

/** Download tickets: what the program carries back as a link's id and hash. */
class TestDownloadTicket : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void roundTrip_data();
    void roundTrip();
    void forgeries_data();
    void forgeries();
    void sealedNotJustSigned();
    void titleIsBounded_data();
    void titleIsBounded();
    void secretFile();
    void unfitSecretRefused_data();
    void unfitSecretRefused();
    void secretInSystemdCredentials();
};

void TestDownloadTicket::roundTrip_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("a torrent on another host")
        << "https://cache.example.test/t/ABC.torrent?name=a&b=c d|e";
    QTest::newRow("Chinese in the URL") << QStringLiteral("http://127.0.0.1:1/种子/英雄.torrent");
    QTest::newRow("empty") << "";
}

void TestDownloadTicket::roundTrip()
{
    QFETCH(QString, url);
    const TicketKey key(QByteArray(32, 'k'));
    // The title may hold anything a site writes, newlines included.
    const DownloadTicket ticket{"site one", url.toStdString(), true,
                                "英雄 Hero\n(2002) | 1080p = x&y"};
    const auto [id, mac] = key.Sign(ticket);
    // The program's link format: id between "&id=" and "&uhash=", hash to the end, unencoded.
    for (const std::string& part : {id, mac})
        QVERIFY2(part.find_first_of("&=| ") == std::string::npos, part.c_str());
    const auto back = key.Verify(id, mac);
    QVERIFY(back);
    QVERIFY(*back == ticket);
}

void TestDownloadTicket::forgeries_data()
{
    QTest::addColumn<int>("what");
    QTest::newRow("another key's MAC") << 0;
    QTest::newRow("one character of the MAC changed") << 1;
    QTest::newRow("one character of the id changed") << 2;
    QTest::newRow("an id of our own") << 3;
    QTest::newRow("MAC cut short") << 4;
    QTest::newRow("empty") << 5;
    QTest::newRow("id and MAC swapped") << 6;
    QTest::newRow("the last character of the id changed") << 7;
    QTest::newRow("another key's whole ticket") << 8;
}

void TestDownloadTicket::forgeries()
{
    QFETCH(int, what);
    const TicketKey key(QByteArray(32, 'k')), other(QByteArray(32, 'o'));
    auto [id, mac] = key.Sign({"s", "http://h/x.torrent", false, "x"});
    switch (what) {
    case 0:
        mac = other.Sign({"s", "http://h/x.torrent", false, "x"}).second;
        break;
    case 1:
        mac[5] = mac[5] == 'A' ? 'B' : 'A';
        break;
    case 2:
        id[3] = id[3] == 'A' ? 'B' : 'A';
        break;
    case 3:
        id = QByteArray("s\nt\nhttp://10.0.0.1/").toBase64().toStdString();
        break;
    case 4:
        mac.pop_back();
        break;
    case 6:
        std::swap(id, mac);
        break;
    case 7:
        id.back() = id.back() == 'A' ? 'Q' : 'A';
        break;
    case 8:
        std::tie(id, mac) = other.Sign({"s", "http://h/x.torrent", false, "x"});
        break;
    default:
        id.clear(), mac.clear();
        break;
    }
    QVERIFY(!key.Verify(id, mac));
}

void TestDownloadTicket::sealedNotJustSigned()
{
    // A download link's own key must reach no client, cache or log: the id shows nothing of it.
    const TicketKey key(QByteArray(32, 'k'));
    const DownloadTicket ticket{"api", "https://api.test/dl?id=1&apikey=SECRET123", false,
                                "Hero 2002"};
    const auto [id, mac] = key.Sign(ticket);
    const QByteArray opened =
        QByteArray::fromBase64(QByteArray::fromStdString(id), QByteArray::Base64UrlEncoding);
    for (const char* secret : {"SECRET123", "Hero 2002", "api.test"})
        QVERIFY2(!opened.contains(secret) && id.find(secret) == std::string::npos, secret);
    // A nonce each: the same ticket twice looks different, and both open.
    const auto again = key.Sign(ticket);
    QVERIFY(again.first != id);
    QVERIFY(key.Verify(id, mac) == ticket);
    QVERIFY(key.Verify(again.first, again.second) == ticket);
}

void TestDownloadTicket::titleIsBounded_data()
{
    QTest::addColumn<QByteArray>("title");
    QTest::newRow("300,000 ASCII characters") << QByteArray(300000, 'a');
    QTest::newRow("Chinese, three bytes each") << QStringLiteral("英").repeated(100000).toUtf8();
    QTest::newRow("a four-byte character across the bound")
        << QByteArray(198, 'a') + QStringLiteral("😀😀").toUtf8();
    QTest::newRow("short: kept whole") << QByteArray("英雄 Hero");
}

void TestDownloadTicket::titleIsBounded()
{
    QFETCH(QByteArray, title);
    const TicketKey key(QByteArray(32, 'k'));
    const auto [id, mac] = key.Sign({"s", "http://h/1.torrent", false, title.toStdString()});
    QVERIFY(id.size() < 400); // a film page's path, whatever the site titles its release
    const auto back = key.Verify(id, mac);
    QVERIFY(back);
    const QByteArray kept = QByteArray::fromStdString(back->title);
    QVERIFY(kept.size() <= qsizetype(kTicketTitleBytes));
    QVERIFY(kept.size() > qsizetype(kTicketTitleBytes) - 4 || kept == title);
    QVERIFY(title.startsWith(kept));
    QCOMPARE(QString::fromUtf8(kept).toUtf8(), kept); // whole characters only
}

void TestDownloadTicket::secretFile()
{
    QTemporaryDir dir;
    const std::string file = dir.filePath(QStringLiteral("secret")).toStdString();
    std::string why;
    const auto first = TicketKey::Load(file, why);
    QVERIFY2(first, why.c_str());
    struct stat st {};
    QCOMPARE(::stat(file.c_str(), &st), 0);
    QCOMPARE(st.st_mode & 07777, 0600u); // made at first start, for the relay's eyes only
    QCOMPARE(st.st_size, off_t(32));
    // A second relay sharing the file signs what the first verifies.
    const auto second = TicketKey::Load(file, why);
    QVERIFY(second);
    const auto [id, mac] = second->Sign({"s", "http://h/1.torrent", false, "x"});
    QVERIFY(first->Verify(id, mac));
    // Too short a secret is refused, as is one that is no plain file.
    QFile shortFile(dir.filePath(QStringLiteral("short")));
    QVERIFY(shortFile.open(QIODevice::WriteOnly));
    shortFile.write("1234");
    shortFile.close();
    QVERIFY(shortFile.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(!TicketKey::Load(shortFile.fileName().toStdString(), why));
    QVERIFY(why.find("32 bytes") != std::string::npos);
    QVERIFY(!TicketKey::Load(dir.path().toStdString(), why));
}

void TestDownloadTicket::unfitSecretRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("reason");
    const QString others = QStringLiteral("other users than its owner");
    QTest::newRow("readable by every user") << "file" << 0644 << others;
    QTest::newRow("readable by its group") << "file" << 0640 << others;
    QTest::newRow("writable by its group") << "file" << 0620 << others;
    QTest::newRow("a FIFO") << "fifo" << 0600 << "plain file";
    QTest::newRow("a symbolic link") << "link" << 0600 << "cannot read";
}

void TestDownloadTicket::unfitSecretRefused()
{
    QFETCH(QString, kind);
    QFETCH(int, mode);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const std::string file = dir.filePath(QStringLiteral("secret")).toStdString();
    const std::string real = dir.filePath(QStringLiteral("real")).toStdString();
    if (kind == u"fifo") {
        QCOMPARE(::mkfifo(file.c_str(), mode_t(mode)), 0);
    } else {
        const std::string& target = kind == u"link" ? real : file;
        QFile secret(QString::fromStdString(target));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write(QByteArray(32, 's'));
        secret.close();
        QCOMPARE(::chmod(target.c_str(), mode_t(mode)), 0);
        if (kind == u"link") QCOMPARE(::symlink(real.c_str(), file.c_str()), 0);
    }
    std::string why;
    auto loading = std::async(std::launch::async, [&] { return TicketKey::Load(file, why); });
    if (loading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // It waits for a writer: give it one, so that the test ends and fails.
        const int writer = ::open(file.c_str(), O_WRONLY | O_NONBLOCK);
        loading.wait();
        if (writer >= 0) ::close(writer);
        QFAIL("loading the secret hangs");
    }
    QVERIFY(!loading.get());
    QVERIFY2(QString::fromStdString(why).contains(reason), why.c_str());
    QVERIFY2(why.rfind(file, 0) == 0, why.c_str()); // the reason names the file
}

void TestDownloadTicket::secretInSystemdCredentials()
{
    // systemd hands the packaged service its copy 0400, or 0440 where an ACL lets the service's
    // user read it: the group bits there stand for that ACL. Elsewhere 0440 is refused.
    QTemporaryDir dir;
    const std::string file = dir.filePath(QStringLiteral("gateway.secret")).toStdString();
    QFile secret(QString::fromStdString(file));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write(QByteArray(48, 's'));
    secret.close();
    QCOMPARE(::chmod(file.c_str(), 0440), 0);
    std::string why;
    QVERIFY(!TicketKey::Load(file, why));
    ::setenv("CREDENTIALS_DIRECTORY", qPrintable(dir.path()), 1);
    const auto key = TicketKey::Load(file, why);
    ::unsetenv("CREDENTIALS_DIRECTORY");
    QVERIFY2(key, why.c_str());
    QCOMPARE(::chmod(file.c_str(), 0444), 0);
    ::setenv("CREDENTIALS_DIRECTORY", qPrintable(dir.path()), 1);
    QVERIFY(!TicketKey::Load(file, why)); // every user, though: refused there too
    ::unsetenv("CREDENTIALS_DIRECTORY");
}

QTEST_GUILESS_MAIN(TestDownloadTicket)
#include "tst_downloadticket.moc"
