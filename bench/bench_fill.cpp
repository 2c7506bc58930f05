// Filling the search window's hit lists: time from Enter to the count shown and the list painted,
// and the process's peak memory, for replies of 10,000 to 1,000,000 hits. The floor beside it is
// a bare Qt program taking the same reply: GET it with libcurl, decode it, split it, hand the
// items to two QListViews over QStringListModels, paint. Every figure is the median of fresh
// processes, all fetching from one loopback server in this process. "floor ms after" leaves the
// floor's fetch out; ratio compares with the whole floor, ratio2 with the floor after its fetch.
// Run: build/bin/bench_fill [platform] [hits...]   (default offscreen; "xcb" under Xvfb for the
// real window, e.g. xvfb-run -a build/bin/bench_fill xcb)

#include "app/search/Main.h"
#include "platform/ui/AutoLabel.h"
#include "platform/ui/Desktop.h"
#include "platform/ui/FontWarmUp.h"
#include "platform/ui/ListBox.h"
#include "platform/ui/TextBox.h"
#include "serve/HttpService.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QListView>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QStringListModel>
#include <QTest>

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

/** A relay reply in the site's encoding: Chinese titles with their page paths. */
std::string Reply(int hits)
{
    QString text;
    text.reserve(qsizetype(hits) * 40);
    for (int i = 0; i < hits; ++i)
        text += QStringLiteral("电影第%1部 Film %1|/film/%1.html|").arg(i);
    QStringEncoder gb("GB2312");
    return QByteArray(gb.encode(text)).toStdString();
}

size_t Append(char* data, size_t size, size_t count, void* bytes)
{
    static_cast<QByteArray*>(bytes)->append(data, qsizetype(size * count));
    return size * count;
}

/** The floor: what a bare Qt program does with the same reply. */
int FloorChild(int argc, char* argv[], const char* url, int hits)
{
    QApplication app(argc, argv);
    QWidget window;
    auto* layout = new QHBoxLayout(&window);
    QListView titles, paths;
    QStringListModel titleModel, pathModel;
    for (QListView* view : {&titles, &paths}) {
        view->setUniformItemSizes(true);
        layout->addWidget(view);
    }
    titles.setModel(&titleModel);
    paths.setModel(&pathModel);
    window.resize(349, 494);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;
    curl_global_init(CURL_GLOBAL_DEFAULT); // once per process, not per search

    QElapsedTimer clock;
    clock.start();
    QByteArray bytes;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bytes);
    curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    const double fetchMs = double(clock.nsecsElapsed()) / 1e6;
    QStringDecoder gb("GB2312");
    const QString text = gb.decode(bytes);
    bytes = QByteArray();
    QStringList odd, even;
    odd.reserve(hits);
    even.reserve(hits);
    qsizetype from = 0;
    for (qsizetype bar; (bar = text.indexOf(u'|', from)) >= 0; from = bar + 1)
        ((odd.size() == even.size()) ? odd : even).append(text.mid(from, bar - from));
    titleModel.setStringList(odd);
    pathModel.setStringList(even);
    window.repaint();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    if (titleModel.rowCount() != hits) return 3;
    std::printf("%.2f %.2f\n", ms, ms - fetchMs);
    return 0;
}

/** The search window, driven as the user does it: type, press Enter. */
int ReelmateChild(int argc, char* argv[], const char* url, int hits)
{
    FontWarmUp fonts; // as the program's main does it
    QApplication app(argc, argv);
    InstallFontSubstitutes();
    fonts.wait();
    Endpoints endpoints;
    endpoints.relay = QString::fromLatin1(url);
    endpoints.site = QStringLiteral("http://127.0.0.1:1");
    Main main(endpoints, Desktop::System());
    main.show();
    if (!QTest::qWaitForWindowExposed(&main)) return 1;
    main.FindText->setText(QStringLiteral("film"));
    curl_global_init(CURL_GLOBAL_DEFAULT); // once per process, not per search

    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(main.FindText, Qt::Key_Return);
    main.repaint();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    if (main.DownList->ListCount() != hits || main.UrlList->ListCount() != hits) return 3;
    std::printf("%.2f\n", ms);
    return 0;
}

struct Sample {
    double ms = -1;
    double afterFetchMs = -1; // the floor's decode, split, add and paint alone
    double peakMb = -1;
};

/** Runs this program as one child and reads its figure and its peak resident memory. */
Sample Run(const char* self, const char* which, const std::string& url, int hits)
{
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        const std::string n = std::to_string(hits);
        execl(self, self, which, url.c_str(), n.c_str(), nullptr);
        _exit(127);
    }
    close(fds[1]);
    char out[64] = {};
    const ssize_t got = read(fds[0], out, sizeof out - 1);
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (got <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    Sample s;
    if (std::sscanf(out, "%lf %lf", &s.ms, &s.afterFetchMs) < 1) return {};
    s.peakMb = double(usage.ru_maxrss) / 1024.0;
    return s;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 4 && std::strcmp(argv[1], "--floor") == 0)
        return FloorChild(argc, argv, argv[2], std::atoi(argv[3]));
    if (argc == 4 && std::strcmp(argv[1], "--reelmate") == 0)
        return ReelmateChild(argc, argv, argv[2], std::atoi(argv[3]));

    setenv("QT_QPA_PLATFORM", argc > 1 ? argv[1] : "offscreen", 1);
    std::vector<int> counts;
    for (int i = 2; i < argc; ++i)
        counts.push_back(std::atoi(argv[i]));
    if (counts.empty()) counts = {10000, 100000, 1000000};

    std::string body;
    HttpService relay([&body](const ServiceRequest&, ServiceResponse& res) { res.body = body; });
    relay.start({});
    const std::string url = "http://127.0.0.1:" + std::to_string(relay.port());

    std::printf("platform %s, median of fresh processes\n", getenv("QT_QPA_PLATFORM"));
    std::printf("%9s %10s %14s %12s %7s %7s %10s %12s %7s\n", "hits", "floor ms", "floor ms after",
                "reelmate ms", "ratio", "ratio2", "floor MB", "reelmate MB", "ratio");
    for (int hits : counts) {
        body = Reply(hits);
        const int runs = hits >= 1000000 ? 3 : 5;
        std::vector<double> ms[2], mb[2], afterFetch;
        for (int i = 0; i < runs; ++i)
            for (int which : {0, 1}) {
                const Sample s = Run(argv[0], which == 0 ? "--floor" : "--reelmate", url, hits);
                if (s.ms < 0) {
                    std::fprintf(stderr, "a %s child failed\n", which == 0 ? "floor" : "reelmate");
                    return 1;
                }
                ms[which].push_back(s.ms);
                if (which == 0) afterFetch.push_back(s.afterFetchMs);
                mb[which].push_back(s.peakMb);
            }
        const double t0 = Median(ms[0]), t1 = Median(ms[1]), m0 = Median(mb[0]), m1 = Median(mb[1]),
                     a0 = Median(afterFetch);
        std::printf("%9d %10.1f %14.1f %12.1f %7.2f %7.2f %10.1f %12.1f %7.2f\n", hits, t0, a0, t1,
                    t1 / t0, t1 / a0, m0, m1, m1 / m0);
        std::fflush(stdout);
    }
    return 0;
}
