#pragma once

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
 *  arrives as it was sent. */
class HttpService {
public:
    using Handler = std::function<void(const ServiceRequest&, ServiceResponse&)>;

    struct Options {
        std::string address = "127.0.0.1";
        int port = 0; // 0: any free port
        unsigned maxConnections = 256;
        unsigned idleTimeoutSeconds = 30;
        size_t maxBody = 1 << 20;
    };

    explicit HttpService(Handler handler);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    /** Starts listening; false (with a message on stderr) when the address cannot be bound. */
    bool start(const Options& options);
    void stop();
    int port() const { return port_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

/** Blocks the calling thread until the process is asked to stop (SIGINT or SIGTERM). */
void WaitForTermination();

/** Percent-decoding of a URL component; "+" is left alone unless formEncoded. */
std::string PercentDecode(const std::string& text, bool formEncoded = false);
