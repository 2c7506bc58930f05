#pragma once

#include <QByteArray>

#include <string>

/** The community's definition set as the project publishes it: its repository's archive. */
inline constexpr const char* kDefaultCatalogueUrl =
    "https://github.com/Prowlarr/Indexers/archive/refs/heads/master.tar.gz";

/** The largest archive downloaded: the definition sets are a few megabytes. */
constexpr long long kMaxCatalogueDownload = 64LL << 20;

/** Fetches the archive at where: an http(s) URL (certificates verified for https; redirects
 *  followed, never from https to http), a file:// URL or a path. False with why not. */
bool FetchCatalogueArchive(const std::string& where, QByteArray& bytes, std::string& why);
