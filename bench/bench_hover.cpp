// The search window on a real display: CPU used by the program and by the X server over 20 s with
// the pointer parked on "下载" (fade done, leave poll ticking), against the same with the pointer
// resting away from the window, read from /proc in the same run.
// Run: xvfb-run -a build/bin/bench_hover [seconds]

#include "app/search/Main.h"
#include "app/torrent/DownHost.h"
#include "app/torrent/TorrentList.h"
#include "controls/pbutton/PButton.h"
#include "platform/ui/Desktop.h"
#include "platform/ui/FontWarmUp.h"
#include "platform/ui/Ticker.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

/** The program as its main builds it, with the pointer moved on or off "下载". Writes one byte
 *  once settled: 1 when the leave poll runs, 0 when it does not. */
int Child(bool onButton, int fd, int argc, char* argv[])
{
    FontWarmUp fonts;
    QApplication app(argc, argv);
    InstallFontSubstitutes();
    fonts.wait();
    Endpoints endpoints{
        QStringLiteral("http://127.0.0.1:18080"), QStringLiteral("http://127.0.0.1:18081"), {}, {}};
    Main main(endpoints, Desktop::System());
    DownHost down(&main, endpoints, QCoreApplication::applicationDirPath(), Desktop::System());
    ConnectTorrentListing(main, down, endpoints);
    main.show();
    if (!QTest::qWaitForWindowExposed(&main)) return 1;
    const QPoint away = main.frameGeometry().bottomRight() + QPoint(40, 40);
    QCursor::setPos(onButton ? main.BTDown->mapToGlobal(main.BTDown->rect().center()) : away);
    QTimer::singleShot(1500, &main, [&] {
        const char polling = main.BTDown->Timer1()->Enabled() ? 1 : 0;
        (void)!write(fd, &polling, 1);
    });
    return app.exec();
}

/** CPU ticks (user and system) a process has used so far. */
long long CpuTicks(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return -1;
    const QByteArray line = stat.readAll();
    // Fields after the command name, which may hold spaces: state is the first.
    const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return f.size() > 12 ? f[11].toLongLong() + f[12].toLongLong() : -1;
}

/** The X server this program talks to: the Xvfb whose command line names our display. */
pid_t XServer()
{
    const QByteArray display = qgetenv("DISPLAY");
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = pid_t(entry.toInt(&number));
        if (!number) continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!cmdline.open(QIODevice::ReadOnly)) continue;
        const QList<QByteArray> args = cmdline.readAll().split('\0');
        if (!args.isEmpty() && args[0].endsWith("Xvfb") && args.contains(display)) return pid;
    }
    return -1;
}

struct Share {
    double program = -1, server = -1; // percent of one core
    bool polling = false;
};

Share Measure(const char* self, bool onButton, int seconds, pid_t server)
{
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        execl(self, self, onButton ? "--child-on" : "--child-off", fd.c_str(), nullptr);
        _exit(127);
    }
    close(fds[1]);
    Share share;
    char polling = 0;
    if (read(fds[0], &polling, 1) == 1) {
        share.polling = polling == 1;
        const double tick = double(sysconf(_SC_CLK_TCK));
        const long long p0 = CpuTicks(pid), s0 = CpuTicks(server);
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const long long p1 = CpuTicks(pid), s1 = CpuTicks(server);
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        share.program = 100.0 * double(p1 - p0) / tick / wall;
        share.server = 100.0 * double(s1 - s0) / tick / wall;
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(fds[0]);
    return share;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc >= 3 && std::strncmp(argv[1], "--child-", 8) == 0)
        return Child(std::strcmp(argv[1], "--child-on") == 0, std::atoi(argv[2]), 1, argv);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    const pid_t server = XServer();
    if (server < 0) {
        std::fprintf(stderr, "bench_hover: no Xvfb found for DISPLAY; run it under xvfb-run\n");
        return 2;
    }
    std::printf("%-26s %14s %14s %12s\n", "", "program % core", "X server %", "leave poll");
    for (bool on : {false, true}) {
        const Share s = Measure(argv[0], on, seconds, server);
        std::printf("%-26s %14.2f %14.2f %12s\n", on ? "pointer on 下载" : "pointer elsewhere",
                    s.program, s.server, s.polling ? "ticking" : "stopped");
        std::fflush(stdout);
    }
    return 0;
}
