// From the press of the torrent window's button to the file saved and "下载完成！" shown, for a
// 1 MiB torrent from a local server, against curl posting the same request and writing the same
// file, in the same run (medians of 20).
// Run: build/bin/bench_download   (needs the curl command)

#include "app/torrent/Down.h"
#include "app/torrent/DownHost.h"
#include "controls/pbutton/PButton.h"
#include "platform/ui/Desktop.h"
#include "platform/ui/ListBox.h"
#include "serve/HttpService.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

std::string Torrent(size_t size)
{
    const std::string head =
        "d8:announce20:http://127.0.0.1/ann4:infod6:lengthi1048576e4:name4:film"
        "12:piece lengthi262144e6:pieces";
    const size_t pieces = size - head.size() - 16;
    std::string t = head + std::to_string(pieces) + ":";
    for (size_t i = 0; i < pieces; ++i)
        t.push_back(char('a' + i % 26));
    return t + "ee";
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string torrent = Torrent(1 << 20);
    HttpService site([&torrent](const ServiceRequest&, ServiceResponse& res) {
        res.body = torrent;
        res.contentType = "application/x-bittorrent";
    });
    site.start({});
    const QString url = QStringLiteral("http://127.0.0.1:%1").arg(site.port());
    QTemporaryDir folder;
    Endpoints endpoints{url, url, {}, {}};
    DownHost host(nullptr, endpoints, folder.path(), Desktop::System());
    Down& down = host.get();
    down.BTList->AddItem(QStringLiteral("film.torrent"));
    down.BTList1->AddItem(QStringLiteral("/t.php?&id=42&uhash=0123456789abcdef"));
    down.BTList->SetListIndex(0);
    host.Show();
    if (!QTest::qWaitForWindowExposed(&down)) return 1;

    const int runs = 20;
    std::vector<double> ours, curl;
    for (int i = 0; i < runs; ++i) {
        down.BTList->SetListIndex(0); // idle look again
        QEventLoop loop;
        const auto done =
            QObject::connect(down.BTDown, &PButton::PropertyChanged, &loop, [&](const QString& p) {
                if (p == u"Color_Text") loop.quit();
            });
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(down.BTDown, Qt::LeftButton, {}, QPoint(5, 5));
        loop.exec();
        ours.push_back(double(clock.nsecsElapsed()) / 1e6);
        QObject::disconnect(done);
        if (down.BTDown->Text() != QStringLiteral("下载完成！")) std::printf("download failed\n");

        clock.restart();
        QProcess::execute(QStringLiteral("curl"),
                          {QStringLiteral("-s"), QStringLiteral("-o"),
                           folder.filePath(QStringLiteral("curl.torrent")), QStringLiteral("-H"),
                           QStringLiteral("Content-Type: application/x-www-form-urlencoded"),
                           QStringLiteral("--data"),
                           QStringLiteral("action=download&id=42&uhash=0123456789abcdef"),
                           url + QStringLiteral("/download.php")});
        curl.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::printf("1 MiB torrent, median of %d\n", runs);
    std::printf("  reelmate press to saved: %7.2f ms\n", Median(ours));
    std::printf("  curl post and save:      %7.2f ms\n", Median(curl));
    std::printf("  ratio:                   %7.2f\n", Median(ours) / Median(curl));
    return 0;
}
