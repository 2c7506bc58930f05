// Many definition sites behind one relay. Two measures:
// 1. Search: 20 loopback sites, 19 answering after 0, 5, ... 90 ms and one that accepts
//    connections and never answers. After that site's first time-out, each search should answer
//    within the slowest healthy site's time + 50 ms; prints p50, p90 and max of the searches
//    against the slowest site fetched directly, and the relay's CPU time per search.
// 2. Start-up: --check-definition over 1,000 definition files written here (or over a folder
//    given), with its time and peak memory.
// Run: build/bin/bench_many_sites [searches] [folder of definitions]

#include "BenchCommon.h"
#include "platform/core/HttpCall.h"
#include "serve/HttpService.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kSites = 20;
constexpr int kRelayPort = 18991;

/** About 20 KB: 10 rows. */
std::string Page()
{
    std::string page = "<html><body><table class=torrents>";
    for (int i = 0; i < 10; ++i)
        page.append("<tr><td class=name><a href=/d/")
            .append(std::to_string(i))
            .append(">Film ")
            .append(std::to_string(i))
            .append(" 1080p</a></td><td><a href=/get/")
            .append(std::to_string(i))
            .append(".torrent>t</a></td><td>")
            .append(std::string(1900, 'x'))
            .append("</td></tr>");
    return page.append("</table></body></html>");
}

double Get(const QString& url, HttpSession& session, long* status = nullptr)
{
    HttpCall call;
    call.url = url;
    call.limits.total = std::chrono::seconds(30);
    QElapsedTimer t;
    t.start();
    const HttpOutcome out = PerformHttp(call, &session);
    if (status) *status = out.status;
    return double(t.nsecsElapsed()) / 1e6;
}

/** The process's user + system CPU time so far, in ms. */
double CpuMs(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) return 0;
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return double(fields[11].toLongLong() + fields[12].toLongLong()) * 1000.0 /
           double(sysconf(_SC_CLK_TCK));
}

/** A port that takes connections into its backlog and never answers them. */
int HangingPort(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 128);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    return fd;
}

void Write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(bytes);
}

void Searches(int n)
{
    const std::string page = Page();
    std::vector<std::unique_ptr<HttpService>> sites;
    QTemporaryDir dir;
    Write(dir.filePath(QStringLiteral("site.yml")), kBenchDefinition);
    QString conf = QStringLiteral("[relay]\nlisten = 127.0.0.1:%1\ncache_seconds = 0\n"
                                  "total_timeout_ms = 3000\nconnect_timeout_ms = 1000\n"
                                  "[gateway]\nbase = http://gateway.test\nsecret_file = secret\n"
                                  "dht = off\nbt_listen = 127.0.0.1:0\n")
                       .arg(kRelayPort);
    int hangingPort = 0;
    const int hanging = HangingPort(hangingPort);
    QString slowest;
    for (int k = 0; k < kSites; ++k) {
        int port = hangingPort;
        if (k < kSites - 1) {
            const auto delay = std::chrono::milliseconds(5 * k);
            sites.push_back(std::make_unique<HttpService>(
                [&page, delay](const ServiceRequest&, ServiceResponse& r) {
                    std::this_thread::sleep_for(delay);
                    r.body = page;
                    r.contentType = "text/html; charset=utf-8";
                }));
            sites.back()->start({});
            port = sites.back()->port();
            slowest = QStringLiteral("http://127.0.0.1:%1/search?q=x").arg(port);
        }
        conf += QStringLiteral("[site s%1]\ndefinition = site.yml\nbase = http://127.0.0.1:%2\n")
                    .arg(k)
                    .arg(port);
    }
    Write(dir.filePath(QStringLiteral("relay.conf")), conf.toUtf8());
    QProcess relay;
    relay.setProcessChannelMode(QProcess::ForwardedChannels);
    relay.start(QCoreApplication::applicationDirPath() + QStringLiteral("/reelmate-relay"),
                {QStringLiteral("--config"), dir.filePath(QStringLiteral("relay.conf"))});
    relay.waitForStarted();
    const QString relayUrl = QStringLiteral("http://127.0.0.1:%1").arg(kRelayPort);
    HttpSession toRelay, toSite;
    long live = 0;
    for (int i = 0; i < 100 && live != 200; ++i) {
        Get(relayUrl + QStringLiteral("/livez"), toRelay, &live);
        if (live != 200) QThread::msleep(50);
    }
    const QString search =
        relayUrl + QStringLiteral("/moviejk/Find.php?url=http://gateway.test/s.php?q=film");
    const double first = Get(search, toRelay);
    std::vector<double> direct, through;
    for (int i = 0; i < 20; ++i)
        direct.push_back(Get(slowest, toSite));
    const double cpuBefore = CpuMs(relay.processId());
    long status = 0;
    int failed = 0;
    for (int i = 0; i < n; ++i) {
        through.push_back(Get(search, toRelay, &status));
        failed += status != 200;
    }
    const double cpu = (CpuMs(relay.processId()) - cpuBefore) / n;
    const double base = Percentile(direct, 0.5);
    std::printf("20 sites, one hanging: first search %.0f ms (its time-out: 3000 ms)\n", first);
    std::printf("slowest healthy site, direct: p50 %.1f ms\n", base);
    std::printf("%d searches after that (%d not 200): p50 %.1f ms (+%.1f)  p90 %.1f ms (+%.1f)  "
                "max %.1f ms (+%.1f)\n",
                n, failed, Percentile(through, 0.5), Percentile(through, 0.5) - base,
                Percentile(through, 0.9), Percentile(through, 0.9) - base, Percentile(through, 1.0),
                Percentile(through, 1.0) - base);
    std::printf("relay CPU per search (20 sites, 19 pages of 10 rows): %.2f ms\n", cpu);
    relay.terminate();
    relay.waitForFinished();
    ::close(hanging);
}

void StartUp(QString folder)
{
    QTemporaryDir dir;
    if (folder.isEmpty()) {
        folder = dir.path();
        for (int i = 0; i < 1000; ++i) // each its own id and row selector, as real sets differ
            Write(dir.filePath(QStringLiteral("site%1.yml").arg(i)),
                  QByteArray(kBenchDefinition)
                      .replace("id: bench", "id: bench" + QByteArray::number(i))
                      .replace("tr:has(td.name)",
                               "tr:nth-child(n+" + QByteArray::number(i % 7) + "):has(td.name)"));
    }
    QProcess check;
    QElapsedTimer t;
    t.start();
    check.start(QCoreApplication::applicationDirPath() + QStringLiteral("/reelmate-relay"),
                {QStringLiteral("--check-definition"), folder});
    check.waitForFinished(120000);
    const qint64 ms = t.elapsed();
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const QList<QByteArray> lines = check.readAllStandardOutput().split('\n');
    const auto ok = std::count_if(lines.begin(), lines.end(),
                                  [](const QByteArray& l) { return l.endsWith(": ok"); });
    std::printf("start-up: %lld definition files read and checked in %lld ms (%lld ok), peak "
                "%ld MB\n",
                static_cast<long long>(QDir(folder).entryList({"*.yml"}).size()),
                static_cast<long long>(ms), static_cast<long long>(ok), usage.ru_maxrss / 1024);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    Searches(argc > 1 ? std::atoi(argv[1]) : 200);
    StartUp(argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString());
    return 0;
}
