// Start-up: time from process start to the search window first painted, and resident memory once
// idle, against a minimal Qt Widgets program that shows one empty window, in the same run.
// Each figure is the median of several fresh processes.
// Run: build/bin/bench_startup [platform]   (default offscreen; "xcb" under Xvfb for a real
// display)

#include "app/search/Main.h"
#include "app/torrent/DownHost.h"
#include "app/torrent/TorrentList.h"
#include "platform/ui/Desktop.h"
#include "platform/ui/FontWarmUp.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

/** Writes one byte to the pipe on the window's first paint. */
class FirstPaint : public QObject {
public:
    explicit FirstPaint(int fd) : fd_(fd) {}
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && fd_ >= 0) {
            const char b = 1;
            (void)!write(fd_, &b, 1);
            fd_ = -1;
        }
        return false;
    }

private:
    int fd_;
};

int Child(bool reelmate, int fd, int argc, char* argv[])
{
    FontWarmUp fonts; // as app/main.cpp does it
    QApplication app(argc, argv);
    FirstPaint watcher(fd);
    if (reelmate) {
        // As app/main.cpp does it.
        InstallFontSubstitutes();
        fonts.wait();
        Endpoints endpoints{QStringLiteral("http://127.0.0.1:18080"),
                            QStringLiteral("http://127.0.0.1:18081"),
                            {},
                            {}};
        Main main(endpoints, Desktop::System());
        DownHost down(&main, endpoints, QCoreApplication::applicationDirPath(), Desktop::System());
        ConnectTorrentListing(main, down, endpoints);
        main.installEventFilter(&watcher);
        main.show();
        return app.exec();
    }
    QWidget window;
    window.resize(349, 494);
    window.installEventFilter(&watcher);
    window.show();
    return app.exec();
}

long RssKb(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

struct Sample {
    double ms;
    long rssKb;
};

Sample Run(const char* self, bool reelmate)
{
    int fds[2];
    (void)!pipe(fds);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        execl(self, self, reelmate ? "--child-reelmate" : "--child-minimal", fd.c_str(), nullptr);
        _exit(127);
    }
    close(fds[1]);
    char b;
    (void)!read(fds[0], &b, 1);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    usleep(1500 * 1000); // idle
    const long rss = RssKb(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(fds[0]);
    return {ms, rss};
}

template <class T> T Median(std::vector<T> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc >= 3 && std::strncmp(argv[1], "--child-", 8) == 0)
        return Child(std::strcmp(argv[1], "--child-reelmate") == 0, std::atoi(argv[2]), 1, argv);
    setenv("QT_QPA_PLATFORM", argc > 1 ? argv[1] : "offscreen", 1);
    const int runs = 7;
    std::vector<double> ms[2];
    std::vector<long> rss[2];
    for (int i = 0; i < runs; ++i)
        for (int which : {0, 1}) {
            const Sample s = Run(argv[0], which == 1);
            ms[which].push_back(s.ms);
            rss[which].push_back(s.rssKb);
        }
    const double m0 = Median(ms[0]), m1 = Median(ms[1]);
    const long r0 = Median(rss[0]), r1 = Median(rss[1]);
    std::printf("%-22s %12s %12s\n", "", "first paint", "idle RSS");
    std::printf("%-22s %9.1f ms %9ld kB\n", "minimal Qt window", m0, r0);
    std::printf("%-22s %9.1f ms %9ld kB\n", "reelmate search window", m1, r1);
    std::printf("%-22s %12.2f %12.2f\n", "ratio", m1 / m0, double(r1) / double(r0));
    return 0;
}
