#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

/** Time-outs and the body cap of one HTTP exchange. */
struct HttpLimits {
    std::chrono::milliseconds connect{10000};
    std::chrono::milliseconds total{30000};
    qint64 maxBody = 64 * 1024 * 1024;
};

/** One HTTP request as the program sends it. */
struct HttpCall {
    QByteArray method = "GET";
    QString url;
    QByteArray body;
    QList<QByteArray> headers;
    HttpLimits limits;
    long defaultPort = 0; // used only when the URL names no port; 0 keeps the scheme's own
    /** Asked every 50 ms while the transfer runs; true ends it (not completed). */
    std::function<bool()> abandoned;
    /** Asked once, when the body first grows past largeBody bytes; false ends the transfer.
     *  It may block: the transfer waits meanwhile. */
    std::function<bool()> admitLargeBody;
    qint64 largeBody = 1 << 20;
    QByteArray userAgent; // empty: none sent
    QByteArray caFile;    // a CA bundle trusted besides the system's
    /** SHA-1 fingerprints (hex, any case) of server certificates accepted even when no trusted
     *  authority vouches for them: a site's own self-signed or expired certificate. The host
     *  name must still match. */
    QList<QByteArray> pinnedCertificates;
    /** Connect to public addresses only: a name that resolves to a loopback, private,
     *  link-local or otherwise non-public address is refused before any connection is made. */
    bool publicAddressesOnly = false;
    class HttpCookieJar* cookies = nullptr; // sent from and filled when given
};

/** Why a transfer did not complete. */
enum class HttpFailure {
    None,
    Unreachable, // name, connection, TLS or the peer's answer broke off: the far side's fault
    TimedOut,    // the connect or total limit ran out
    TooLarge,    // the body passed maxBody
    Refused,     // admitLargeBody said no
    Abandoned,   // abandoned() said so
    NotPublic,   // publicAddressesOnly, and the host is not on a public address
    Other,
};

/** What came back: completed is false for any transport failure, time-out or oversized body. */
struct HttpOutcome {
    bool completed = false;
    HttpFailure failure = HttpFailure::None;
    long status = 0;
    bool bodyRefused = false; // admitLargeBody said no
    QByteArray contentType;
    QByteArray location; // a redirect's target, made absolute; it is never followed here
    QByteArray body;
    QString error;
};

/** True for an address anyone on the Internet could reach: not loopback, private (RFC 1918,
 *  unique local), link-local, shared (100.64/10), unspecified, multicast or reserved, and not an
 *  IPv4 address mapped into IPv6 that is one of those. */
bool IsPublicAddress(const struct sockaddr* address);

/** The URL as sent on the wire: only what cannot stand in a URL is percent-encoded (space,
 *  control characters, bytes outside ASCII as UTF-8, and "#" so that it does not cut the query). */
QByteArray WireUrl(const QString& url);

/** Keeps one connection cache for a series of requests made by one thread, so that requests to
 *  the same server reuse the open connection. */
class HttpSession {
public:
    HttpSession();
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;
    void* handle() const { return easy_; }
    void* multi() const { return multi_; }

private:
    void* easy_;
    void* multi_; // for transfers that may be abandoned: they run here, asked between waits
};

/** Performs the request on the calling thread and blocks until it is over; with a session, an
 *  open connection to the same server is used again. */
HttpOutcome PerformHttp(const HttpCall& call, HttpSession* session = nullptr);

/** Lets another thread interrupt a transfer started with PerformHttpInterruptible. */
class HttpInterrupt {
public:
    HttpInterrupt();
    ~HttpInterrupt();
    HttpInterrupt(const HttpInterrupt&) = delete;
    HttpInterrupt& operator=(const HttpInterrupt&) = delete;

    void interrupt();
    bool interrupted() const { return flag_.load(); }
    void* handle() const { return multi_; }

private:
    std::atomic_bool flag_{false};
    void* multi_;
};

/** Like PerformHttp, but returns promptly (not completed) once interrupt() is called. */
HttpOutcome PerformHttpInterruptible(const HttpCall& call, HttpInterrupt& stop);
