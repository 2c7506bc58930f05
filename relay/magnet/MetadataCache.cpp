#include "relay/magnet/MetadataCache.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(size_t(n));
    }
    return true;
}

bool ValidKey(const std::string& key)
{
    return (key.size() == 40 || key.size() == 64) &&
           key.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string FileName(const std::string& key)
{
    return key + ".info";
}

struct Entry {
    std::string name;
    long long bytes = 0;
    timespec used{};
};

bool Older(const Entry& a, const Entry& b)
{
    if (a.used.tv_sec != b.used.tv_sec) return a.used.tv_sec < b.used.tv_sec;
    return a.used.tv_nsec < b.used.tv_nsec;
}

/** The cache's plain files (name ending ".info"). */
std::vector<Entry> ListEntries(int dirFd)
{
    std::vector<Entry> entries;
    const int fd = ::dup(dirFd);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0) ::close(fd);
        return entries;
    }
    ::rewinddir(dir);
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() < 5 || !name.ends_with(".info")) continue;
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        entries.push_back({name, static_cast<long long>(st.st_size), st.st_mtim});
    }
    ::closedir(dir);
    return entries;
}

} // namespace

bool WriteFileAt(int dirFd, const std::string& name, std::string_view bytes)
{
    static std::atomic<unsigned> counter{0};
    const std::string temp = "." + name + "." + std::to_string(::getpid()) + "." +
                             std::to_string(counter.fetch_add(1)) + ".tmp";
    const int fd =
        ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
        ::unlinkat(dirFd, temp.c_str(), 0);
        return false;
    }
    return true;
}

std::optional<std::string> ReadFileAt(int dirFd, const std::string& name, long long maxBytes)
{
    const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> out;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= maxBytes) {
        std::string bytes(size_t(st.st_size), '\0');
        size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += size_t(n);
        }
        if (got == bytes.size()) out = std::move(bytes);
    }
    ::close(fd);
    return out;
}

int OpenFolder(const std::string& path)
{
    if (path.empty()) return -1;
    ::mkdir(path.c_str(), 0700); // an existing one is fine
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool GiveToFolderOwner(int dirFd, const char* name)
{
    struct stat folder {};
    if (::geteuid() != 0 || ::fstat(dirFd, &folder) != 0 || folder.st_uid == 0) return true;
    return ::fchownat(dirFd, name, folder.st_uid, folder.st_gid, AT_SYMLINK_NOFOLLOW) == 0;
}

int OpenOwnedSubfolder(const std::string& folder, const char* name)
{
    const int parent = OpenFolder(folder);
    if (parent < 0) return -1;
    if (::mkdirat(parent, name, 0700) == 0 && !GiveToFolderOwner(parent, name)) {
        ::close(parent);
        return -1;
    }
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(parent);
    return fd;
}

MetadataCache::MetadataCache(const std::string& folder, long long maxBytes)
    : dirFd_(OpenFolder(folder)), maxBytes_(maxBytes)
{
}

MetadataCache::~MetadataCache()
{
    if (dirFd_ >= 0) ::close(dirFd_);
}

std::optional<std::string> MetadataCache::Load(const std::string& key)
{
    if (dirFd_ < 0 || !ValidKey(key)) return std::nullopt;
    std::lock_guard lock(mutex_);
    std::optional<std::string> info = ReadFileAt(dirFd_, FileName(key), maxBytes_);
    if (info) { // used now: the last to go
        const int fd = ::openat(dirFd_, FileName(key).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            ::futimens(fd, nullptr);
            ::close(fd);
        }
    }
    return info;
}

void MetadataCache::Store(const std::string& key, std::string_view info)
{
    if (dirFd_ < 0 || !ValidKey(key) || static_cast<long long>(info.size()) > maxBytes_) return;
    std::lock_guard lock(mutex_);
    if (WriteFileAt(dirFd_, FileName(key), info)) Trim(FileName(key));
}

void MetadataCache::Trim(const std::string& keep)
{
    std::vector<Entry> entries = ListEntries(dirFd_);
    long long total = 0;
    for (const Entry& e : entries)
        total += e.bytes;
    std::sort(entries.begin(), entries.end(), Older);
    for (const Entry& e : entries) {
        if (total <= maxBytes_) break;
        if (e.name != keep && ::unlinkat(dirFd_, e.name.c_str(), 0) == 0) total -= e.bytes;
    }
}
