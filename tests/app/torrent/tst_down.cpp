#include "FakeDesktop.h"
#include "Pixels.h"
#include "TestHttpServer.h"
#include "app/search/Main.h"
#include "app/torrent/Down.h"
#include "app/torrent/DownHost.h"
#include "app/torrent/TorrentList.h"
#include "controls/pbutton/PButton.h"
#include "platform/ui/Accessibility.h"
#include "platform/ui/ImageZone.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/TextBox.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;

namespace {

const QByteArray kTorrent =
    "d8:announce14:http://t.test/4:infod6:lengthi3e4:name1:x12:piece lengthi16384e6:pieces20:"
    "01234567890123456789ee";
constexpr qint32 kIdle = Rgb(142, 144, 146), kSaved = Rgb(128, 255, 128),
                 kFailed = Rgb(255, 128, 128);

QStringList Entries(const ListBox* list)
{
    QStringList entries;
    for (int i = 0; i < list->ListCount(); ++i)
        entries << list->List(i);
    return entries;
}

QStringList Files(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

} // namespace

/** Both windows wired as the program wires them, against a relay and a site of the test's own. */
class TestDown : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { InstallAccessibility(); } // as the program does at start
    void init();
    void cleanup();
    void listing_data();
    void listing();
    void nothingSelected();
    void pagePathGoesUnencoded();
    void postBody_data();
    void postBody();
    void enterClosingTheMessageAsksNothing();
    void savesServedBytes();
    void replacesExistingFile_data();
    void replacesExistingFile();
    void badDownloads_data();
    void badDownloads();
    void transferFails_data();
    void transferFails();
    void pickAnotherWhileRunning();
    void closeWhileRunning();
    void longNameShortened();
    void unwritableFolder_data();
    void unwritableFolder();
    void windowLook();
    void accessibility();
    void pixels_data();
    void pixels();
    void zones_data();
    void zones();

private:
    /** Search, select the first hit and press the search window's button. */
    Down& openTorrents(const QByteArray& torrentReply, const QByteArray& path = "/film/1.html");
    void pick(int index);
    void press() { QTest::mouseClick(down().BTDown, Qt::LeftButton, {}, QPoint(5, 5)); }
    Down& down() { return *host_->existing(); }
    TestHttpServer& relay() { return *relayServer_; }
    TestHttpServer& site() { return *siteServer_; }

    std::unique_ptr<TestHttpServer> relayServer_;
    std::unique_ptr<TestHttpServer> siteServer_;
    QByteArray torrentReply_;
    QByteArray path_;
    std::unique_ptr<QTemporaryDir> folder_;
    std::unique_ptr<FakeDesktop> desktop_;
    std::unique_ptr<Main> main_;
    std::unique_ptr<DownHost> host_;
    Endpoints endpoints_;
};

void TestDown::init()
{
    relayServer_ = std::make_unique<TestHttpServer>();
    siteServer_ = std::make_unique<TestHttpServer>();
    relay().serve([this](const ServiceRequest& req, ServiceResponse& res) {
        if (req.target.find("/moviejk/Find.php") == 0)
            res.body = Gb(QStringLiteral("Film|") + QString::fromUtf8(path_) + QStringLiteral("|"))
                           .toStdString();
        else
            res.body = torrentReply_.toStdString();
    });
    site().reply(200, kTorrent, "application/x-bittorrent");
    folder_ = std::make_unique<QTemporaryDir>();
    desktop_ = std::make_unique<FakeDesktop>();
    endpoints_.relay = relay().url();
    endpoints_.site = site().url();
    endpoints_.fetch.connect = 1s;
    endpoints_.fetch.total = 1s;
    HttpLimits download;
    download.connect = 1s;
    download.total = 1s;
    endpoints_.download = download;
    main_ = std::make_unique<Main>(endpoints_, *desktop_);
    host_ = std::make_unique<DownHost>(main_.get(), endpoints_, folder_->path(), *desktop_);
    ConnectTorrentListing(*main_, *host_, endpoints_);
    main_->show();
    QVERIFY(QTest::qWaitForWindowExposed(main_.get()));
}

void TestDown::cleanup()
{
    host_.reset();
    main_.reset();
    desktop_.reset();
    siteServer_.reset();
    relayServer_.reset();
}

Down& TestDown::openTorrents(const QByteArray& torrentReply, const QByteArray& path)
{
    torrentReply_ = torrentReply;
    path_ = path;
    main_->FindText->setText(QStringLiteral("film"));
    QTest::keyClick(main_->FindText, Qt::Key_Return);
    main_->DownList->SetListIndex(0);
    QTest::mouseClick(main_->BTDown, Qt::LeftButton, {}, QPoint(5, 5));
    return *host_->existing();
}

void TestDown::pick(int index)
{
    QTest::mouseClick(down().BTList->viewport(), Qt::LeftButton, {}, QPoint(10, 16 * index + 8));
    QCOMPARE(down().BTList->ListIndex(), index);
}

void TestDown::listing_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<bool>("shown");
    QTest::newRow("A|a|B|b|") << QByteArray("A|a|B|b|") << QStringList{"A", "B"}
                              << QStringList{"a", "b"} << true;
    QTest::newRow("A|a|B") << QByteArray("A|a|B") << QStringList{"A"} << QStringList{"a"} << true;
    QTest::newRow("A||") << QByteArray("A||") << QStringList{"A"} << QStringList{""} << true;
    QTest::newRow("no bar") << QByteArray("relay error") << QStringList{} << QStringList{} << true;
    QTest::newRow("empty reply") << QByteArray() << QStringList{} << QStringList{} << false;
}

void TestDown::listing()
{
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, names);
    QFETCH(QStringList, links);
    QFETCH(bool, shown);
    Down& d = openTorrents(reply);
    QCOMPARE(Entries(d.BTList), names);
    QCOMPARE(Entries(d.BTList1), links);
    QCOMPARE(d.isVisible(), shown);
    QVERIFY(!d.BTList1->isVisible());
    if (shown) {
        const QPoint offset = d.frameGeometry().center() - main_->frameGeometry().center();
        QVERIFY(std::abs(offset.x()) <= 1 &&
                std::abs(offset.y()) <= 1); // centred over the search window
        QCOMPARE(d.focusWidget(), static_cast<QWidget*>(d.BTList)); // first focus on the list
    }
}

void TestDown::nothingSelected()
{
    Down& first = openTorrents("A|a|");
    QVERIFY(first.isVisible());
    main_->DownList->SetListIndex(-1);
    const qsizetype before = relay().requests().size();
    QTest::mouseClick(main_->BTDown, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(relay().requests().size(), before);
    QCOMPARE(first.BTList->ListCount(), 0);
    QCOMPARE(first.BTList1->ListCount(), 0);
}

void TestDown::pagePathGoesUnencoded()
{
    openTorrents("A|a|", "/film/x.php?a=1&b=电影");
    const QByteArray line = relay().requests().last().requestLine;
    // "&" and "?" go as they are; the HTTP layer sends the Chinese as UTF-8 escapes
    QCOMPARE(line, "GET /moviejk/Down.php?url=" + site().url().toUtf8() +
                       "/film/x.php?a=1&b=%E7%94%B5%E5%BD%B1 HTTP/1.1");
}

void TestDown::postBody_data()
{
    QTest::addColumn<QByteArray>("link");
    QTest::addColumn<QByteArray>("body"); // empty: the failure message, nothing sent
    // How a link is cut is tst_functions' table; here, what the window does with it.
    QTest::newRow("id 123") << QByteArray("/t.php?x=1&id=123&uhash=9f8e")
                            << QByteArray("action=download&id=123&uhash=9f8e");
    QTest::newRow("no uhash") << QByteArray("&id=7") << QByteArray();
}

void TestDown::postBody()
{
    QFETCH(QByteArray, link);
    QFETCH(QByteArray, body);
    openTorrents("x.torrent|" + link + "|");
    pick(0);
    press();
    if (body.isEmpty()) {
        QCOMPARE(desktop_->messages.size(), 1);
        QCOMPARE(desktop_->messages.at(0).first, QStringLiteral("Reelmate"));
        QCOMPARE(desktop_->messages.at(0).second,
                 QStringLiteral("下载出现异常，请到https://reelmate.example.org/issues提交问题！"));
        QCOMPARE(site().requests().size(), 0);
        return;
    }
    QTRY_COMPARE(site().requests().size(), 1);
    QCOMPARE(site().requests().at(0).requestLine, QByteArray("POST /download.php HTTP/1.1"));
    QCOMPARE(site().requests().at(0).body, body);
    QCOMPARE(site().requests().at(0).contentType, QByteArray("application/x-www-form-urlencoded"));
    QTRY_COMPARE(down().BTDown->Text(), QStringLiteral("下载完成！"));
    QVERIFY(desktop_->messages.isEmpty());
}

void TestDown::enterClosingTheMessageAsksNothing()
{
    openTorrents("x.torrent|&id=7|"); // a link without a hash: the press shows the message
    pick(0);
    down().BTDown->setFocus();
    QTest::keyClick(down().BTDown, Qt::Key_Return);
    QCOMPARE(desktop_->messages.size(), 1);
    // The box took the Enter that closed it; its release comes to the button.
    QTest::keyRelease(down().BTDown, Qt::Key_Return);
    QCOMPARE(desktop_->messages.size(), 1);
    QCOMPARE(site().requests().size(), 0);
}

void TestDown::savesServedBytes()
{
    openTorrents("a/b:c?.torrent|&id=1&uhash=h|");
    pick(0);
    QCOMPARE(down().BTDown->Text(), QStringLiteral("下载"));
    press();
    QTRY_COMPARE(down().BTDown->Text(), QStringLiteral("下载完成！"));
    QCOMPARE(down().BTDown->Color_Text(), kSaved);
    QFile saved(QDir(folder_->path()).filePath(QStringLiteral("abc.torrent")));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), kTorrent);
    QCOMPARE(Files(folder_->path()), QStringList{"abc.torrent"});
    pick(0); // picking again brings back the idle look
    QCOMPARE(down().BTDown->Text(), QStringLiteral("下载"));
    QCOMPARE(down().BTDown->Color_Text(), kIdle);
}

void TestDown::replacesExistingFile_data()
{
    QTest::addColumn<QByteArray>("name"); // as the site names the torrent
    QTest::addColumn<QByteArray>("existingName");
    QTest::addColumn<QByteArray>("existing");
    QTest::addColumn<QByteArray>("savedAs"); // empty: nothing may be saved
    QTest::newRow("an older torrent") << QByteArray("x.torrent") << QByteArray("x.torrent")
                                      << QByteArray("d1:ai1ee") << QByteArray("x.torrent");
    QTest::newRow("the program's own name")
        << QByteArray("reelmate") << QByteArray("reelmate") << QByteArray("#!/bin/sh\necho taken\n")
        << QByteArray("reelmate.torrent");
    QTest::newRow("a name Qt reads at start") << QByteArray("qt.conf") << QByteArray("reelmate")
                                              << QByteArray("\x7f"
                                                            "ELF")
                                              << QByteArray("qt.conf.torrent");
    QTest::newRow("a file that is no torrent") << QByteArray("x.torrent") << QByteArray("x.torrent")
                                               << QByteArray(10000, 'z') << QByteArray("x.torrent");
    QTest::newRow("a damaged torrent") << QByteArray("x.torrent") << QByteArray("x.torrent")
                                       << QByteArray("d8:announce3:ur") << QByteArray("x.torrent");
    QTest::newRow("an empty file") << QByteArray("x.torrent") << QByteArray("x.torrent")
                                   << QByteArray("") << QByteArray("x.torrent");
}

void TestDown::replacesExistingFile()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, existingName);
    QFETCH(QByteArray, existing);
    QFETCH(QByteArray, savedAs);
    const QDir folder(folder_->path());
    QFile old(folder.filePath(QString::fromUtf8(existingName)));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(existing);
    old.close();
    QVERIFY(old.setPermissions(old.permissions() | QFile::ExeOwner | QFile::ExeGroup));
    openTorrents(name + "|&id=1&uhash=h|");
    pick(0);
    press();
    QTRY_COMPARE(down().BTDown->Text(),
                 savedAs.isEmpty() ? QStringLiteral("下载出错") : QStringLiteral("下载完成！"));
    const bool replaced = savedAs == existingName;
    if (!savedAs.isEmpty())
        QCOMPARE(down().BTDown->toolTip(),
                 QStringLiteral("已保存到 ") + folder.filePath(QString::fromUtf8(savedAs)));
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), replaced ? kTorrent : existing);
    old.close();
    QCOMPARE(bool(old.permissions() & QFile::ExeOwner), !replaced); // a saved torrent is never run
    QStringList expected{QString::fromUtf8(existingName)};
    if (!savedAs.isEmpty() && !replaced) {
        expected << QString::fromUtf8(savedAs);
        QFile saved(folder.filePath(QString::fromUtf8(savedAs)));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), kTorrent);
    }
    expected.sort();
    QCOMPARE(Files(folder_->path()), expected);
}

void TestDown::badDownloads_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("deselect");
    QTest::addColumn<QString>("tip"); // the button's tool tip: why nothing was saved
    QTest::newRow("HTML error page")
        << 200 << QByteArray("<html>wrong hash</html>") << QByteArray("x.torrent") << false
        << QStringLiteral("网站返回的不是种子文件");
    QTest::newRow("status 404 with a torrent") << 404 << kTorrent << QByteArray("x.torrent")
                                               << false << QStringLiteral("网站返回错误 404");
    QTest::newRow("status 500") << 500 << QByteArray("oops") << QByteArray("x.torrent") << false
                                << QStringLiteral("网站返回错误 500");
    QTest::newRow("name empty once cleaned") << 200 << kTorrent << QByteArray("../..") << false
                                             << QStringLiteral("没有选中可用作文件名的种子");
    QTest::newRow("nothing selected at completion")
        << 200 << kTorrent << QByteArray("x.torrent") << true
        << QStringLiteral("没有选中可用作文件名的种子");
}

void TestDown::badDownloads()
{
    QFETCH(int, status);
    QFETCH(QByteArray, served);
    QFETCH(QByteArray, name);
    QFETCH(bool, deselect);
    QFETCH(QString, tip);
    site().reply(status, served);
    openTorrents(name + "|&id=1&uhash=h|");
    pick(0);
    press();
    if (deselect) down().BTList->SetListIndex(-1);
    QTRY_COMPARE(down().BTDown->Text(), QStringLiteral("下载出错"));
    QCOMPARE(down().BTDown->Color_Text(), kFailed);
    QCOMPARE(down().BTDown->toolTip(), tip);
    QCOMPARE(Files(folder_->path()), QStringList{});
    QVERIFY(desktop_->messages.isEmpty());
}

void TestDown::transferFails_data()
{
    QTest::addColumn<bool>("silent");
    QTest::newRow("refused") << false;
    QTest::newRow("never answers") << true;
}

void TestDown::transferFails()
{
    QFETCH(bool, silent);
    SilentServer quiet;
    endpoints_.site = silent ? quiet.url() : ClosedPortUrl();
    host_ = std::make_unique<DownHost>(main_.get(), endpoints_, folder_->path(), *desktop_);
    ConnectTorrentListing(*main_, *host_, endpoints_);
    openTorrents("x.torrent|&id=1&uhash=h|");
    pick(0);
    press();
    QTRY_COMPARE_WITH_TIMEOUT(down().BTDown->Text(), QStringLiteral("下载出错"), 5000);
    QCOMPARE(down().BTDown->Color_Text(), kFailed);
    QCOMPARE(down().BTDown->toolTip(), QStringLiteral("传输失败"));
    QCOMPARE(Files(folder_->path()), QStringList{});
}

void TestDown::pickAnotherWhileRunning()
{
    std::atomic_bool release{false};
    site().serve(HoldUntil(release, kTorrent.toStdString()));
    openTorrents("first.torrent|&id=1&uhash=h|second.torrent|&id=2&uhash=h|");
    pick(0);
    press();
    QTRY_COMPARE(site().requests().size(), 1);
    pick(1);
    QCOMPARE(down().BTDown->Text(), QStringLiteral("下载"));
    press(); // a second request while one runs is refused with the failure message
    QCOMPARE(desktop_->messages.size(), 1);
    release = true;
    QTRY_COMPARE(down().BTDown->Text(), QStringLiteral("下载完成！"));
    QCOMPARE(Files(folder_->path()), QStringList{"second.torrent"});
}

void TestDown::closeWhileRunning()
{
    std::atomic_bool release{false};
    site().serve(HoldUntil(release, kTorrent.toStdString()));
    Down* first = &openTorrents("x.torrent|&id=1&uhash=h|");
    QPointer<Down> watch(first);
    pick(0);
    press();
    QTRY_COMPARE(site().requests().size(), 1);
    QTest::mouseClick(first->windowHandle(), Qt::LeftButton, {}, QPoint(450, 20));
    QCOMPARE(host_->existing(), nullptr);
    QTRY_VERIFY(watch.isNull());
    release = true;
    // The window's transfer was abandoned and joined when it closed: nothing can be on its way.
    QCoreApplication::processEvents();
    QCOMPARE(Files(folder_->path()), QStringList{});
    Down& second = openTorrents("y.torrent|&id=2&uhash=h|");
    QVERIFY(second.isVisible());
    QCOMPARE(Entries(second.BTList), QStringList{"y.torrent"});
    QCOMPARE(second.BTDown->Text(), QStringLiteral("下载"));
}

void TestDown::longNameShortened()
{
    const QByteArray name = QString(200, QChar(0x5F71)).toUtf8() + ".torrent";
    openTorrents(name + "|&id=1&uhash=h|");
    pick(0);
    press();
    QTRY_COMPARE(down().BTDown->Text(), QStringLiteral("下载完成！"));
    const QStringList files = Files(folder_->path());
    QCOMPARE(files.size(), 1);
    QVERIFY(files.at(0).endsWith(QStringLiteral(".torrent")));
    QVERIFY(files.at(0).toUtf8().size() <= 255);
}

void TestDown::unwritableFolder_data()
{
    QTest::addColumn<bool>("downloadsBlocked");
    QTest::newRow("into the download folder") << false;
    QTest::newRow("nowhere to write") << true;
}

void TestDown::unwritableFolder()
{
    QFETCH(bool, downloadsBlocked);
    // The program's folder cannot be written (its path runs through a file, which holds even
    // for root), as an installed program's cannot.
    const QString blocked = QDir(folder_->path()).filePath(QStringLiteral("not-a-folder"));
    QFile file(blocked);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QTemporaryDir home;
    const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", home.path().toUtf8());
    qunsetenv("XDG_CONFIG_HOME");
    const auto restore = qScopeGuard([&] {
        qputenv("HOME", oldHome);
        if (!oldConfig.isNull()) qputenv("XDG_CONFIG_HOME", oldConfig);
    });
    const QString downloads = QDir(home.path()).filePath(QStringLiteral("Downloads"));
    if (downloadsBlocked) {
        QFile plug(downloads);
        QVERIFY(plug.open(QIODevice::WriteOnly));
    }
    host_ = std::make_unique<DownHost>(main_.get(), endpoints_, blocked + QStringLiteral("/bin"),
                                       *desktop_);
    ConnectTorrentListing(*main_, *host_, endpoints_);
    openTorrents("x.torrent|&id=1&uhash=h|");
    pick(0);
    press();
    QTRY_VERIFY(down().BTDown->Text() != QStringLiteral("下载"));
    QCOMPARE(Files(folder_->path()), QStringList{"not-a-folder"});
    const QString saved = QDir(downloads).filePath(QStringLiteral("x.torrent"));
    if (downloadsBlocked) {
        QCOMPARE(down().BTDown->Text(), QStringLiteral("下载出错"));
        QCOMPARE(down().BTDown->toolTip(),
                 QStringLiteral("%1 和下载文件夹都无法写入").arg(blocked + QStringLiteral("/bin")));
    } else {
        QCOMPARE(down().BTDown->Text(), QStringLiteral("下载完成！"));
        QFile torrent(saved);
        QVERIFY(torrent.open(QIODevice::ReadOnly));
        QCOMPARE(torrent.readAll(), kTorrent);
        const QString where = QStringLiteral("已保存到 ") + saved; // says where it went
        QCOMPARE(down().BTDown->toolTip(), where);
        QCOMPARE(
            QAccessible::queryAccessibleInterface(down().BTDown)->text(QAccessible::Description),
            where);
        QCOMPARE(
            QDir(home.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{"Downloads"}); // nothing else written
    }
}

void TestDown::windowLook()
{
    Down& d = openTorrents("A|a|");
    QCOMPARE(d.windowTitle(), QStringLiteral("BT下载 - Reelmate"));
    QCOMPARE(d.size(), QSize(499, 302));
    QVERIFY(d.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(d.BTList->geometry(), QRect(16, 72, 465, 146));
    QCOMPARE(d.BTDown->geometry(), QRect(16, 232, 465, 49));
    QCOMPARE(d.BTList1->geometry(), QRect(544, 152, 305, 98));
    QCOMPARE(d.ExitForm->geometry(), QRect(397, 0, 105, 57));
    QCOMPARE(d.FormMove->geometry(), QRect(0, 0, 393, 57));
    QCOMPARE(d.ExitForm->cursor().shape(), Qt::BitmapCursor);
    d.BTList->setFocus();
    QTest::keyClick(d.BTList, Qt::Key_Tab);
    QCOMPARE(d.focusWidget(), static_cast<QWidget*>(d.BTDown));
    QCOMPARE(d.BTDown->Text(), QStringLiteral("下载"));
    QCOMPARE(d.BTDown->Color_Text(), kIdle);
    QCOMPARE(d.BTDown->Font_Size(), short(13));
}

void TestDown::accessibility()
{
    openTorrents("A.torrent|&id=1&uhash=h|");
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&down());
    QCOMPARE(window->role(), QAccessible::Window);
    QCOMPARE(window->text(QAccessible::Name), QStringLiteral("BT下载 - Reelmate"));
    QStringList seen;
    for (int i = 0; i < window->childCount(); ++i)
        seen << QStringLiteral("%1 %2")
                    .arg(int(window->child(i)->role()))
                    .arg(window->child(i)->text(QAccessible::Name));
    QCOMPARE(seen, (QStringList{QStringLiteral("%1 种子列表").arg(int(QAccessible::List)),
                                QStringLiteral("%1 下载").arg(int(QAccessible::Button)),
                                QStringLiteral("%1 关闭").arg(int(QAccessible::Button))}));
    QCOMPARE(window->child(0)->childCount(), 1); // the names, not the hidden links
    window->child(2)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QTRY_VERIFY(!host_->existing()); // closed as by a click
}

void TestDown::pixels_data()
{
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QColor>("expected");
    QTest::newRow("title glyph") << QPoint(25, 30) << QColor(167, 167, 167);
    QTest::newRow("exit block") << QPoint(480, 5) << QColor(67, 76, 85);
    QTest::newRow("separator") << QPoint(250, 59) << QColor(67, 76, 85);
    QTest::newRow("list background") << QPoint(300, 200) << QColor(50, 58, 69);
    QTest::newRow("button face") << QPoint(20, 236) << QColor(67, 75, 85);
    QTest::newRow("strip below the picture") << QPoint(250, 301) << QColor(50, 58, 69);
}

void TestDown::pixels()
{
    QFETCH(QPoint, at);
    QFETCH(QColor, expected);
    const QImage image = openTorrents("A|a|").grab().toImage();
    const QString mismatch = ColorMismatch(image.pixelColor(at), expected);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestDown::zones_data()
{
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<int>("moves");
    QTest::addColumn<bool>("closes");
    QTest::newRow("column 392 drags") << QPoint(392, 20) << 1 << false;
    QTest::newRow("column 393 is neither") << QPoint(393, 20) << 0 << false;
    QTest::newRow("column 396 is neither") << QPoint(396, 20) << 0 << false;
    QTest::newRow("column 397 closes") << QPoint(397, 20) << 0 << true;
    QTest::newRow("row 57 is neither") << QPoint(450, 57) << 0 << false;
}

void TestDown::zones()
{
    QFETCH(QPoint, at);
    QFETCH(int, moves);
    QFETCH(bool, closes);
    Down& d = openTorrents("A|a|");
    QTest::mouseClick(d.windowHandle(), Qt::LeftButton, {}, at);
    QCOMPARE(desktop_->moves.size(), moves);
    QCOMPARE(host_->existing() == nullptr, closes);
    QCOMPARE(desktop_->exits, 0); // the torrent window's close zone does not end the program
}

QTEST_MAIN(TestDown)
#include "tst_down.moc"
