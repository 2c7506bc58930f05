#pragma once

#include "TestHttpServer.h"

#include <libtorrent/session.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>

#include <QByteArray>
#include <QString>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

/** A swarm on loopback for tests that turn magnet links into torrents: torrents made over
 *  random files, a libtorrent seeder and a small HTTP tracker. */

enum class Kind { V1, Hybrid, V2 };

/** A small torrent made over a file of random bytes. */
struct MadeTorrent {
    std::string bytes; // the .torrent
    std::shared_ptr<lt::torrent_info> info;
    QByteArray v1, v2; // raw hashes; empty when the torrent has none of that kind
};

MadeTorrent MakeTorrent(const QString& folder, const QString& name, Kind kind);

/** A session on 127.0.0.1 only: no DHT, LSD, UPnP or NAT-PMP. */
lt::settings_pack LoopbackSettings();

/** A session that seeds the test's torrents from their folder. */
struct Seeder {
    lt::session session{lt::session_params(LoopbackSettings())};
    std::vector<lt::torrent_handle> handles;

    void Seed(const MadeTorrent& made, const QString& folder);
    /** Listening, and every torrent taking peers. */
    bool ready() const;
    int port() const { return session.listen_port(); }
    std::int64_t uploaded() const;
};

/** An HTTP tracker that gives every announce the seeder's address, and counts the announces
 *  that start a download, by info hash. */
class Tracker {
public:
    explicit Tracker(const int& seederPort);
    std::string url() const { return server_.url().toStdString() + "/announce"; }
    int started(const QByteArray& v1) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, int> started_;
    TestHttpServer server_;
};

/** The info dictionary's bytes inside a .torrent file; empty when it has none. */
QByteArray InfoBytes(const std::string& torrent);
