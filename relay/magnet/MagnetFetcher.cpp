#include "relay/magnet/MagnetFetcher.h"

#include "relay/magnet/MetadataCache.h"
#include "relay/magnet/TorrentFromMetadata.h"

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/disabled_disk_io.hpp>
#include <libtorrent/hasher.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/session_stats.hpp>
#include <libtorrent/torrent_info.hpp>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {

const char* const kDhtStateFile = "dht.state";
constexpr long long kMaxStateBytes = 4 << 20;

/** One torrent's metadata being fetched from its swarm, for every caller that wants it. */
struct Flight {
    enum class State { Queued, Running, Done, Failed };
    MagnetLink link;
    State state = State::Queued;
    lt::torrent_handle handle;
    std::string info;
    std::string words;
    int waiters = 0;
};

/** True when info's hashes are the ones the link names. */
bool HashesMatch(const std::string& info, const MagnetLink& link)
{
    if (!link.v1.empty()) {
        const lt::sha1_hash digest = lt::hasher(info.data(), int(info.size())).final();
        if (std::string(digest.data(), size_t(digest.end() - digest.begin())) != link.v1)
            return false;
    }
    if (!link.v2.empty()) {
        const lt::sha256_hash digest = lt::hasher256(info.data(), int(info.size())).final();
        if (std::string(digest.data(), size_t(digest.end() - digest.begin())) != link.v2)
            return false;
    }
    return !link.v1.empty() || !link.v2.empty();
}

/** A wait in words: whole seconds from one second on, as the time-outs are set. */
std::string Duration(std::chrono::milliseconds d)
{
    if (d < std::chrono::seconds(1)) return std::to_string(d.count()) + " ms";
    return std::to_string((d.count() + 500) / 1000) + " s";
}

lt::add_torrent_params TorrentParams(const MagnetLink& link)
{
    lt::add_torrent_params p;
    if (!link.v1.empty()) p.info_hashes.v1 = lt::sha1_hash(link.v1.data());
    if (!link.v2.empty()) p.info_hashes.v2 = lt::sha256_hash(link.v2.data());
    p.name = link.title;
    p.trackers = link.trackers;
    p.save_path = "."; // never written: the session's disk I/O is disabled
    // Metadata only: no piece is asked for, and none is offered.
    p.flags |= lt::torrent_flags::upload_mode | lt::torrent_flags::default_dont_download;
    p.flags &= ~(lt::torrent_flags::auto_managed | lt::torrent_flags::paused);
    for (const std::string& peer : link.peers) {
        const size_t colon = peer.rfind(':');
        std::string host = peer.substr(0, colon);
        if (host.size() > 1 && host.front() == '[') host = host.substr(1, host.size() - 2);
        boost::system::error_code ec;
        const auto address = boost::asio::ip::make_address(host, ec);
        if (ec) continue; // names are not looked up here
        p.peers.emplace_back(address,
                             static_cast<unsigned short>(std::stoi(peer.substr(colon + 1))));
    }
    return p;
}

lt::settings_pack SessionSettings(const MagnetSettings& settings)
{
    lt::settings_pack s;
    s.set_int(lt::settings_pack::alert_mask,
              int(lt::alert_category::status | lt::alert_category::error));
    s.set_str(lt::settings_pack::listen_interfaces,
              settings.listen.empty() ? "0.0.0.0:0,[::]:0" : settings.listen);
    s.set_bool(lt::settings_pack::enable_dht, settings.dht);
    s.set_bool(lt::settings_pack::enable_lsd, false);
    s.set_bool(lt::settings_pack::enable_upnp, false);
    s.set_bool(lt::settings_pack::enable_natpmp, false);
    s.set_int(lt::settings_pack::stop_tracker_timeout, 1); // shutting down stays quick
    s.set_int(lt::settings_pack::alert_queue_size, 10000);
    return s;
}

} // namespace

struct MagnetFetcher::Impl {
    MagnetSettings settings;
    std::unique_ptr<MetadataCache> cache;
    int stateFd = -1;
    std::unique_ptr<lt::session> session;
    std::thread pump;
    std::atomic_bool pumpStop{false};

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::shared_ptr<Flight>> flights; // by MagnetLink::Key
    std::deque<std::shared_ptr<Flight>> queue;
    int running = 0;
    int calls = 0; // Fetch calls under way
    bool stopping = false;

    std::atomic<int> dhtNodes{0};
    std::atomic<long long> cacheHits{0}, swarmFetches{0};
    const int dhtNodesMetric = lt::find_metric_idx("dht.dht_nodes");

    explicit Impl(const MagnetSettings& s);
    ~Impl();
    void Pump();
    void Handle(const lt::alert* alert);
    void MetadataArrived(const lt::torrent_handle& handle);
    void StartQueued();
    void Start(const std::shared_ptr<Flight>& flight);
    void Leave(const std::shared_ptr<Flight>& flight, const std::string& key);
    lt::session_params LoadState() const;
    void SaveState();
};

MagnetFetcher::Impl::Impl(const MagnetSettings& s) : settings(s)
{
    if (!settings.cacheDir.empty())
        cache = std::make_unique<MetadataCache>(settings.cacheDir, settings.cacheBytes);
    stateFd = OpenFolder(settings.stateDir);
    lt::session_params params = LoadState();
    params.settings = SessionSettings(settings);
    params.disk_io_constructor = lt::disabled_disk_io_constructor;
    session = std::make_unique<lt::session>(std::move(params));
    pump = std::thread([this] { Pump(); });
}

MagnetFetcher::Impl::~Impl()
{
    {
        std::unique_lock lock(mutex);
        stopping = true;
        changed.notify_all();
        changed.wait(lock, [this] { return calls == 0; });
    }
    pumpStop = true;
    pump.join();
    SaveState();
    lt::session_proxy proxy = session->abort();
    session.reset();
    if (stateFd >= 0) ::close(stateFd);
}

lt::session_params MagnetFetcher::Impl::LoadState() const
{
    if (stateFd < 0 || !settings.dht) return {};
    const std::optional<std::string> bytes = ReadFileAt(stateFd, kDhtStateFile, kMaxStateBytes);
    if (!bytes) return {};
    try {
        return lt::read_session_params(lt::span<const char>(bytes->data(), long(bytes->size())),
                                       lt::session_handle::save_dht_state);
    } catch (const std::exception&) {
        return {}; // a damaged state only costs a cold start
    }
}

void MagnetFetcher::Impl::SaveState()
{
    if (stateFd < 0 || !settings.dht) return;
    const std::vector<char> bytes =
        lt::write_session_params_buf(session->session_state(lt::session_handle::save_dht_state),
                                     lt::session_handle::save_dht_state);
    WriteFileAt(stateFd, kDhtStateFile, std::string_view(bytes.data(), bytes.size()));
}

void MagnetFetcher::Impl::Pump()
{
    const std::chrono::seconds statsEvery(1);
    Clock::time_point lastStats = Clock::now() - statsEvery;
    while (!pumpStop) {
        session->wait_for_alert(std::chrono::milliseconds(100));
        std::vector<lt::alert*> alerts;
        session->pop_alerts(&alerts);
        for (const lt::alert* a : alerts)
            Handle(a);
        if (Clock::now() - lastStats >= statsEvery) {
            lastStats = Clock::now();
            session->post_session_stats();
        }
    }
}

void MagnetFetcher::Impl::Handle(const lt::alert* alert)
{
    if (const auto* m = lt::alert_cast<lt::metadata_received_alert>(alert)) {
        MetadataArrived(m->handle);
    } else if (const auto* s = lt::alert_cast<lt::session_stats_alert>(alert)) {
        if (dhtNodesMetric >= 0) dhtNodes = int(s->counters()[dhtNodesMetric]);
    }
}

void MagnetFetcher::Impl::MetadataArrived(const lt::torrent_handle& handle)
{
    std::shared_ptr<Flight> flight;
    std::string key;
    {
        std::lock_guard lock(mutex);
        for (const auto& [k, f] : flights)
            if (f->state == Flight::State::Running && f->handle == handle) {
                flight = f;
                key = k;
            }
    }
    if (!flight) return; // abandoned meanwhile
    const std::shared_ptr<const lt::torrent_info> ti = handle.torrent_file();
    if (!ti) return;
    const lt::span<const char> section = ti->info_section();
    std::string info(section.data(), size_t(section.size()));
    if (!HashesMatch(info, flight->link)) return; // cannot happen: the session checked them
    if (cache) cache->Store(key, info);
    std::lock_guard lock(mutex);
    if (flight->state != Flight::State::Running) return;
    flight->state = Flight::State::Done;
    flight->info = std::move(info);
    --running;
    flights.erase(key);
    session->remove_torrent(handle);
    changed.notify_all();
}

void MagnetFetcher::Impl::StartQueued()
{
    while (running < settings.maxFetches && !queue.empty()) {
        std::shared_ptr<Flight> flight = queue.front();
        queue.pop_front();
        Start(flight);
    }
}

void MagnetFetcher::Impl::Start(const std::shared_ptr<Flight>& flight)
{
    boost::system::error_code ec;
    flight->handle = session->add_torrent(TorrentParams(flight->link), ec);
    if (ec) {
        flight->state = Flight::State::Failed;
        flight->words = "the BitTorrent session refused the torrent: " + ec.message();
        for (auto it = flights.begin(); it != flights.end(); ++it)
            if (it->second == flight) {
                flights.erase(it);
                break;
            }
        return;
    }
    flight->state = Flight::State::Running;
    ++running;
    ++swarmFetches;
}

void MagnetFetcher::Impl::Leave(const std::shared_ptr<Flight>& flight, const std::string& key)
{
    if (--flight->waiters > 0) return;
    if (flight->state == Flight::State::Queued) {
        queue.erase(std::remove(queue.begin(), queue.end(), flight), queue.end());
    } else if (flight->state == Flight::State::Running) {
        session->remove_torrent(flight->handle);
        --running;
    } else {
        return;
    }
    flight->state = Flight::State::Failed;
    flights.erase(key);
    changed.notify_all();
}

MagnetFetcher::MagnetFetcher(const MagnetSettings& settings)
    : impl_(std::make_unique<Impl>(settings))
{
}

MagnetFetcher::~MagnetFetcher() = default;

MagnetFetch MagnetFetcher::Fetch(const MagnetLink& link, Clock::time_point deadline,
                                 const std::function<bool()>& giveUp, const std::string& siteName)
{
    Impl& d = *impl_;
    const Clock::time_point start = Clock::now();
    deadline = std::min(deadline, start + d.settings.timeout);
    MagnetFetch out;
    const auto finish = [&](MagnetFailure failure, std::string words) {
        out.failure = failure;
        out.words = std::move(words);
        out.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        return out;
    };
    const std::string key = link.Key();
    if (key.empty()) return finish(MagnetFailure::Refused, "the magnet link names no info hash");
    {
        std::lock_guard lock(d.mutex);
        if (d.stopping) return finish(MagnetFailure::ShuttingDown, "the relay is shutting down");
        ++d.calls;
    }
    std::unique_lock lock(d.mutex, std::defer_lock);
    const auto leaveCall = [&] { // with lock held
        --d.calls;
        d.changed.notify_all();
    };
    lock.lock();
    // Read under the lock: a fetch that ends stores its metadata before it leaves the flights,
    // so a torrent with neither has not been fetched, and two callers never both fetch it.
    std::optional<std::string> cached;
    if (d.cache && !d.flights.count(key)) {
        cached = d.cache->Load(key);
        if (cached && !HashesMatch(*cached, link)) cached.reset();
    }
    if (cached) {
        ++d.cacheHits;
        leaveCall();
        lock.unlock();
        out.fromCache = true;
        out.torrent = TorrentFromMetadata(*cached, link.trackers, siteName);
        return finish(MagnetFailure::None, {});
    }
    std::shared_ptr<Flight>& slot = d.flights[key];
    if (!slot) {
        slot = std::make_shared<Flight>();
        slot->link = link;
        d.queue.push_back(slot);
    }
    const std::shared_ptr<Flight> flight = slot;
    ++flight->waiters;
    MagnetFailure failure = MagnetFailure::None;
    std::string words;
    for (;;) {
        if (flight->state == Flight::State::Done) break;
        if (d.stopping) {
            failure = MagnetFailure::ShuttingDown;
            words = "the relay is shutting down";
            break;
        }
        d.StartQueued();
        if (flight->state == Flight::State::Failed) {
            failure = MagnetFailure::Refused;
            words = flight->words;
            break;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            failure = MagnetFailure::TimedOut;
            words =
                "no peer sent the torrent's metadata within " +
                Duration(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - start));
            break;
        }
        if (giveUp) {
            lock.unlock();
            const bool gone = giveUp();
            lock.lock();
            if (gone) {
                failure = MagnetFailure::GaveUp;
                words = "the download was no longer wanted";
                break;
            }
        }
        d.changed.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(50)));
    }
    const std::string info = failure == MagnetFailure::None ? flight->info : std::string();
    d.Leave(flight, key);
    leaveCall();
    lock.unlock();
    if (failure == MagnetFailure::None)
        out.torrent = TorrentFromMetadata(info, link.trackers, siteName);
    return finish(failure, std::move(words));
}

MagnetCounters MagnetFetcher::Counters() const
{
    MagnetCounters c;
    c.dhtNodes = impl_->dhtNodes;
    c.cacheHits = impl_->cacheHits;
    c.swarmFetches = impl_->swarmFetches;
    c.listenPort = ListenPort();
    std::lock_guard lock(impl_->mutex);
    c.fetchesRunning = impl_->running;
    c.fetchesWaiting = int(impl_->queue.size());
    return c;
}

int MagnetFetcher::ListenPort() const
{
    return impl_->session->listen_port();
}
