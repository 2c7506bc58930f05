// Search latency through a running reelmate-relay while it is reloaded (SIGHUP): four clients
// search one loopback site without a break, uncached, through three phases of the same length:
//  1. no reload;
//  2. 20 reloads of a good file (the site's settings changed each time, a second site kept);
//  3. 20 reloads of a file that fails the check.
// Each phase prints its searches, failures, and p50/p99/max latency in ms.
// Run: build/bin/bench_reload   (the relay binary is taken from the same folder)

#include "BenchCommon.h"
#include "platform/core/HttpCall.h"
#include "serve/HttpService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kReloads = 20;
constexpr int kReloadGapMs = 150;

std::string Page()
{
    std::string page = "<ul>";
    for (int i = 0; i < 50; ++i)
        page +=
            "<li><a href='/f/" + std::to_string(i) + "'>Film " + std::to_string(i) + "</a></li>";
    return page + "</ul>";
}

QString Conf(const QString& listen, const QString& base, int round, bool broken)
{
    return QStringLiteral("[relay]\nlisten = %1\ncache_seconds = 0\n%2"
                          "[site a]\nbase = %3\nsearch_rows = //li\nsearch_title = ./a\n"
                          "search_path = ./a/@href\nfilm_rows = //tr\nuser_agent = bench-%4\n"
                          "[site kept]\nbase = http://127.0.0.1:9\nsearch_rows = //li\n"
                          "film_rows = //tr\n")
        .arg(listen, broken ? QStringLiteral("max_rows = 0\n") : QString(), base)
        .arg(round);
}

void Write(const QString& path, const QString& text)
{
    QSaveFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(text.toUtf8());
    file.commit();
}

struct Phase {
    std::vector<double> ms;
    int failed = 0;
};

/** Four clients searching until stop is set. */
Phase Load(const QString& url, const std::function<void()>& during)
{
    Phase phase;
    std::mutex mutex;
    std::atomic_bool stop{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c)
        clients.emplace_back([&] {
            while (!stop) {
                QElapsedTimer t;
                t.start();
                HttpCall call;
                call.url = url;
                const HttpOutcome out = PerformHttp(call);
                const double ms = double(t.nsecsElapsed()) / 1e6;
                const std::lock_guard lock(mutex);
                phase.ms.push_back(ms);
                if (out.status != 200 || !out.body.contains("Film 49")) ++phase.failed;
            }
        });
    during();
    stop = true;
    for (std::thread& t : clients)
        t.join();
    return phase;
}

void Print(const char* name, const Phase& p)
{
    std::printf("%-28s %6zu searches  %d failed  p50 %6.2f ms  p99 %6.2f ms  max %7.2f ms\n", name,
                p.ms.size(), p.failed, Percentile(p.ms, 0.5), Percentile(p.ms, 0.99),
                Percentile(p.ms, 1.0));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const std::string page = Page();
    HttpService site([&page](const ServiceRequest&, ServiceResponse& r) {
        r.body = page;
        r.contentType = "text/html; charset=utf-8";
    });
    site.start({});
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(site.port());
    HttpService probe([](const ServiceRequest&, ServiceResponse&) {});
    probe.start({});
    const QString listen = QStringLiteral("127.0.0.1:%1").arg(probe.port());
    probe.stop();

    QTemporaryDir dir;
    const QString conf = dir.filePath(QStringLiteral("relay.conf"));
    Write(conf, Conf(listen, base, 0, false));
    QProcess relay;
    // To a file: a pipe nobody drains would hold the relay up once its access log filled it.
    const QString logFile = dir.filePath(QStringLiteral("relay.log"));
    relay.setStandardErrorFile(logFile);
    relay.start(QCoreApplication::applicationDirPath() + QStringLiteral("/reelmate-relay"),
                {QStringLiteral("--config"), conf});
    auto readLog = [&logFile] {
        QFile file(logFile);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QByteArray log;
    for (int i = 0; i < 100 && !(log = readLog()).contains("started"); ++i)
        QThread::msleep(50);
    if (!log.contains("started")) {
        std::fprintf(stderr, "the relay did not start: %s\n", log.constData());
        return 1;
    }
    const QString url =
        QStringLiteral("http://%1/moviejk/Find.php?url=%2/s.php?q=x").arg(listen, base);
    const int phaseMs = kReloads * kReloadGapMs;
    auto reloads = [&](bool broken) {
        for (int i = 1; i <= kReloads; ++i) {
            Write(conf, Conf(listen, base, i, broken));
            ::kill(pid_t(relay.processId()), SIGHUP);
            QThread::msleep(kReloadGapMs);
        }
    };
    Print("no reload", Load(url, [&] { QThread::msleep(phaseMs); }));
    Print("20 reloads", Load(url, [&] { reloads(false); }));
    Print("20 reloads of a broken file", Load(url, [&] { reloads(true); }));
    QThread::msleep(200);
    log = readLog();
    std::printf("relay said: %lld reloaded, %lld kept the running configuration\n",
                (long long)log.count("relay: reloaded"),
                (long long)log.count("keeping the running configuration"));
    relay.terminate();
    relay.waitForFinished(5000);
    return 0;
}
