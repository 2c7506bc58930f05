#include "serve/HttpService.h"

#include "serve/TextHelpers.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <pthread.h>
#include <strings.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

/** Longer targets get 414 from us, and the server library answers 414 or 431 itself for heads
 *  past a connection's memory. That memory holds the request's head and the answer's: a head
 *  that all but fills it leaves no room for any answer and the library closes the connection,
 *  so it is set well above what we accept (the window left is a few hundred bytes at 64 KiB). */
constexpr size_t kMaxTarget = 16 * 1024;
constexpr size_t kConnectionMemory = 64 * 1024;

struct Exchange {
    std::string target;
    std::string body;
    bool started = false;
    bool tooLarge = false;
    bool handled = false; // counted in answering
};

void* LogUri(void*, const char* uri, MHD_Connection*)
{
    auto* exchange = new Exchange;
    exchange->target = uri ? uri : "";
    return exchange;
}

/** What the headers say about the body's framing. */
struct Framing {
    int contentLengths = 0;
    bool badLength = false;
    bool transferEncoding = false;
    bool badEncoding = false;
    bool oddName = false; // "Content-Length :" and the like: a name with white space in it
};

MHD_Result CheckHeader(void* cls, MHD_ValueKind, const char* key, const char* value)
{
    auto* f = static_cast<Framing*>(cls);
    const std::string name = key ? key : "";
    const std::string text = value ? value : "";
    if (name.find_first_of(" \t") != std::string::npos) f->oddName = true;
    if (strcasecmp(name.c_str(), "Content-Length") == 0) {
        ++f->contentLengths;
        if (text.empty() || text.size() > 18 ||
            text.find_first_not_of("0123456789") != std::string::npos)
            f->badLength = true;
    } else if (strcasecmp(name.c_str(), "Transfer-Encoding") == 0) {
        f->transferEncoding = true;
        if (strcasecmp(text.c_str(), "chunked") != 0) f->badEncoding = true;
    }
    return MHD_YES;
}

/** True when the body's framing cannot be trusted: more than one Content-Length, one that is no
 *  number, or a transfer coding other than chunked. */
bool FramingFaulty(MHD_Connection* connection)
{
    Framing f;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &CheckHeader, &f);
    return f.oddName || f.badLength || f.contentLengths > 1 || f.badEncoding ||
           (f.transferEncoding && f.contentLengths > 0);
}

std::string ClientAddress(MHD_Connection* connection)
{
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info) return {};
    char text[INET6_ADDRSTRLEN] = "";
    const sockaddr* addr = info->client_addr;
    if (addr->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text,
                  sizeof text);
    else if (addr->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, text,
                  sizeof text);
    return text;
}

int SocketOf(MHD_Connection* connection)
{
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    return info ? info->connect_fd : -1;
}

/** A peek that neither blocks nor takes data: 0 bytes means the peer has closed. */
bool PeerClosed(int fd)
{
    char byte;
    const ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

/** The server library's own complaints, one safe line each. */
void LogServerError(void*, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    std::fprintf(stderr, "http: %s\n", LogSafe(line).c_str());
}

MHD_Result Queue(MHD_Connection* connection, const ServiceResponse& response, bool close = false)
{
    MHD_Response* reply = MHD_create_response_from_buffer(
        response.body.size(), const_cast<char*>(response.body.data()), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(reply, "Content-Type", response.contentType.c_str());
    for (const auto& [name, value] : response.headers)
        MHD_add_response_header(reply, name.c_str(), value.c_str());
    if (close) MHD_add_response_header(reply, "Connection", "close");
    const MHD_Result queued = MHD_queue_response(connection, unsigned(response.status), reply);
    MHD_destroy_response(reply);
    return queued;
}

} // namespace

struct HttpService::Impl {
    Handler handler;
    Options options;
    MHD_Daemon* daemon = nullptr;

    // Deadlines of the connections whose request has not fully arrived yet. The watchdog shuts
    // a late one's socket down, which makes the server close it; the mutex keeps a socket from
    // being shut after the server has closed it and its number may belong to someone else.
    struct Watch {
        int fd = -1;
        Clock::time_point deadline = Clock::time_point::max();
    };
    std::mutex mutex;
    std::condition_variable wake;
    std::unordered_map<MHD_Connection*, Watch> watches;
    bool stopping = false;
    std::thread watchdog;
    int answering = 0; // requests handed to the handler whose answer has not gone out yet
    std::condition_variable answered;

    void arm(MHD_Connection* connection, Clock::time_point deadline)
    {
        std::lock_guard lock(mutex);
        if (auto it = watches.find(connection); it != watches.end()) it->second.deadline = deadline;
    }

    void patrol()
    {
        std::unique_lock lock(mutex);
        while (!stopping) {
            wake.wait_for(lock, std::chrono::milliseconds(100));
            const auto now = Clock::now();
            for (auto& [connection, watch] : watches)
                if (watch.deadline <= now) {
                    shutdown(watch.fd, SHUT_RDWR);
                    watch.deadline = Clock::time_point::max();
                }
        }
    }

    static void Notify(void* cls, MHD_Connection* connection, void**,
                       MHD_ConnectionNotificationCode code)
    {
        auto* self = static_cast<Impl*>(cls);
        std::lock_guard lock(self->mutex);
        if (code == MHD_CONNECTION_NOTIFY_STARTED)
            self->watches[connection] = {SocketOf(connection),
                                         Clock::now() + self->options.requestDeadline};
        else
            self->watches.erase(connection);
    }

    static void Completed(void* cls, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode)
    {
        auto* self = static_cast<Impl*>(cls);
        auto* exchange = static_cast<Exchange*>(*context);
        if (exchange && exchange->handled) {
            std::lock_guard lock(self->mutex);
            --self->answering;
            self->answered.notify_all();
        }
        delete exchange;
        *context = nullptr;
        // The next request on this connection may idle first, then must arrive in time.
        self->arm(connection, Clock::now() +
                                  std::chrono::seconds(self->options.idleTimeoutSeconds) +
                                  self->options.requestDeadline);
    }

    static MHD_Result Access(void* cls, MHD_Connection* connection, const char*, const char* method,
                             const char* version, const char* upload, size_t* uploadSize,
                             void** context)
    {
        auto* self = static_cast<Impl*>(cls);
        auto* exchange = static_cast<Exchange*>(*context);
        if (!exchange) return MHD_NO;
        if (!exchange->started) {
            exchange->started = true;
            if (FramingFaulty(connection)) {
                ServiceResponse bad;
                bad.status = 400;
                bad.body = "malformed request framing\n";
                return Queue(connection, bad, true);
            }
            if (exchange->target.size() > kMaxTarget) {
                ServiceResponse tooLong;
                tooLong.status = 414;
                tooLong.body = "request target too long\n";
                return Queue(connection, tooLong, true);
            }
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
        self->arm(connection, Clock::time_point::max()); // all here: the answer has its own limits
        {
            std::lock_guard lock(self->mutex);
            ++self->answering;
            exchange->handled = true;
        }

        ServiceRequest request;
        request.method = method;
        request.target = exchange->target;
        request.version = version;
        request.body = std::move(exchange->body);
        if (const char* type =
                MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Type"))
            request.contentType = type;
        request.remote = ClientAddress(connection);
        MHD_get_connection_values(
            connection, MHD_HEADER_KIND,
            [](void* cls, MHD_ValueKind, const char* key, const char* value) {
                std::string name = key ? key : "";
                for (char& c : name)
                    c = char(std::tolower(static_cast<unsigned char>(c)));
                static_cast<ServiceRequest*>(cls)->headers[name] = value ? value : "";
                return MHD_YES;
            },
            &request);
        const int fd = SocketOf(connection);
        request.clientGone = [fd] { return fd >= 0 && PeerClosed(fd); };

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
        return Queue(connection, response);
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
                     MHD_USE_AUTO | MHD_USE_ERROR_LOG | MHD_USE_ITC;
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
    // The library's default: SO_REUSEADDR, so a restart binds past old connections in TIME_WAIT,
    // but no SO_REUSEPORT: a port that another process listens on is an error, not shared.
    std::vector<MHD_OptionItem> tls;
    if (!options.tlsKey.empty() && !options.tlsCert.empty()) {
        flags |= MHD_USE_TLS;
        tls.push_back(
            {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(impl_->options.tlsKey.c_str())});
        tls.push_back(
            {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(impl_->options.tlsCert.c_str())});
    }
    tls.push_back({MHD_OPTION_END, 0, nullptr});
    impl_->daemon = MHD_start_daemon(
        flags, uint16_t(options.port), nullptr, nullptr, &Impl::Access, impl_.get(),
        MHD_OPTION_EXTERNAL_LOGGER, &LogServerError, nullptr, MHD_OPTION_ARRAY, tls.data(),
        MHD_OPTION_SOCK_ADDR, addr, MHD_OPTION_URI_LOG_CALLBACK, &LogUri, nullptr,
        MHD_OPTION_NOTIFY_COMPLETED, &Impl::Completed, impl_.get(), MHD_OPTION_NOTIFY_CONNECTION,
        &Impl::Notify, impl_.get(), MHD_OPTION_CONNECTION_LIMIT, options.maxConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, options.maxConnectionsPerClient,
        MHD_OPTION_CONNECTION_TIMEOUT, options.idleTimeoutSeconds, MHD_OPTION_STRICT_FOR_CLIENT, 1,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_END);
    if (!impl_->daemon) {
        std::fprintf(stderr, "cannot listen on %s:%d: %s\n", options.address.c_str(), options.port,
                     errno == EADDRINUSE ? "address in use" : std::strerror(errno));
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(impl_->daemon, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : options.port;
    impl_->stopping = false;
    impl_->watchdog = std::thread([this] { impl_->patrol(); });
    return true;
}

void HttpService::quiesce()
{
    if (!impl_ || !impl_->daemon) return;
    const MHD_socket listener = MHD_quiesce_daemon(impl_->daemon);
    if (listener != MHD_INVALID_SOCKET) close(listener); // ours to close once quiesced
}

void HttpService::stop(std::chrono::milliseconds drain)
{
    if (!impl_ || !impl_->daemon) return;
    {
        std::unique_lock lock(impl_->mutex);
        // Answers already being made go out before the connections are closed.
        impl_->answered.wait_for(lock, drain, [this] { return impl_->answering == 0; });
        impl_->stopping = true;
    }
    impl_->wake.notify_all();
    impl_->watchdog.join();
    MHD_stop_daemon(impl_->daemon);
    impl_->daemon = nullptr;
}

void BlockServiceSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void WaitForTermination(const std::function<void()>& hangUp)
{
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, SIGINT);
    sigaddset(&wanted, SIGTERM);
    if (hangUp) sigaddset(&wanted, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &wanted, nullptr);
    for (;;) {
        int signal = 0;
        sigwait(&wanted, &signal);
        if (signal != SIGHUP) return;
        hangUp(); // a SIGHUP meanwhile stays pending: it runs again after this one
    }
}
