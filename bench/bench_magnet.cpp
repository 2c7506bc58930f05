// Time from a magnet link to .torrent bytes over loopback, and the memory of a relay that has
// fetched 100 torrents. Run by hand: bench_magnet
#include "BenchCommon.h"
#include "relay/magnet/MagnetFetcher.h"

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <cstdio>
#include <fstream>
#include <random>
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

std::shared_ptr<lt::torrent_info> MakeTorrent(const std::string& folder, int n)
{
    const std::string path = folder + "/file" + std::to_string(n);
    std::mt19937 random{unsigned(n)};
    std::string data(64 * 1024, '\0');
    for (char& c : data)
        c = char(random());
    std::ofstream(path, std::ios::binary) << data;
    lt::file_storage files;
    lt::add_files(files, path);
    lt::create_torrent ct(files, 16384, lt::create_torrent::v1_only);
    lt::set_piece_hashes(ct, folder);
    std::vector<char> bytes;
    lt::bencode(std::back_inserter(bytes), ct.generate());
    return std::make_shared<lt::torrent_info>(bytes, lt::from_span);
}

} // namespace

int main()
{
    char folderTemplate[] = "/tmp/bench_magnet.XXXXXX";
    const std::string folder = ::mkdtemp(folderTemplate);
    lt::settings_pack s;
    s.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0");
    s.set_bool(lt::settings_pack::enable_dht, false);
    s.set_bool(lt::settings_pack::enable_lsd, false);
    s.set_bool(lt::settings_pack::enable_upnp, false);
    s.set_bool(lt::settings_pack::enable_natpmp, false);
    lt::session seeder{lt::session_params(s)};
    std::vector<std::shared_ptr<lt::torrent_info>> torrents;
    std::vector<lt::torrent_handle> handles;
    for (int i = 0; i < 100; ++i) {
        torrents.push_back(MakeTorrent(folder, i));
        lt::add_torrent_params p;
        p.ti = torrents.back();
        p.save_path = folder;
        p.flags |= lt::torrent_flags::seed_mode;
        p.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
        handles.push_back(seeder.add_torrent(p));
    }
    while (seeder.listen_port() == 0 ||
           handles.back().status().state != lt::torrent_status::seeding)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string peer = "127.0.0.1:" + std::to_string(seeder.listen_port());

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
