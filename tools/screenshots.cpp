// Shows both windows on a real X display and saves what the display shows of them.
// Usage: reelmate-screenshots OUTDIR   (tools/screenshots.sh runs it under Xvfb)

#include "app/search/Main.h"
#include "app/torrent/Down.h"
#include "controls/pbutton/PButton.h"
#include "platform/ui/AutoLabel.h"
#include "platform/ui/Desktop.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/TextBox.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QScreen>
#include <QTimer>

namespace {

void Settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool Shoot(QWidget& window, const QString& file)
{
    const QRect r = window.frameGeometry();
    return window.screen()->grabWindow(0, r.x(), r.y(), r.width(), r.height()).save(file);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    InstallFontSubstitutes();
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs"));
    Endpoints endpoints{
        QStringLiteral("http://127.0.0.1:1"), QStringLiteral("http://127.0.0.1:1"), {}, {}};

    Main main(endpoints, Desktop::System());
    main.move(20, 20);
    main.FindText->setText(QStringLiteral("无间道"));
    const QStringList hits = {QStringLiteral("无间道 Infernal Affairs (2002)"),
                              QStringLiteral("无间道2 Infernal Affairs II (2003)"),
                              QStringLiteral("无间道3：终极无间 Infernal Affairs III (2003)"),
                              QStringLiteral("无间道风云 The Departed (2006)")};
    for (const QString& hit : hits)
        main.DownList->AddItem(hit);
    main.DownList->SetListIndex(1);
    main.resultstr->SetCaption(ResultText(hits.size()));
    main.show();

    Down down(endpoints, QDir::tempPath(), Desktop::System());
    down.move(400, 20);
    for (const QString& name :
         {QStringLiteral("无间道2.Infernal.Affairs.II.2003.1080p.BluRay.torrent"),
          QStringLiteral("无间道2.2003.720p.HDTV.torrent"),
          QStringLiteral("无间道2.2003.DVDRip.国粤双语.torrent")})
        down.BTList->AddItem(name);
    down.BTList->SetListIndex(0);
    down.BTDown->SetText(QStringLiteral("下载完成！"));
    down.BTDown->SetColor_Text(0x80FF80);
    down.show();

    Settle(800);
    const bool ok = Shoot(main, out.filePath(QStringLiteral("search.png"))) &&
                    Shoot(down, out.filePath(QStringLiteral("torrent.png")));
    return ok ? 0 : 1;
}
