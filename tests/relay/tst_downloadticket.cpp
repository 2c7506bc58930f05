#include "relay/gateway/DownloadTicket.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

/** Download tickets: what the program carries back as a link's id and hash. */
class TestDownloadTicket : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void roundTrip_data();
    void roundTrip();
    void forgeries_data();
    void forgeries();
    void secretFile();
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
    default:
        id.clear(), mac.clear();
        break;
    }
    QVERIFY(!key.Verify(id, mac));
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
    QVERIFY(!TicketKey::Load(shortFile.fileName().toStdString(), why));
    QVERIFY(why.find("32 bytes") != std::string::npos);
    QVERIFY(!TicketKey::Load(dir.path().toStdString(), why));
}

QTEST_GUILESS_MAIN(TestDownloadTicket)
#include "tst_downloadticket.moc"
