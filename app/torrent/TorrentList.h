#pragma once

#include "app/common/Endpoints.h"

class DownHost;
class Main;

/** Fills the torrent window with the torrents of the hits selected in the search window and
 *  shows it (the search window's button). */
void ListTorrents(Main& main, DownHost& host, const Endpoints& endpoints);

/** Lets the search window's button list torrents into the host's window. */
void ConnectTorrentListing(Main& main, DownHost& host, const Endpoints& endpoints);
