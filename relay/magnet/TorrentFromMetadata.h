#pragma once

#include <string>
#include <string_view>
#include <vector>

/** The .torrent file for a torrent whose info dictionary came from the swarm: info is kept byte
 *  for byte, so its hashes stay those of the magnet; announce and announce-list name the
 *  trackers (one a tier; left out when there are none); the comment names the site. Keys are
 *  in bencoding's sorted order. Empty when info is not one bencoded dictionary. */
std::string TorrentFromMetadata(std::string_view info, const std::vector<std::string>& trackers,
                                std::string_view siteName);

/** A bencoded byte string: its length, ":", the bytes. */
std::string BencodeString(std::string_view bytes);
