#include "serve/HttpService.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <pthread.h>

namespace {

struct Exchange {
    std::string target;
    std::string body;
    bool started = false;
    bool tooLarge = false;
};

void* LogUri(void*, const char* uri, MHD_Connection*)
{
    auto* exchange = new Exchange;
    exchange->target = uri ? uri : "";
    return exchange;
}

void Completed(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode)
{
    delete static_cast<Exchange*>(*context);
    *context = nullptr;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

struct HttpService::Impl {
    Handler handler;
    Options options;
    MHD_Daemon* daemon = nullptr;

    static MHD_Result Access(void* cls, MHD_Connection* connection, const char*, const char* method,
                             const char* version, const char* upload, size_t* uploadSize,
                             void** context)
    {
        auto* self = static_cast<Impl*>(cls);
        auto* exchange = static_cast<Exchange*>(*context);
        if (!exchange) return MHD_NO;
        if (!exchange->started) {
            exchange->started = true;
            return MHD_YES; // the body, if any, comes in the next calls
        }
        if (*uploadSize > 0) {
            if (exchange->body.size() + *uploadSize > self->options.maxBody)
                exchange->tooLarge = true;
            else
                exchange->body.append(upload, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }

        ServiceRequest request;
        request.method = method;
        request.target = exchange->target;
        request.version = version;
        request.body = std::move(exchange->body);
        if (const char* type =
                MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Type"))
            request.contentType = type;
        if (const auto* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
            char text[INET6_ADDRSTRLEN] = "";
            const sockaddr* addr = info->client_addr;
            if (addr->sa_family == AF_INET)
                inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text,
                          sizeof text);
            else if (addr->sa_family == AF_INET6)
                inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, text,
                          sizeof text);
            request.remote = text;
        }

        ServiceResponse response;
        if (exchange->tooLarge) {
            response.status = 413;
            response.body = "request body too large\n";
        } else {
            try {
                self->handler(request, response);
            } catch (const std::exception& e) {
                response = ServiceResponse{};
                response.status = 500;
                response.body = std::string("internal error: ") + e.what() + "\n";
            }
        }
        MHD_Response* reply = MHD_create_response_from_buffer(
            response.body.size(), response.body.data(), MHD_RESPMEM_MUST_COPY);
        MHD_add_response_header(reply, "Content-Type", response.contentType.c_str());
        for (const auto& [name, value] : response.headers)
            MHD_add_response_header(reply, name.c_str(), value.c_str());
        const MHD_Result queued = MHD_queue_response(connection, unsigned(response.status), reply);
        MHD_destroy_response(reply);
        return queued;
    }
};

HttpService::HttpService(Handler handler) : impl_(std::make_unique<Impl>())
{
    impl_->handler = std::move(handler);
}

HttpService::~HttpService()
{
    stop();
}

bool HttpService::start(const Options& options)
{
    impl_->options = options;
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* addr = nullptr;
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION |
                     MHD_USE_AUTO | MHD_USE_ERROR_LOG;
    if (inet_pton(AF_INET, options.address.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(uint16_t(options.port));
        addr = reinterpret_cast<const sockaddr*>(&v4);
    } else if (inet_pton(AF_INET6, options.address.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(uint16_t(options.port));
        addr = reinterpret_cast<const sockaddr*>(&v6);
        flags |= MHD_USE_IPv6;
    } else {
        std::fprintf(stderr, "not a numeric listen address: %s\n", options.address.c_str());
        return false;
    }
    impl_->daemon = MHD_start_daemon(
        flags, uint16_t(options.port), nullptr, nullptr, &Impl::Access, impl_.get(),
        MHD_OPTION_SOCK_ADDR, addr, MHD_OPTION_URI_LOG_CALLBACK, &LogUri, nullptr,
        MHD_OPTION_NOTIFY_COMPLETED, &Completed, nullptr, MHD_OPTION_CONNECTION_LIMIT,
        options.maxConnections, MHD_OPTION_CONNECTION_TIMEOUT, options.idleTimeoutSeconds,
        MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u, MHD_OPTION_END);
    if (!impl_->daemon) {
        std::fprintf(stderr, "cannot listen on %s:%d\n", options.address.c_str(), options.port);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(impl_->daemon, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : options.port;
    return true;
}

void HttpService::stop()
{
    if (impl_ && impl_->daemon) {
        MHD_stop_daemon(impl_->daemon);
        impl_->daemon = nullptr;
    }
}

void WaitForTermination()
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    int signal = 0;
    sigwait(&stop, &signal);
}

std::string PercentDecode(const std::string& text, bool formEncoded)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            const int hi = HexValue(text[i + 1]);
            const int lo = HexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(char(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(formEncoded && c == '+' ? ' ' : c);
    }
    return out;
}
