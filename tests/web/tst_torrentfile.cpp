#include "web/TorrentFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestTorrentFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanName_data();
    void cleanName();
    void longNameKeepsExtension();
    void bencode_data();
    void bencode();
    void saveReplacesWholeFile();
    void saveFailureLeavesNothing();
};

void TestTorrentFile::cleanName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("cleaned");
    QTest::newRow("nine characters") << "a/b:c?.torrent"
                                     << "abc.torrent";
    QTest::newRow("all nine") << QStringLiteral("\\/:*?\"<>|x.torrent") << "x.torrent";
    QTest::newRow("control characters") << QStringLiteral("a\tb\nc\x7f.torrent") << "abc.torrent";
    QTest::newRow("leading dots") << "...hidden.torrent"
                                  << "hidden.torrent";
    QTest::newRow("dots after a slash") << "../../etc/passwd"
                                        << "etcpasswd";
    QTest::newRow("only dots") << ".."
                               << "";
    QTest::newRow("Chinese kept") << QStringLiteral("无间道2.torrent")
                                  << QStringLiteral("无间道2.torrent");
    QTest::newRow("inner dots and spaces kept") << "A.B C.torrent"
                                                << "A.B C.torrent";
}

void TestTorrentFile::cleanName()
{
    QFETCH(QString, name);
    QFETCH(QString, cleaned);
    QCOMPARE(CleanTorrentName(name), cleaned);
}

void TestTorrentFile::longNameKeepsExtension()
{
    const QString name =
        QString(200, QChar(0x4E2D)) + QStringLiteral(".torrent"); // 600 bytes of 中
    const QString cleaned = CleanTorrentName(name);
    QVERIFY(cleaned.toUtf8().size() <= 255);
    QVERIFY(cleaned.endsWith(QStringLiteral(".torrent")));
    QCOMPARE(cleaned, QString((255 - 8) / 3, QChar(0x4E2D)) + QStringLiteral(".torrent"));
    const QString emoji = QString(100, u'a') + QString::fromUtf16(u"\U0001F600").repeated(50);
    QVERIFY(!CleanTorrentName(emoji).back().isHighSurrogate());
    QVERIFY(CleanTorrentName(emoji).toUtf8().size() <= 255);
}

void TestTorrentFile::bencode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("torrent");
    QTest::newRow("dictionary") << QByteArray("d8:announce3:url4:infod6:lengthi5e4:name1:xee")
                                << true;
    QTest::newRow("empty dictionary") << QByteArray("de") << true;
    QTest::newRow("nested lists") << QByteArray("d1:ali-3eli0eeee") << true;
    QTest::newRow("html page") << QByteArray("<html>error</html>") << false;
    QTest::newRow("list at the top") << QByteArray("li1ee") << false;
    QTest::newRow("trailing bytes") << QByteArray("dex") << false;
    QTest::newRow("truncated") << QByteArray("d4:name3:ab") << false;
    QTest::newRow("integer key") << QByteArray("di1e1:ae") << false;
    QTest::newRow("length past the end") << QByteArray("d9999:ae") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("deep nesting") << QByteArray("d1:a") + QByteArray(100000, 'l') << false;
}

void TestTorrentFile::bencode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, torrent);
    QCOMPARE(IsBencodedDictionary(bytes), torrent);
}

void TestTorrentFile::saveReplacesWholeFile()
{
    QTemporaryDir dir;
    QFile old(dir.filePath(QStringLiteral("a.torrent")));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(5000, 'o'));
    old.close();
    QVERIFY(SaveWholeFile(dir.path(), QStringLiteral("a.torrent"), "de"));
    QFile saved(dir.filePath(QStringLiteral("a.torrent")));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("de"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"a.torrent"});
}

void TestTorrentFile::saveFailureLeavesNothing()
{
    QTemporaryDir dir;
    // a folder that cannot be written: its path runs through a plain file
    QFile blocker(dir.filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(
        !SaveWholeFile(dir.filePath(QStringLiteral("file")), QStringLiteral("x.torrent"), "de"));
    QVERIFY(!SaveWholeFile(dir.path(), QString(), "de"));
    QVERIFY(!SaveWholeFile(dir.path(), QStringLiteral("a/b"), "de"));
    QCOMPARE(
        QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot),
        QStringList{"file"});
}

QTEST_GUILESS_MAIN(TestTorrentFile)
#include "tst_torrentfile.moc"
