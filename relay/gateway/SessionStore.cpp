#include "relay/gateway/SessionStore.h"

#include "relay/magnet/MetadataCache.h"

#include <cctype>
#include <cerrno>
#include <optional>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr long long kMaxSessionBytes = 64 * 1024;
constexpr char kMagic[] = "reelmate-session 1";

/** A site's name as a file name: only letters, digits, ".", "-" and "_" are kept. */
std::string FileSafe(const std::string& site)
{
    std::string out;
    for (const char c : site)
        out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')
                   ? c
                   : '_';
    if (out.empty() || out[0] == '.') out.insert(0, "_");
    return out;
}

/** The value after "key " on its line of text, or "". */
std::string LineValue(const std::string& text, const std::string& key)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key + " ", 0) == 0) return line.substr(key.size() + 1);
    return {};
}

} // namespace

SessionStore::SessionStore(const std::string& folder, const std::string& site)
    : name_(FileSafe(site))
{
    dirFd_ = OpenOwnedSubfolder(folder, "sessions");
}

SessionStore::~SessionStore()
{
    if (dirFd_ >= 0) ::close(dirFd_);
}

unsigned long long SessionStore::Version() const
{
    struct stat st {};
    if (dirFd_ < 0 ||
        ::fstatat(dirFd_, (name_ + ".session").c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
        return 0;
    // Every save is a new file renamed into place: its inode and time change together.
    return (static_cast<unsigned long long>(st.st_ino) << 32) ^
           static_cast<unsigned long long>(st.st_mtim.tv_sec) * 1000000000ULL ^
           static_cast<unsigned long long>(st.st_mtim.tv_nsec) ^ 1;
}

SessionStore::Session SessionStore::Load() const
{
    Session session;
    if (dirFd_ < 0) return session;
    const unsigned long long version = Version();
    const std::optional<std::string> text =
        ReadFileAt(dirFd_, name_ + ".session", kMaxSessionBytes);
    if (!text || text->rfind(kMagic, 0) != 0) return session;
    session.host = LineValue(*text, "host");
    session.cookies = LineValue(*text, "cookie"); // none, for an API that only checks its key
    session.version = version;
    return session;
}

bool SessionStore::Save(const std::string& host, const std::string& cookies)
{
    if (dirFd_ < 0 || host.find('\n') != std::string::npos ||
        cookies.find('\n') != std::string::npos)
        return false;
    const std::string file = name_ + ".session";
    if (!WriteFileAt(dirFd_, file,
                     std::string(kMagic) + "\nhost " + host + "\ncookie " + cookies + "\n"))
        return false;
    return GiveToFolderOwner(dirFd_, file.c_str());
}

void SessionStore::Forget()
{
    if (dirFd_ >= 0) ::unlinkat(dirFd_, (name_ + ".session").c_str(), 0);
}

void SessionStore::RecordRefusal(std::chrono::system_clock::time_point when,
                                 const std::string& reason)
{
    if (dirFd_ < 0) return;
    std::string oneLine = reason;
    for (char& c : oneLine)
        if (c == '\n' || c == '\r') c = ' ';
    const long long seconds =
        std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
    const std::string file = name_ + ".refused";
    if (WriteFileAt(dirFd_, file,
                    std::string(kMagic) + "\nat " + std::to_string(seconds) + "\nreason " +
                        oneLine + "\n"))
        (void)GiveToFolderOwner(dirFd_, file.c_str()); // else the service cannot replace it
}

void SessionStore::ClearRefusal()
{
    if (dirFd_ >= 0) ::unlinkat(dirFd_, (name_ + ".refused").c_str(), 0);
}

bool SessionStore::LastRefusal(std::chrono::system_clock::time_point& when,
                               std::string& reason) const
{
    if (dirFd_ < 0) return false;
    const std::optional<std::string> text =
        ReadFileAt(dirFd_, name_ + ".refused", kMaxSessionBytes);
    if (!text || text->rfind(kMagic, 0) != 0) return false;
    try {
        when = std::chrono::system_clock::time_point(
            std::chrono::seconds(std::stoll(LineValue(*text, "at"))));
    } catch (const std::exception&) {
        return false;
    }
    reason = LineValue(*text, "reason");
    return true;
}

SessionStore::Lock& SessionStore::Lock::operator=(Lock&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

SessionStore::Lock::~Lock()
{
    if (fd_ >= 0) ::close(fd_); // closing releases the flock
}

SessionStore::Lock SessionStore::Exclusive(std::chrono::steady_clock::time_point deadline) const
{
    if (dirFd_ < 0) return {};
    const int fd = ::openat(dirFd_, (name_ + ".lock").c_str(),
                            O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return {};
    if (!GiveToFolderOwner(dirFd_, (name_ + ".lock").c_str())) {
        ::close(fd);
        return {};
    }
    // Another relay's login takes a few seconds at most: wait in short steps, not unbounded.
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Lock(fd);
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(fd);
    return {};
}
