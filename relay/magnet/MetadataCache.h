#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

/** Writes dirFd/name through a new temporary file in the same folder and a rename, mode 0600:
 *  the name holds the old bytes or all the new ones, never a part. Links are never followed.
 *  False when it could not be written (nothing is left behind then). */
bool WriteFileAt(int dirFd, const std::string& name, std::string_view bytes);

/** The bytes of the plain file dirFd/name when it holds at most maxBytes; a link, a folder or
 *  a larger file gives nothing. */
std::optional<std::string> ReadFileAt(int dirFd, const std::string& name, long long maxBytes);

/** Opens (making it, mode 0700, when missing) a folder without following a link; -1 on failure. */
int OpenFolder(const std::string& path);

/** Run by root (a command for a service whose user systemd makes), a file made in the state
 *  folder is given to the folder's owner, who must read and replace it. True when it is the
 *  owner's (or nothing had to be done). */
bool GiveToFolderOwner(int dirFd, const char* name);

/** Opens the folder's subfolder name (made, mode 0700, and given to the folder's owner when
 *  missing) without following a link; -1 on failure. */
int OpenOwnedSubfolder(const std::string& folder, const char* name);

/** Info dictionaries fetched from swarms, one file per info hash, so a torrent fetched once is
 *  answered again without the swarm. The folder holds at most maxBytes of them: the ones used
 *  longest ago go first. Safe to use from several threads. */
class MetadataCache {
public:
    MetadataCache(const std::string& folder, long long maxBytes);
    ~MetadataCache();
    MetadataCache(const MetadataCache&) = delete;
    MetadataCache& operator=(const MetadataCache&) = delete;

    bool usable() const { return dirFd_ >= 0; }
    /** The info dictionary kept for this info hash (lower-case hex), if any. */
    std::optional<std::string> Load(const std::string& key);
    void Store(const std::string& key, std::string_view info);

private:
    /** Removes the entries used longest ago, never keep (just written), down to maxBytes. */
    void Trim(const std::string& keep);

    int dirFd_ = -1;
    long long maxBytes_;
    std::mutex mutex_;
};
