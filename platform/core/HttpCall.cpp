#include "platform/core/HttpCall.h"

#include "platform/core/HttpCookieJar.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <utility>

namespace {

void EnsureCurlGlobal()
{
    static const bool done = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
    (void)done;
}

struct Sink {
    QByteArray body;
    qint64 cap = 0;
    bool overflow = false;
    qint64 largeBody = 0;
    std::function<bool()> admitLarge; // emptied once asked
    bool refused = false;
    CURL* easy = nullptr;
    bool sized = false;
};

/** Makes room for the whole announced body at once (within what may be held before the large-body
 *  admission), so a big reply is not copied over and over while it grows. */
void ReserveAnnounced(Sink* sink)
{
    sink->sized = true;
    curl_off_t length = -1;
    if (curl_easy_getinfo(sink->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK ||
        length <= 0)
        return;
    qint64 room = std::min<qint64>(length, sink->cap);
    if (sink->admitLarge) room = std::min(room, sink->largeBody);
    sink->body.reserve(qsizetype(room));
}

size_t WriteBody(char* data, size_t size, size_t count, void* user)
{
    auto* sink = static_cast<Sink*>(user);
    const qint64 n = qint64(size) * qint64(count);
    if (sink->body.size() + n > sink->cap) {
        sink->overflow = true;
        return 0; // makes curl fail the transfer
    }
    if (sink->admitLarge && sink->body.size() + n > sink->largeBody) {
        const auto admit = std::exchange(sink->admitLarge, {});
        if (!admit()) {
            sink->refused = true;
            return 0;
        }
        sink->sized = false; // admitted: now the whole of it may be held
    }
    if (!sink->sized) ReserveAnnounced(sink);
    sink->body.append(data, n);
    return size_t(n);
}

bool UrlNamesPort(const QByteArray& wire)
{
    const int scheme = wire.indexOf("://");
    const int hostStart = scheme < 0 ? 0 : scheme + 3;
    int hostEnd = wire.size();
    for (char c : {'/', '?'}) {
        const int at = wire.indexOf(c, hostStart);
        if (at >= 0 && at < hostEnd) hostEnd = at;
    }
    const QByteArray authority = wire.mid(hostStart, hostEnd - hostStart);
    const int colon = authority.lastIndexOf(':');
    return colon > authority.lastIndexOf(']') && colon + 1 < authority.size();
}

struct EasyDeleter {
    bool owned = true;
    void operator()(CURL* c) const
    {
        if (owned) curl_easy_cleanup(c);
    }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

/** Refuses, before connecting, any address that is not public. */
curl_socket_t OpenPublicSocket(void* refused, curlsocktype, curl_sockaddr* address)
{
    if (!IsPublicAddress(&address->addr)) {
        *static_cast<bool*>(refused) = true;
        return CURL_SOCKET_BAD;
    }
    return ::socket(address->family, address->socktype, address->protocol);
}

/** Verifies the chain as usual; when that fails, accepts a leaf certificate that is pinned. */
int VerifyOrPinned(X509_STORE_CTX* store, void* pins)
{
    if (X509_verify_cert(store) == 1) return 1;
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!leaf || X509_digest(leaf, EVP_sha1(), digest, &length) != 1) return 0;
    const QByteArray hex = QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex();
    for (const QByteArray& pin : *static_cast<const QList<QByteArray>*>(pins)) {
        if (pin.toLower() == hex) {
            X509_STORE_CTX_set_error(store, X509_V_OK); // what the handshake reports afterwards
            return 1;
        }
    }
    return 0;
}

CURLcode InstallPins(CURL*, void* sslContext, void* pins)
{
    SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(sslContext), &VerifyOrPinned, pins);
    return CURLE_OK;
}

HttpFailure FailureOf(CURLcode code)
{
    switch (code) {
    case CURLE_WRITE_ERROR: // the sink said no: overflow or refusal, told apart by the caller
        return HttpFailure::TooLarge;
    case CURLE_OPERATION_TIMEDOUT:
        return HttpFailure::TimedOut;
    case CURLE_ABORTED_BY_CALLBACK:
        return HttpFailure::Abandoned;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_BAD_CONTENT_ENCODING:
        return HttpFailure::Unreachable;
    default:
        return HttpFailure::Other;
    }
}

/** One configured easy handle with its body sink and header list. */
struct Transfer {
    std::unique_ptr<CURL, EasyDeleter> easy;
    std::unique_ptr<curl_slist, ListDeleter> headers;
    Sink sink;
    QByteArray url;
    QByteArray body;
    HttpCookieJar* jar = nullptr;
    bool notPublic = false; // a connection was refused for its address
    QList<QByteArray> pins; // read by the TLS handshake while the transfer runs
    std::string host;       // for the jar: where the request goes (no redirect is followed)
    bool secure = false;
    std::string cookieHeader;
    char error[CURL_ERROR_SIZE] = {};

    /** Sends the jar's cookies for the request's host and keeps what the answer sets. */
    void UseJar(HttpCookieJar* cookies)
    {
        CURLU* parsed = curl_url();
        char* name = nullptr;
        char* scheme = nullptr;
        if (curl_url_set(parsed, CURLUPART_URL, url.constData(), CURLU_NON_SUPPORT_SCHEME) ==
                CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_HOST, &name, 0) == CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK) {
            jar = cookies;
            host = name;
            secure = std::string(scheme) == "https";
        }
        curl_free(name);
        curl_free(scheme);
        curl_url_cleanup(parsed);
        if (!jar) return;
        cookieHeader = jar->HeaderFor(host, secure);
        if (!cookieHeader.empty())
            curl_easy_setopt(easy.get(), CURLOPT_COOKIE, cookieHeader.c_str());
        curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, &Transfer::Header);
        curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, this);
    }

    static size_t Header(char* data, size_t size, size_t count, void* user)
    {
        auto* self = static_cast<Transfer*>(user);
        const size_t n = size * count;
        static constexpr char kSetCookie[] = "set-cookie:";
        constexpr size_t kLength = sizeof kSetCookie - 1;
        if (n > kLength && strncasecmp(data, kSetCookie, kLength) == 0)
            self->jar->Store(self->host, self->secure, std::string(data + kLength, n - kLength));
        return n;
    }

    explicit Transfer(const HttpCall& call, HttpSession* session = nullptr)
    {
        EnsureCurlGlobal();
        if (session) {
            // Options back to their defaults; the session's open connections stay.
            curl_easy_reset(static_cast<CURL*>(session->handle()));
            easy = std::unique_ptr<CURL, EasyDeleter>(static_cast<CURL*>(session->handle()),
                                                      EasyDeleter{false});
        } else {
            easy.reset(curl_easy_init());
        }
        url = WireUrl(call.url);
        body = call.body;
        sink.cap = call.limits.maxBody;
        sink.largeBody = call.largeBody;
        sink.admitLarge = call.admitLargeBody;
        sink.easy = easy.get();
        CURL* c = easy.get();
        curl_easy_setopt(c, CURLOPT_URL, url.constData());
        curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(call.limits.connect.count()));
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, long(call.limits.total.count()));
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &WriteBody);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, ""); // every coding this libcurl decodes
        if (!call.userAgent.isEmpty())
            curl_easy_setopt(c, CURLOPT_USERAGENT, call.userAgent.constData());
        if (!call.caFile.isEmpty()) {
            // Besides, not instead of, the system's store.
            curl_easy_setopt(c, CURLOPT_CAINFO, call.caFile.constData());
            curl_easy_setopt(c, CURLOPT_CAPATH, "/etc/ssl/certs");
        }
        if (!call.pinnedCertificates.isEmpty()) {
            pins = call.pinnedCertificates;
            curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, &InstallPins);
            curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, &pins);
        }
        if (call.cookies) UseJar(call.cookies);
        if (call.publicAddressesOnly) {
            curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &OpenPublicSocket);
            curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, &notPublic);
        }
        if (call.defaultPort > 0 && !UrlNamesPort(url))
            curl_easy_setopt(c, CURLOPT_PORT, call.defaultPort);
        if (call.method == "POST") {
            curl_easy_setopt(c, CURLOPT_POST, 1L);
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.constData());
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, long(body.size()));
        } else if (call.method != "GET") {
            curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, call.method.constData());
        }
        curl_slist* list = nullptr;
        for (const QByteArray& h : call.headers)
            list = curl_slist_append(list, h.constData());
        list = curl_slist_append(list, "Expect:"); // no 100-continue round trip for small posts
        headers.reset(list);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
    }

    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    HttpOutcome outcome(CURLcode code) const
    {
        HttpOutcome out;
        out.completed = code == CURLE_OK && !sink.overflow && !sink.refused;
        out.bodyRefused = sink.refused;
        out.failure = out.completed   ? HttpFailure::None
                      : sink.overflow ? HttpFailure::TooLarge
                      : sink.refused  ? HttpFailure::Refused
                      : notPublic     ? HttpFailure::NotPublic
                                      : FailureOf(code);
        curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &out.status);
        const char* type = nullptr;
        if (curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type)
            out.contentType = type;
        const char* location = nullptr;
        if (curl_easy_getinfo(easy.get(), CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location)
            out.location = location;
        if (out.completed) {
            out.body = sink.body;
            out.body.squeeze(); // a large body is held a while: not twice its size
        } else
            out.error = sink.overflow  ? QStringLiteral("body too large")
                        : sink.refused ? QStringLiteral("no room for a body this large now")
                        : notPublic
                            ? QStringLiteral("refused: the host is not on a public address")
                            : QString::fromUtf8(error[0] ? error : curl_easy_strerror(code));
        return out;
    }
};

} // namespace

bool IsPublicAddress(const struct sockaddr* address)
{
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        const unsigned char* b = v6->sin6_addr.s6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            sockaddr_in v4{};
            v4.sin_family = AF_INET;
            std::memcpy(&v4.sin_addr, b + 12, 4);
            return IsPublicAddress(reinterpret_cast<const sockaddr*>(&v4));
        }
        if (IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr) || IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr) ||
            IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr) || IN6_IS_ADDR_SITELOCAL(&v6->sin6_addr) ||
            IN6_IS_ADDR_MULTICAST(&v6->sin6_addr))
            return false;
        return (b[0] & 0xFE) != 0xFC; // fc00::/7, unique local
    }
    if (address->sa_family != AF_INET) return false;
    const uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
    const auto in = [a](uint32_t net, int bits) {
        return (a >> (32 - bits)) == (net >> (32 - bits));
    };
    return !(in(0x00000000, 8) || in(0x0A000000, 8) || in(0x64400000, 10) || in(0x7F000000, 8) ||
             in(0xA9FE0000, 16) || in(0xAC100000, 12) || in(0xC0000000, 24) || in(0xC0A80000, 16) ||
             in(0xC6120000, 15) || a >= 0xE0000000);
}

QByteArray WireUrl(const QString& url)
{
    static const char hex[] = "0123456789ABCDEF";
    const QByteArray utf8 = url.toUtf8();
    QByteArray wire;
    wire.reserve(utf8.size());
    for (char ch : utf8) {
        const auto b = static_cast<unsigned char>(ch);
        if (b <= 0x20 || b >= 0x7F || b == '#') {
            wire.append('%');
            wire.append(hex[b >> 4]);
            wire.append(hex[b & 0xF]);
        } else {
            wire.append(ch);
        }
    }
    return wire;
}

/** Runs one transfer on a multi handle, asking stop() between waits of at most waitMs. */
CURLcode RunMulti(CURLM* multi, CURL* easy, const std::function<bool()>& stop, int waitMs)
{
    curl_multi_add_handle(multi, easy);
    CURLcode result = CURLE_ABORTED_BY_CALLBACK;
    int running = 1;
    while (!stop()) {
        if (curl_multi_perform(multi, &running) != CURLM_OK) break;
        if (running == 0) {
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &left))
                if (msg->msg == CURLMSG_DONE) result = msg->data.result;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
    }
    curl_multi_remove_handle(multi, easy);
    return result;
}

HttpSession::HttpSession()
{
    EnsureCurlGlobal();
    easy_ = curl_easy_init();
    multi_ = curl_multi_init();
}

HttpSession::~HttpSession()
{
    curl_multi_cleanup(static_cast<CURLM*>(multi_));
    curl_easy_cleanup(static_cast<CURL*>(easy_));
}

HttpOutcome PerformHttp(const HttpCall& call, HttpSession* session)
{
    Transfer t(call, session);
    if (!call.abandoned) return t.outcome(curl_easy_perform(t.easy.get()));
    // Asked every 50 ms, so that giving up takes no longer than that.
    if (session)
        return t.outcome(
            RunMulti(static_cast<CURLM*>(session->multi()), t.easy.get(), call.abandoned, 50));
    const std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(),
                                                                      &curl_multi_cleanup);
    return t.outcome(RunMulti(multi.get(), t.easy.get(), call.abandoned, 50));
}

HttpInterrupt::HttpInterrupt()
{
    EnsureCurlGlobal();
    multi_ = curl_multi_init();
}

HttpInterrupt::~HttpInterrupt()
{
    curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

void HttpInterrupt::interrupt()
{
    flag_ = true;
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

HttpOutcome PerformHttpInterruptible(const HttpCall& call, HttpInterrupt& stop)
{
    Transfer t(call);
    return t.outcome(RunMulti(
        static_cast<CURLM*>(stop.handle()), t.easy.get(), [&stop] { return stop.interrupted(); },
        1000)); // woken at once
}
