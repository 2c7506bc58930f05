#include "DemoServices.h"
#include "FakeDesktop.h"
#include "ProgramWindows.h"
#include "app/search/Main.h"
#include "app/torrent/Down.h"
#include "app/torrent/DownHost.h"
#include "app/torrent/TorrentList.h"
#include "controls/pbutton/PButton.h"
#include "platform/core/HttpCall.h"
#include "platform/ui/AutoLabel.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/TextBox.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Program = ProgramWindows;

} // namespace

/** The whole job through the real windows, against the relay and the demo site on loopback. */
class TestEndToEnd : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void searchListAndSave_data();
    void searchListAndSave();
    void throughTheGateway();
};

void TestEndToEnd::searchListAndSave_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("film");
    QTest::newRow("Matrix") << "Matrix"
                            << "The Matrix Reloaded";
    QTest::newRow("电影") << QStringLiteral("电影") << QStringLiteral("电影｜Film");
    QTest::newRow("GBK-only title") << QStringLiteral("镕") << QStringLiteral("朱镕基访谈录");
}

void TestEndToEnd::searchListAndSave()
{
    QFETCH(QString, typed);
    QFETCH(QString, film);
    DemoServices services;
    Program program(services.relayUrl(), services.siteUrl());
    Main& main = program.main;
    DownHost& host = program.host;
    const QTemporaryDir& folder = program.folder;
    QVERIFY(QTest::qWaitForWindowExposed(&main));

    QTest::mouseClick(main.FindText, Qt::LeftButton);
    if (typed == u"Matrix")
        QTest::keyClicks(main.FindText, typed);
    else
        main.FindText->setText(typed);
    QTest::keyClick(main.FindText, Qt::Key_Return);
    QVERIFY(main.DownList->ListCount() > 0);
    QCOMPARE(main.resultstr->text(), ResultText(main.DownList->ListCount()));

    int hit = -1;
    for (int i = 0; i < main.DownList->ListCount(); ++i)
        if (main.DownList->List(i) == film) hit = i;
    QVERIFY2(hit >= 0, qPrintable(film));
    main.DownList->SetListIndex(hit);
    QTest::mouseClick(main.BTDown, Qt::LeftButton, {}, QPoint(10, 10));

    Down* down = host.existing();
    QVERIFY(down && down->isVisible());
    QVERIFY(down->BTList->ListCount() > 0);
    QCOMPARE(down->BTList->ListCount(), down->BTList1->ListCount());
    QTest::mouseClick(down->BTList->viewport(), Qt::LeftButton, {}, QPoint(10, 8));
    QTest::mouseClick(down->BTDown, Qt::LeftButton, {}, QPoint(10, 10));
    QTRY_COMPARE(down->BTDown->Text(), QStringLiteral("下载完成！"));

    // byte for byte what the site serves for that torrent
    const QString link = down->BTList1->List(0);
    const QString id = link.section(QStringLiteral("&id="), 1).section(u'&', 0, 0);
    const QString hash = link.section(QStringLiteral("&uhash="), 1);
    HttpCall post;
    post.method = "POST";
    post.url = services.siteUrl() + QStringLiteral("/download.php");
    post.body = "action=download&id=" + id.toUtf8() + "&uhash=" + hash.toUtf8();
    const QByteArray served = PerformHttp(post).body;
    QVERIFY(served.startsWith("d8:announce"));
    const QString name = QString(down->BTList->List(0)).remove(u'|').remove(u'/').remove(u':');
    QFile saved(QDir(folder.path()).filePath(name));
    QVERIFY2(saved.open(QIODevice::ReadOnly), qPrintable(name));
    QCOMPARE(saved.readAll(), served);
}

void TestEndToEnd::throughTheGateway()
{
    // Built for real sites: both of the program's addresses are the relay's.
    DemoGateway services;
    Program program(services.relayUrl(), services.relayUrl());
    Main& main = program.main;
    DownHost& host = program.host;
    const QTemporaryDir& folder = program.folder;
    QVERIFY(QTest::qWaitForWindowExposed(&main));

    main.FindText->setText(QStringLiteral("英雄"));
    QTest::keyClick(main.FindText, Qt::Key_Return);
    QCOMPARE(main.DownList->List(0), QStringLiteral("英雄"));
    main.DownList->SetListIndex(0);
    QTest::mouseClick(main.BTDown, Qt::LeftButton, {}, QPoint(10, 10));
    Down* down = host.existing();
    QVERIFY(down && down->isVisible());
    QCOMPARE(down->BTList->List(0), QStringLiteral("英雄.torrent"));
    QTest::mouseClick(down->BTList->viewport(), Qt::LeftButton, {}, QPoint(10, 8));
    QTest::mouseClick(down->BTDown, Qt::LeftButton, {}, QPoint(10, 10));
    QTRY_COMPARE(down->BTDown->Text(), QStringLiteral("下载完成！"));

    // The film's first torrent, byte for byte.
    const auto films = services.site().films();
    const auto film =
        std::find_if(films.begin(), films.end(), [](const Film& f) { return f.title == u"英雄"; });
    QVERIFY(film != films.end());
    const QByteArray served = services.site().TorrentFile(services.site().Offers(*film)[0].id);
    QFile saved(QDir(folder.path()).filePath(QStringLiteral("英雄.torrent")));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), served);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
