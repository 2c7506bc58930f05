#include "TestSwarm.h"

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/bdecode.hpp>
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/torrent_status.hpp>

#include <QFile>
#include <QRandomGenerator>

#include <arpa/inet.h>

#include <cstring>

MadeTorrent MakeTorrent(const QString& folder, const QString& name, Kind kind)
{
    QFile file(folder + "/" + name);
    file.open(QIODevice::WriteOnly);
    QByteArray data(40000, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
    file.write(data);
    file.close();
    lt::file_storage files;
    lt::add_files(files, file.fileName().toStdString());
    const lt::create_flags_t flags = kind == Kind::V1   ? lt::create_torrent::v1_only
                                     : kind == Kind::V2 ? lt::create_torrent::v2_only
                                                        : lt::create_flags_t{};
    lt::create_torrent ct(files, 16384, flags);
    lt::set_piece_hashes(ct, folder.toStdString());
    MadeTorrent made;
    lt::bencode(std::back_inserter(made.bytes), ct.generate());
    made.info = std::make_shared<lt::torrent_info>(made.bytes, lt::from_span);
    const lt::info_hash_t hashes = made.info->info_hashes();
    if (hashes.has_v1()) made.v1 = QByteArray(hashes.v1.data(), int(hashes.v1.size()));
    if (hashes.has_v2()) made.v2 = QByteArray(hashes.v2.data(), int(hashes.v2.size()));
    return made;
}

lt::settings_pack LoopbackSettings()
{
    lt::settings_pack s;
    s.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0");
    s.set_bool(lt::settings_pack::enable_dht, false);
    s.set_bool(lt::settings_pack::enable_lsd, false);
    s.set_bool(lt::settings_pack::enable_upnp, false);
    s.set_bool(lt::settings_pack::enable_natpmp, false);
    s.set_int(lt::settings_pack::stop_tracker_timeout, 1);
    return s;
}

void Seeder::Seed(const MadeTorrent& made, const QString& folder)
{
    lt::add_torrent_params p;
    p.ti = made.info;
    p.save_path = folder.toStdString();
    p.flags |= lt::torrent_flags::seed_mode;
    p.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
    handles.push_back(session.add_torrent(p));
}

bool Seeder::ready() const
{
    for (const lt::torrent_handle& h : handles) {
        const lt::torrent_status st = h.status();
        if (st.state != lt::torrent_status::seeding || (st.flags & lt::torrent_flags::paused))
            return false;
    }
    return port() > 0;
}

std::int64_t Seeder::uploaded() const
{
    std::int64_t total = 0;
    for (const lt::torrent_handle& h : handles)
        total += h.status().total_payload_upload;
    return total;
}

Tracker::Tracker(const int& seederPort)
{
    server_.serve([this, &seederPort](const ServiceRequest& req, ServiceResponse& res) {
        const std::string query = req.target.substr(req.target.find('?') + 1);
        std::string hash;
        bool started = false;
        for (const QByteArray& pair : QByteArray::fromStdString(query).split('&')) {
            if (pair.startsWith("info_hash="))
                hash = QByteArray::fromPercentEncoding(pair.mid(10)).toHex().toStdString();
            if (pair == "event=started") started = true;
        }
        if (started) {
            std::lock_guard lock(mutex_);
            ++started_[hash];
        }
        std::string peer(6, '\0');
        const uint32_t address = htonl(INADDR_LOOPBACK);
        const uint16_t port = htons(uint16_t(seederPort));
        std::memcpy(peer.data(), &address, 4);
        std::memcpy(peer.data() + 4, &port, 2);
        res.contentType = "text/plain";
        res.body = "d8:intervali1800e5:peers6:" + peer + "e";
    });
}

int Tracker::started(const QByteArray& v1) const
{
    std::lock_guard lock(mutex_);
    const auto it = started_.find(v1.toHex().toStdString());
    return it == started_.end() ? 0 : it->second;
}

QByteArray InfoBytes(const std::string& torrent)
{
    lt::error_code ec;
    const lt::bdecode_node root = lt::bdecode(torrent, ec);
    if (ec || root.type() != lt::bdecode_node::dict_t) return {};
    const lt::span<const char> info = root.dict_find_dict("info").data_section();
    return QByteArray(info.data(), int(info.size()));
}
