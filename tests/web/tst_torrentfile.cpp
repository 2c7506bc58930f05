#include "web/TorrentFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class TestTorrentFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanName_data();
    void cleanName();
    void longNameKeepsExtension();
    void bencode_data();
    void bencode();
    void saveReplacesWholeFile_data();
    void saveReplacesWholeFile();
    void saveRefusesToReplace_data();
    void saveRefusesToReplace();
    void saveFailureLeavesNothing();
    void linkSwappedInIsNeverFollowed();
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
                                        << "etcpasswd.torrent";
    QTest::newRow("a name Qt reads at start") << "qt.conf"
                                              << "qt.conf.torrent";
    QTest::newRow("a library") << "libQt6Core.so.6"
                               << "libQt6Core.so.6.torrent";
    QTest::newRow("extension in capitals kept") << "Film.TORRENT"
                                                << "Film.TORRENT";
    QTest::newRow("only an extension") << "..torrent"
                                       << "torrent.torrent";
    QTest::newRow("only removed characters") << "//::**"
                                             << "";
    QTest::newRow("only dots") << ".."
                               << "";
    QTest::newRow("Chinese kept") << QStringLiteral("无间道2.torrent")
                                  << QStringLiteral("无间道2.torrent");
    QTest::newRow("inner dots and spaces kept") << "A.B C.torrent"
                                                << "A.B C.torrent";
    QTest::newRow("right-to-left override")
        << QStringLiteral("Film\u202Etnerrot.sh") << "Filmtnerrot.sh.torrent";
    QTest::newRow("isolates and zero-width marks")
        << QStringLiteral("\u2066a\u2069\u200Db\u200Ec\uFEFF.torrent") << "abc.torrent";
    QTest::newRow("C1 control and lone surrogate")
        << QString::fromUtf16(u"a\u0085b") + QChar(0xD800) + QStringLiteral("c.torrent")
        << "abc.torrent";
    QTest::newRow("format character outside the BMP")
        << QString::fromUtf16(u"x\U000E0001y.torrent") << "xy.torrent";
    QTest::newRow("emoji kept") << QString::fromUtf16(u"\U0001F600.torrent")
                                << QString::fromUtf16(u"\U0001F600.torrent");
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

void TestTorrentFile::saveReplacesWholeFile_data()
{
    QTest::addColumn<QByteArray>("old"); // the plain file standing at the name before
    QTest::newRow("an older torrent")
        << "d4:name" + QByteArray("5000:") + QByteArray(5000, 'o') + "e";
    QTest::newRow("a damaged torrent") << QByteArray("d8:announce3:ur");
    QTest::newRow("an error page saved earlier") << QByteArray("<html>wrong hash</html>");
    QTest::newRow("an empty file") << QByteArray("");
    QTest::newRow("a script") << QByteArray("#!/bin/sh\necho hi\n");
}

void TestTorrentFile::saveReplacesWholeFile()
{
    QFETCH(QByteArray, old);
    QTemporaryDir dir;
    QFile existing(dir.filePath(QStringLiteral("a.torrent")));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write(old);
    existing.close();
    QVERIFY(existing.setPermissions(existing.permissions() | QFile::ExeOwner | QFile::ExeOther));
    const SaveResult result = SaveWholeFile(dir.path(), QStringLiteral("a.torrent"), "de");
    QVERIFY2(result, qPrintable(result.error));
    QCOMPARE(result.path, dir.filePath(QStringLiteral("a.torrent")));
    QFile saved(result.path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("de"));
    // a plain 0644 file, whatever the old one's mode was
    struct stat st {};
    QCOMPARE(stat(QFile::encodeName(result.path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, 0644u);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"a.torrent"});
}

void TestTorrentFile::saveRefusesToReplace_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind"); // what stands at the name: file, folder, link, fifo
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("the program itself (no torrent's name)") << "reelmate"
                                                            << "file"
                                                            << QByteArray("\x7f"
                                                                          "ELF\x02\x01\x01 binary");
    QTest::newRow("a library (no torrent's name)") << "libQt6Core.so.6"
                                                   << "file"
                                                   << QByteArray("\x7f"
                                                                 "ELF");
    QTest::newRow("a hidden name") << ".x.torrent"
                                   << "file" << QByteArray("keep");
    QTest::newRow("a folder") << "x.torrent"
                              << "folder" << QByteArray();
    QTest::newRow("a link to a torrent") << "x.torrent"
                                         << "link" << QByteArray();
    QTest::newRow("a FIFO") << "x.torrent"
                            << "fifo" << QByteArray();
}

void TestTorrentFile::saveRefusesToReplace()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QFile target(dir.filePath(QStringLiteral("target.torrent")));
    QVERIFY(target.open(QIODevice::WriteOnly));
    target.write("de");
    target.close();
    if (kind == u"folder") {
        QVERIFY(QDir(dir.path()).mkdir(name));
    } else if (kind == u"link") {
        QVERIFY(QFile::link(target.fileName(), path));
    } else if (kind == u"fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    } else {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QVERIFY(file.setPermissions(file.permissions() | QFile::ExeOwner));
    }
    const QFileInfo before(path);
    const SaveResult result = SaveWholeFile(dir.path(), name, "d1:ai1ee");
    QVERIFY(!result);
    QVERIFY(!result.error.isEmpty());
    const QFileInfo after(path);
    QCOMPARE(after.isDir(), before.isDir());
    QCOMPARE(after.isSymLink(), before.isSymLink());
    QCOMPARE(after.permissions(), before.permissions());
    if (kind == u"file") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), content);
    }
    QFile again(target.fileName());
    QVERIFY(again.open(QIODevice::ReadOnly));
    QCOMPARE(again.readAll(), QByteArray("de"));
    QCOMPARE(QDir(dir.path())
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System)
                 .size(),
             2);
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

void TestTorrentFile::linkSwappedInIsNeverFollowed()
{
    // Another process keeps swapping the torrent's name between a torrent and a link to a file
    // outside the folder while the program saves under that name again and again.
    QTemporaryDir outside, dir;
    const QByteArray secret = "d6:secret4:keepe";
    const QString victim = outside.filePath(QStringLiteral("victim.torrent"));
    QFile file(victim);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(secret);
    file.close();
    const QByteArray name = QFile::encodeName(dir.filePath(QStringLiteral("a.torrent")));
    const QByteArray link = QFile::encodeName(dir.filePath(QStringLiteral("link")));
    const QByteArray plain = QFile::encodeName(dir.filePath(QStringLiteral("plain")));
    const QByteArray outsideName = QFile::encodeName(victim);
    const pid_t swapper = fork();
    QVERIFY(swapper >= 0);
    if (swapper == 0) {
        for (;;) { // killed by the parent
            if (::symlink(outsideName.constData(), link.constData()) != 0) {
                // the link is there from the last round: rename it in again all the same
            }
            (void)::rename(link.constData(), name.constData());
            const int fd = ::open(plain.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                if (::write(fd, "de", 2) != 2) {
                    // a short write makes the swap no less a swap
                }
                ::close(fd);
            }
            (void)::rename(plain.constData(), name.constData());
        }
    }
    int saved = 0, refused = 0;
    for (int round = 0; round < 3000; ++round) {
        const SaveResult result =
            SaveWholeFile(dir.path(), QStringLiteral("a.torrent"), "d4:site5:bytese");
        (result ? saved : refused) += 1;
    }
    ::kill(swapper, SIGKILL);
    ::waitpid(swapper, nullptr, 0);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), secret);
    QVERIFY(QFileInfo(victim).isFile() && !QFileInfo(victim).isSymLink());
    QVERIFY2(saved > 0, "no save went through: the race was not run");
    // No temporary file is left behind.
    for (const QString& entry :
         QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System))
        QVERIFY2(!entry.endsWith(QStringLiteral(".part")), qPrintable(entry));
}

QTEST_GUILESS_MAIN(TestTorrentFile)
#include "tst_torrentfile.moc"
