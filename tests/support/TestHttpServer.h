#pragma once

#include "serve/HttpService.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <mutex>

/** What a test server saw of one request. */
struct SeenRequest {
    QByteArray requestLine; // "GET /target HTTP/1.1", target exactly as it arrived
    QByteArray body;
    QByteArray contentType;
};

/** A real HTTP server on a free loopback port, serving on its own threads for one test. */
class TestHttpServer {
public:
    using Handler = HttpService::Handler;

    /** Plain HTTP, or HTTPS with this PEM key and certificate. */
    explicit TestHttpServer(const std::string& tlsKey = {}, const std::string& tlsCert = {});

    /** Serves every request with the handler. */
    void serve(Handler handler);
    /** Answers every request with this status, body and content type. */
    void reply(int status, const QByteArray& body, const char* contentType = "text/plain");
    int port() const { return service_.port(); }
    QString url() const;
    QList<SeenRequest> requests() const;

private:
    bool tls_ = false;
    mutable std::mutex mutex_;
    QList<SeenRequest> seen_;
    Handler handler_;
    HttpService service_; // last: stops before the members its threads use go away
};

/** A port that accepts connections and never answers (the kernel's backlog takes them). */
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    QString url() const;
    /** Connections made and never answered, so far. */
    int waiting() const;

private:
    int fd_ = -1;
    int port_ = 0;
};

/** A handler that holds its answer until release is set (2 s at most), then answers body. */
HttpService::Handler HoldUntil(std::atomic_bool& release, std::string body);

/** A loopback URL on which nothing listens. */
QString ClosedPortUrl();

/** The bytes of a text in GB18030, as the relay sends replies. */
QByteArray Gb(const QString& text);
