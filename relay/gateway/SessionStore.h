#pragma once

#include <chrono>
#include <string>

/** One site's login kept in the state folder: the cookies its last login got, the time and
 *  reason of a login the site refused, and a lock so that relays sharing the folder log in one
 *  at a time. Files are mode 0600, written whole under another name and renamed into place,
 *  never through a link. */
class SessionStore {
public:
    /** folder: the state folder (its "sessions" folder is made, mode 0700, when missing). */
    SessionStore(const std::string& folder, const std::string& site);
    ~SessionStore();
    SessionStore(const SessionStore&) = delete;
    SessionStore& operator=(const SessionStore&) = delete;

    bool ok() const { return dirFd_ >= 0; }

    /** The stored session: the host it is for and its cookies ("a=1; b=2"). */
    struct Session {
        std::string host;
        std::string cookies;
        unsigned long long version = 0; // changes with every save, by any relay; 0: none
    };
    Session Load() const;
    /** The version of the stored session without reading it: 0 when there is none. */
    unsigned long long Version() const;
    bool Save(const std::string& host, const std::string& cookies);
    /** The site no longer accepts it. */
    void Forget();

    /** A login the site refused at when, for reason; cleared by a good one. */
    void RecordRefusal(std::chrono::system_clock::time_point when, const std::string& reason);
    void ClearRefusal();
    /** The last refusal, when there is one: its time and reason. */
    bool LastRefusal(std::chrono::system_clock::time_point& when, std::string& reason) const;

    /** Held while one relay logs the site in. */
    class Lock {
    public:
        Lock() = default;
        explicit Lock(int fd) : fd_(fd) {}
        Lock(Lock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
        Lock& operator=(Lock&& other) noexcept;
        ~Lock();
        explicit operator bool() const { return fd_ >= 0; }

    private:
        int fd_ = -1;
    };
    /** Waits for the lock until deadline; an empty Lock when it did not come in time. */
    Lock Exclusive(std::chrono::steady_clock::time_point deadline) const;

private:
    int dirFd_ = -1;
    std::string name_; // the site's name as a file name
};
