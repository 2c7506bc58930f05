// The relay under hostile load, against the real reelmate-relay process (a fresh one for each
// memory figure, so that each peak is its own):
//  1. 48 concurrent uncached searches whose page is 8 MB with 150,000 rows: the relay's peak RSS.
//  2. A page that nests the result row 127 deep around one large title (every row's title would
//     be all of it): one of 8 MB, then eight of 1 MB at once: peak RSS.
//  3. 3,000 film pages in 3,000 folders, each answer setting a path-less 3 KB session cookie:
//     RSS growth.
//  4. 600 connections from 127.0.0.2 that send one header byte every 5 s (reconnecting when
//     turned away) while /healthz is probed 30 times from 127.0.0.1: how many probes answer
//     within 100 ms.
// Run: build/bin/bench_relay_limits   (the relay binary is taken from the same folder)

#include "platform/core/HttpCall.h"
#include "serve/HttpService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

std::string BigPage(int rows)
{
    std::string page = "<html><body><ul class='results'>\n";
    for (int i = 0; i < rows; ++i)
        page += "<li><a class='title' href='/f/" + std::to_string(i) + "'>T" + std::to_string(i) +
                "</a></li>\n";
    return page + "</ul></body></html>\n";
}

int FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

long StatusKb(qint64 pid, const char* field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(strlen(field))).trimmed().split(' ')[0].toLong();
    return 0;
}

HttpOutcome Get(const QString& url, std::chrono::milliseconds total = 30s)
{
    HttpCall call;
    call.url = url;
    call.limits.total = total;
    return PerformHttp(call);
}

/** A non-blocking connection from 127.0.0.2 to the relay; -1 when refused at once. */
int SlowConnect(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return fd;
}

std::string NestedPage(size_t bytes)
{
    std::string page = "<html><body>";
    for (int i = 0; i < 127; ++i)
        page += "<ul class='results'><li>"; // a list inside each row: the rows nest
    return page + "<a class='title' href='/f/1'>" + std::string(bytes, 'x') + "</a>";
}

/** A reelmate-relay process of its own in front of the site. */
struct RelayProcess {
    QTemporaryDir dir;
    QProcess process;
    QString base;

    explicit RelayProcess(int sitePort)
    {
        const int port = FreePort();
        QFile conf(dir.filePath(QStringLiteral("relay.conf")));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("[relay]\nlisten = 127.0.0.1:%1\ncache_seconds = 0\n"
                                  "[site big]\nbase = http://127.0.0.1:%2\ncharset = UTF-8\n"
                                  "search_rows = //ul[@class='results']/li\n"
                                  "search_title = .//a[@class='title']\n"
                                  "search_path = .//a[@class='title']/@href\n"
                                  "film_rows = //tr\nfilm_name = ./td\nfilm_link = .//a/@href\n")
                       .arg(port)
                       .arg(sitePort)
                       .toUtf8());
        conf.close();
        process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        process.setStandardErrorFile(dir.filePath(QStringLiteral("relay.log")));
        process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/reelmate-relay"),
                      {QStringLiteral("--config"), conf.fileName()});
        process.waitForStarted();
        base = QStringLiteral("http://127.0.0.1:%1").arg(port);
        while (Get(base + QStringLiteral("/healthz"), 1s).status != 200)
            QThread::msleep(50);
    }
    ~RelayProcess()
    {
        process.terminate();
        process.waitForFinished();
    }
    double mb(const char* field) { return StatusKb(process.processId(), field) / 1024.0; }

    /** Runs n requests for target(i) at once; counts the 200s. */
    int Concurrent(int n, const std::function<QString(int)>& target)
    {
        std::atomic_int ok{0};
        std::vector<std::thread> clients;
        for (int i = 0; i < n; ++i)
            clients.emplace_back([&, i] {
                const HttpOutcome out = Get(base + target(i));
                if (out.completed && out.status == 200) ++ok;
            });
        for (auto& c : clients)
            c.join();
        return ok.load();
    }
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const std::string page = BigPage(150000);
    const std::string nested8 = NestedPage(8000000), nested1 = NestedPage(1 << 20);
    HttpService site([&](const ServiceRequest& q, ServiceResponse& r) {
        r.contentType = "text/html; charset=utf-8";
        if (q.target.find("nested8") != std::string::npos)
            r.body = nested8;
        else if (q.target.find("nested1") != std::string::npos)
            r.body = nested1;
        else if (q.target.find("/film/") == 0) // a session cookie for whatever folder was asked
            r.headers["Set-Cookie"] = "session=" + std::string(3000, 's') + "; HttpOnly";
        else
            r.body = page;
    });
    HttpService::Options siteOptions;
    siteOptions.maxConnections = 1024;
    siteOptions.maxConnectionsPerClient = 1024;
    site.start(siteOptions);
    const QString sitePrefix = QStringLiteral("http://127.0.0.1:%1").arg(site.port());
    const auto search = [&](const QString& q) {
        return QStringLiteral("/moviejk/Find.php?url=") + sitePrefix + QStringLiteral("/s.php?q=") +
               q;
    };
    std::printf("page: %.2f MB, 150000 rows\n", page.size() / 1e6);

    // 1. Memory under 48 concurrent large answers.
    {
        RelayProcess relay(site.port());
        std::printf("relay idle: %.0f MB RSS\n", relay.mb("VmRSS:"));
        QElapsedTimer clock;
        clock.start();
        const int concurrent = argc > 1 ? std::atoi(argv[1]) : 48;
        const int ok =
            relay.Concurrent(concurrent, [&](int i) { return search(QString::number(i)); });
        std::printf("%d answers of 8 MB pages: %d ok, %d refused (busy or late) in %.1f s; relay "
                    "peak RSS %.0f MB\n",
                    concurrent, ok, concurrent - ok, clock.elapsed() / 1000.0, relay.mb("VmHWM:"));
    }
    // 2. Rows nested in rows.
    {
        RelayProcess relay(site.port());
        const int one = relay.Concurrent(1, [&](int) { return search(QStringLiteral("nested8")); });
        std::printf("an 8 MB page nesting its rows 127 deep: %s; relay peak RSS %.0f MB\n",
                    one ? "answered" : "refused", relay.mb("VmHWM:"));
    }
    {
        RelayProcess relay(site.port());
        const int ok =
            relay.Concurrent(8, [&](int i) { return search(QStringLiteral("nested1-%1").arg(i)); });
        std::printf("eight 1 MB nested pages at once: %d answered; relay peak RSS %.0f MB\n", ok,
                    relay.mb("VmHWM:"));
    }
    // 3. A path-less cookie from 3,000 folders.
    {
        RelayProcess relay(site.port());
        const double before = relay.mb("VmRSS:");
        QElapsedTimer clock;
        clock.start();
        int ok = 0;
        for (int i = 0; i < 3000; ++i)
            ok += Get(relay.base + QStringLiteral("/moviejk/Down.php?url=%1/film/d%2/f.html")
                                       .arg(sitePrefix)
                                       .arg(i))
                      .status == 200;
        std::printf("3000 film pages in 3000 folders, each setting a cookie: %d ok in %.1f s; "
                    "relay RSS %.1f MB -> %.1f MB\n",
                    ok, clock.elapsed() / 1000.0, before, relay.mb("VmRSS:"));
    }

    if (argc > 2) return 0;
    RelayProcess relay(site.port());
    const int port = QUrl(relay.base).port();
    const QString base = relay.base;
    QElapsedTimer clock;
    if (argc > 2) return 0;
    // 2. A slow-header crowd from one address.
    std::vector<int> crowd(600, -1);
    std::atomic_bool stop{false};
    std::thread attacker([&] {
        int round = 0;
        while (!stop) {
            for (int& fd : crowd) {
                char b;
                if (fd >= 0 && recv(fd, &b, 1, MSG_DONTWAIT) == 0) { // turned away: come back
                    close(fd);
                    fd = -1;
                }
                if (fd < 0) fd = SlowConnect(port);
                if (round % 5 == 0) (void)send(fd, "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            ++round;
            std::this_thread::sleep_for(1s);
        }
    });
    std::this_thread::sleep_for(2s);
    int fast = 0;
    qint64 worst = 0;
    for (int i = 0; i < 30; ++i) {
        clock.restart();
        const HttpOutcome out = Get(base + QStringLiteral("/healthz"), 2s);
        const qint64 ms = clock.elapsed();
        worst = std::max(worst, ms);
        if (out.status == 200 && ms <= 100) ++fast;
        std::this_thread::sleep_for(500ms);
    }
    stop = true;
    attacker.join();
    for (int fd : crowd)
        if (fd >= 0) close(fd);
    std::printf("600 slow connections from 127.0.0.2: /healthz answered %d of 30 probes within "
                "100 ms (slowest %lld ms)\n",
                fast, (long long)worst);
}
