#include "app/common/ProgramPlace.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

/** The program as a user starts it: what it answers on the command line, and where it saves. */
class TestProgram : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void commandLine_data();
    void commandLine();
    void startsWhateverElseItIsGiven_data();
    void startsWhateverElseItIsGiven();
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
    QTest::newRow("--help among other words")
        << QStringList{"-platform", "xcb", "--help"} << 0 << "Usage: reelmate"
        << "";
    QTest::newRow("--version after a file")
        << QStringList{"film.torrent", "--version"} << 0 << "reelmate " REELMATE_VERSION << "";
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

void TestProgram::startsWhateverElseItIsGiven_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("platform"); // QT_QPA_PLATFORM for the program; empty: none
    QTest::addColumn<bool>("x");           // the program is given the test's X display as -display
    QTest::newRow("-platform offscreen") << QStringList{"-platform", "offscreen"} << "" << false;
    QTest::newRow("--platform offscreen") << QStringList{"--platform", "offscreen"} << "" << false;
    QTest::newRow("a word") << QStringList{"foo"} << "offscreen" << false;
    QTest::newRow("a file and an unknown option")
        << QStringList{"film.torrent", "--colour"} << "offscreen" << false;
    QTest::newRow("-style, -reverse, -geometry, -qwindowgeometry")
        << QStringList{"-style",      "fusion",           "-reverse", "-geometry",
                       "400x300+5+5", "-qwindowgeometry", "400x300"}
        << "offscreen" << false;
    QTest::newRow("-platform xcb -display") << QStringList{"-platform", "xcb"} << "" << true;
    QTest::newRow("words around Qt's options")
        << QStringList{"a", "-platform", "xcb", "b"} << "" << true;
}

void TestProgram::startsWhateverElseItIsGiven()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, platform);
    QFETCH(bool, x);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString display = environment.value(QStringLiteral("DISPLAY"));
    if (x && display.isEmpty()) QSKIP("needs an X display (run under xvfb-run)");
    // Only what the arguments say can lead Qt to a display: none is set otherwise.
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (!platform.isEmpty()) environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    if (x) arguments << QStringLiteral("-display") << display;
    // Qt reports each window it puts on the screen: the search window's first frame is the sign
    // that the program is up.
    environment.insert(QStringLiteral("QT_LOGGING_RULES"),
                       QStringLiteral("qt.widgets.painting=true"));
    QTemporaryDir folder; // the program runs where it may write nothing of ours
    QProcess program;
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(folder.path());
    program.setProcessChannelMode(QProcess::MergedChannels);
    QByteArray output;
    connect(&program, &QProcess::readyRead, this, [&] { output += program.readAll(); });
    program.start(QStringLiteral(PROGRAM_BIN), arguments);
    QVERIFY(program.waitForStarted());
    const auto stop = qScopeGuard([&] {
        program.kill();
        program.waitForFinished();
    });
    const auto shown = [&output] {
        for (const QByteArray& line : output.split('\n'))
            if (line.contains(": Flushing ") && line.contains(R"(name="Main")")) return true;
        return false;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(program.state() != QProcess::Running || shown(),
                              output.right(2000).constData(), 20000);
    QVERIFY2(program.state() == QProcess::Running, output.right(2000).constData());
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
