#pragma once

#include "FakeDesktop.h"
#include "app/search/Main.h"
#include "app/torrent/DownHost.h"
#include "app/torrent/TorrentList.h"

#include <QTemporaryDir>

/** The program's two windows, wired as the program wires them, saving into a folder of their
 *  own, the search window shown: the program as end-to-end tests drive it. */
struct ProgramWindows {
    QTemporaryDir folder;
    FakeDesktop desktop;
    Endpoints endpoints;
    Main main{endpoints, desktop};
    DownHost host{&main, endpoints, folder.path(), desktop};
    ProgramWindows(const QString& relay, const QString& site) : endpoints{relay, site, {}, {}}
    {
        ConnectTorrentListing(main, host, endpoints);
        main.show();
    }
};
