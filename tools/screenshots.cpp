// Shows both windows on a real X display, driven as a user drives them against the real demo
// services (started here: the demo site on 127.0.0.1:18081, the relay on :18080 with its built-in
// configuration), and saves what the display shows of them.
// Usage: reelmate-screenshots OUTDIR   (tools/screenshots.sh runs it under Xvfb)

#include "app/search/Main.h"
#include "app/torrent/Down.h"
#include "app/torrent/DownHost.h"
#include "app/torrent/TorrentList.h"
#include "controls/pbutton/PButton.h"
#include "platform/ui/Desktop.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/TextBox.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QScreen>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace {

bool Shoot(QWidget& window, const QString& file)
{
    const QRect r = window.frameGeometry();
    return window.screen()->grabWindow(0, r.x(), r.y(), r.width(), r.height()).save(file);
}

bool Listening(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    return socket.waitForConnected(200);
}

/** A service from this build, up once its port takes connections. */
bool Start(QProcess& service, const QString& program, quint16 port)
{
    if (Listening(port)) {
        std::fprintf(stderr, "port %u is taken: stop what listens there first\n", port);
        return false;
    }
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start(QCoreApplication::applicationDirPath() + u'/' + program, {});
    for (int i = 0; i < 100 && service.state() != QProcess::NotRunning; ++i) {
        if (Listening(port)) return true;
        QTest::qWait(50);
    }
    std::fprintf(stderr, "%s did not start\n", qPrintable(program));
    return false;
}

int Fail(const char* what)
{
    std::fprintf(stderr, "screenshots: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    InstallFontSubstitutes();
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs"));
    QProcess site, relay;
    if (!Start(site, QStringLiteral("reelmate-demo-site"), 18081) ||
        !Start(relay, QStringLiteral("reelmate-relay"), 18080))
        return 1;
    Endpoints endpoints{
        QStringLiteral("http://127.0.0.1:18080"), QStringLiteral("http://127.0.0.1:18081"), {}, {}};
    const QTemporaryDir saved;

    Main main(endpoints, Desktop::System());
    DownHost host(&main, endpoints, saved.path(), Desktop::System());
    ConnectTorrentListing(main, host, endpoints);
    main.move(20, 20);
    main.show();
    if (!QTest::qWaitForWindowExposed(&main)) return Fail("the search window did not show");
    QTest::mouseClick(main.FindText, Qt::LeftButton);
    main.FindText->setText(QStringLiteral("无间道"));
    QTest::keyClick(main.FindText, Qt::Key_Return);
    if (main.DownList->ListCount() < 3) return Fail("the demo site gave too few hits");
    main.DownList->SetListIndex(2);
    QTest::mouseClick(main.BTDown, Qt::LeftButton, {}, QPoint(10, 10));

    Down* down = host.existing();
    if (!down || down->BTList->ListCount() == 0) return Fail("no torrents listed");
    down->move(400, 20);
    QTest::mouseClick(down->BTList->viewport(), Qt::LeftButton, {}, QPoint(10, 8));
    QTest::mouseClick(down->BTDown, Qt::LeftButton, {}, QPoint(10, 10));
    if (!QTest::qWaitFor([down] { return down->BTDown->Text() == QStringLiteral("下载完成！"); }))
        return Fail("the torrent was not saved");
    QTest::qWait(800); // the button's fade and the window manager settle

    const bool ok = Shoot(main, out.filePath(QStringLiteral("search.png"))) &&
                    Shoot(*down, out.filePath(QStringLiteral("torrent.png")));
    relay.terminate();
    site.terminate();
    relay.waitForFinished();
    site.waitForFinished();
    return ok ? 0 : 1;
}
