// Time from a magnet link to .torrent bytes over loopback, and the memory of a relay that has
// fetched 100 torrents. Run by hand: bench_magnet
#include "BenchCommon.h"
#include "TestSwarm.h"
#include "relay/magnet/MagnetFetcher.h"

#include <libtorrent/torrent_info.hpp>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

long RssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

} // namespace

int main()
{
    char folderTemplate[] = "/tmp/bench_magnet.XXXXXX";
    const std::string folder = ::mkdtemp(folderTemplate);
    Seeder seeder; // on loopback only
    std::vector<std::shared_ptr<lt::torrent_info>> torrents;
    for (int i = 0; i < 100; ++i) {
        const MadeTorrent made =
            MakeTorrent(QString::fromStdString(folder), QStringLiteral("file%1").arg(i), Kind::V1);
        seeder.Seed(made, QString::fromStdString(folder));
        torrents.push_back(made.info);
    }
    while (!seeder.ready())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string peer = "127.0.0.1:" + std::to_string(seeder.port());

    MagnetSettings settings;
    settings.listen = "127.0.0.1:0";
    settings.dht = false;
    settings.cacheDir = folder + "/cache";
    const long before = RssKiB();
    MagnetFetcher fetcher(settings);
    std::vector<double> swarm, cached;
    std::vector<MagnetLink> links;
    for (const auto& ti : torrents) {
        const lt::sha1_hash h = ti->info_hashes().v1;
        MagnetLink link;
        link.v1.assign(h.data(), size_t(h.end() - h.begin()));
        link.peers = {peer};
        links.push_back(link);
    }
    int failures = 0;
    for (size_t i = 0; i < links.size(); ++i) {
        const auto start = Clock::now();
        const MagnetFetch got = fetcher.Fetch(links[i], start + std::chrono::seconds(20), {});
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (!got) ++failures;
        if (i < 50) swarm.push_back(ms);
    }
    for (size_t i = 0; i < std::min<size_t>(50, links.size()); ++i) {
        const auto start = Clock::now();
        const MagnetFetch got = fetcher.Fetch(links[i], start + std::chrono::seconds(20), {});
        if (!got || !got.fromCache) ++failures;
        cached.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::printf("swarm fetch (50, fresh torrents): p50 %.1f ms  p90 %.1f ms\n",
                Percentile(swarm, 0.5), Percentile(swarm, 0.9));
    std::printf("cache answer (50): p50 %.3f ms  p90 %.3f ms\n", Percentile(cached, 0.5),
                Percentile(cached, 0.9));
    std::printf("RSS: %ld KiB before the fetcher, %ld KiB with 100 torrents fetched and cached "
                "(the seeder's session included)\n",
                before, RssKiB());
    std::printf("failures: %d\n", failures);
    std::string cleanup = "rm -rf '" + folder + "'";
    return std::system(cleanup.c_str()) == 0 && failures == 0 ? 0 : 1;
}
