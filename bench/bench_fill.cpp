// Fills the search window's lists from relay replies of 1,000, 10,000 and 100,000 hits and prints
// milliseconds, next to the same fill done the plain way (cutting each item off the front of the
// text, which copies the rest every time) as the baseline.
// Run: QT_QPA_PLATFORM=offscreen build/bin/bench_fill

#include "app/search/Main.h"
#include "platform/ui/AutoLabel.h"
#include "platform/ui/Desktop.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/TextBox.h"
#include "serve/HttpService.h"
#include "web/Functions.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cstdio>

namespace {

std::string Reply(int hits)
{
    std::string reply;
    for (int i = 0; i < hits; ++i)
        reply +=
            "Film title number " + std::to_string(i) + "|/film/" + std::to_string(i) + ".html|";
    return reply;
}

/** The plain fill: take the text before the first "|", then keep only what follows it. */
double PlainFillMs(ListBox& titles, ListBox& paths, QString text, double limitMs, bool& finished)
{
    titles.Clear();
    paths.Clear();
    QElapsedTimer clock;
    clock.start();
    int n = 1;
    finished = true;
    while (text.contains(u'|')) {
        QCoreApplication::processEvents();
        const qsizetype p = text.indexOf(u'|') + 1;
        (n % 2 == 1 ? titles : paths).AddItem(text.left(p - 1));
        text = text.mid(p);
        ++n;
        if ((n & 1023) == 0 && clock.elapsed() > limitMs) {
            finished = false;
            break;
        }
    }
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InstallFontSubstitutes();

    std::string body;
    HttpService relay([&body](const ServiceRequest&, ServiceResponse& res) { res.body = body; });
    relay.start({});
    Endpoints endpoints;
    endpoints.relay = QStringLiteral("http://127.0.0.1:%1").arg(relay.port());
    endpoints.site = QStringLiteral("http://127.0.0.1:1");
    Main main(endpoints, Desktop::System());
    main.show();
    if (!QTest::qWaitForWindowExposed(&main)) return 1;

    std::printf("%10s %14s %14s %14s %16s\n", "hits", "search ms", "fetch ms", "fill ms",
                "plain fill ms");
    for (int hits : {1000, 10000, 100000}) {
        body = Reply(hits);
        const QString url = endpoints.relay + QStringLiteral("/x");

        QElapsedTimer clock;
        clock.start();
        FetchText(url);
        const double fetchMs = double(clock.nsecsElapsed()) / 1e6;

        main.FindText->setText(QStringLiteral("film"));
        clock.restart();
        QTest::keyClick(main.FindText, Qt::Key_Return);
        const double searchMs = double(clock.nsecsElapsed()) / 1e6;
        if (main.DownList->ListCount() != hits)
            std::printf("unexpected count %d\n", main.DownList->ListCount());

        bool finished = false;
        const double plainMs = PlainFillMs(*main.DownList, *main.UrlList,
                                           QString::fromStdString(body), 120000, finished);
        std::printf("%10d %14.1f %14.1f %14.1f %15.1f%s\n", hits, searchMs, fetchMs,
                    searchMs - fetchMs, plainMs, finished ? "" : "+ (stopped)");
        std::fflush(stdout);
    }
    return 0;
}
