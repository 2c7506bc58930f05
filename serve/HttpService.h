#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

/** One request as the service received it. */
struct ServiceRequest {
    std::string method;
    std::string target; // exactly as it arrived: path and query, undecoded
    std::string version;
    std::string body;
    std::string contentType;
    std::string remote;
    std::map<std::string, std::string> headers; // names in lower case
    /** True once the client has closed its connection: its answer would reach nobody. */
    std::function<bool()> clientGone = [] { return false; };
};

/** The answer to one request. */
struct ServiceResponse {
    int status = 200;
    std::string body;
    std::string contentType = "text/plain; charset=utf-8";
    std::map<std::string, std::string> headers;
};

/** A small HTTP/1.1 server on its own threads (libmicrohttpd underneath). Unlike many servers it
 *  hands the request target over whole, so a query that holds a second "?" (a URL inside a URL)
 *  arrives as it was sent. It frames requests strictly (one well-formed Content-Length, no
 *  transfer coding but chunked), bounds connections per client address and gives every request
 *  a deadline, so slow or malformed clients cannot hold it. */
class HttpService {
public:
    using Handler = std::function<void(const ServiceRequest&, ServiceResponse&)>;

    struct Options {
        std::string address = "127.0.0.1";
        int port = 0; // 0: any free port
        unsigned maxConnections = 256;
        unsigned maxConnectionsPerClient = 32; // per client address
        unsigned idleTimeoutSeconds = 30;
        /** A request's line, headers and body must all have arrived this long after it began,
         *  however slowly the bytes trickle in. */
        std::chrono::milliseconds requestDeadline{5000};
        size_t maxBody = 1 << 20;
        std::string tlsKey, tlsCert; // PEM; both set: serve HTTPS
    };

    explicit HttpService(Handler handler);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    /** Starts listening; false (with a message on stderr) when the address cannot be bound, also
     *  when another process listens there already. */
    bool start(const Options& options);
    /** Stops taking new connections; those open go on until stop(). */
    void quiesce();
    /** Waits up to drain for answers under way to go out, then closes everything. */
    void stop(std::chrono::milliseconds drain = std::chrono::milliseconds::zero());
    int port() const { return port_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

/** Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and in the threads it starts from
 *  then on, so that only WaitForTermination takes them: called first thing in main. */
void BlockServiceSignals();

/** Blocks the calling thread until the process is asked to stop (SIGINT or SIGTERM). With
 *  hangUp, a SIGHUP runs it on this thread and the wait goes on; without, SIGHUP is left as
 *  it was. */
void WaitForTermination(const std::function<void()>& hangUp = {});
