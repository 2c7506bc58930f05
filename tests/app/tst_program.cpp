#include "app/common/ProgramPlace.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

/** The program as a user starts it: what it answers on the command line, and where it saves. */
class TestProgram : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void commandLine_data();
    void commandLine();
    void torrentFolder_data();
    void torrentFolder();
};

void TestProgram::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out"); // what stdout starts with
    QTest::addColumn<QString>("err"); // what stderr holds
    QTest::newRow("--help") << QStringList{"--help"} << 0 << "Usage: reelmate"
                            << "";
    QTest::newRow("-h") << QStringList{"-h"} << 0 << "Usage: reelmate"
                        << "";
    QTest::newRow("--version") << QStringList{"--version"} << 0 << "reelmate " REELMATE_VERSION
                               << "";
    QTest::newRow("an unknown option") << QStringList{"--colour"} << 2 << ""
                                       << "unexpected argument --colour";
    QTest::newRow("a file") << QStringList{"film.torrent"} << 2 << ""
                            << "Usage: reelmate [--help | --version]";
    QTest::newRow("--help and more") << QStringList{"--help", "x"} << 2 << ""
                                     << "Usage:";
}

void TestProgram::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QProcess program;
    // No display at all: an answer must come before any window is opened.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(PROGRAM_BIN), arguments);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), status);
    const QString stdoutText = QString::fromUtf8(program.readAllStandardOutput());
    const QString stderrText = QString::fromUtf8(program.readAllStandardError());
    QVERIFY2(out.isEmpty() ? stdoutText.isEmpty() : stdoutText.startsWith(out),
             qPrintable(stdoutText));
    QVERIFY2(err.isEmpty() ? stderrText.isEmpty() : stderrText.contains(err),
             qPrintable(stderrText));
}

void TestProgram::torrentFolder_data()
{
    QTest::addColumn<QString>("program"); // under the test's folder
    QTest::addColumn<QString>("built");
    QTest::addColumn<bool>("nextToItself");
    QTest::newRow("run from its build tree") << "build/bin"
                                             << "build/bin" << true;
    QTest::newRow("the build tree through a link") << "link/bin"
                                                   << "build/bin" << true;
    // Writable, yet installed: an installed program never writes its own folder.
    QTest::newRow("installed, in a writable folder") << "usr/bin"
                                                     << "build/bin" << false;
    QTest::newRow("built where it no longer is") << "usr/bin"
                                                 << "gone/bin" << false;
}

void TestProgram::torrentFolder()
{
    QFETCH(QString, program);
    QFETCH(QString, built);
    QFETCH(bool, nextToItself);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("build/bin")));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("usr/bin")));
    QVERIFY(
        QFile::link(dir.filePath(QStringLiteral("build")), dir.filePath(QStringLiteral("link"))));
    const QString folder = TorrentFolder(dir.filePath(program), dir.filePath(built));
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    QVERIFY(!downloads.startsWith(dir.path()));
    QCOMPARE(folder, nextToItself ? dir.filePath(program) : downloads);
}

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
