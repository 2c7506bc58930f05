#include "TestHttpServer.h"

#include <QStringEncoder>

#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

TestHttpServer::TestHttpServer(const std::string& tlsKey, const std::string& tlsCert)
    : tls_(!tlsKey.empty()), service_([this](const ServiceRequest& req, ServiceResponse& res) {
          SeenRequest seen;
          seen.requestLine =
              QByteArray::fromStdString(req.method + " " + req.target + " " + req.version);
          seen.body = QByteArray::fromStdString(req.body);
          seen.contentType = QByteArray::fromStdString(req.contentType);
          Handler handler;
          {
              std::lock_guard lock(mutex_);
              seen_.append(seen);
              handler = handler_;
          }
          if (handler) handler(req, res);
      })
{
    HttpService::Options options;
    options.tlsKey = tlsKey;
    options.tlsCert = tlsCert;
    service_.start(options);
}

void TestHttpServer::serve(Handler handler)
{
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void TestHttpServer::reply(int status, const QByteArray& body, const char* contentType)
{
    const std::string content = body.toStdString();
    const std::string type = contentType;
    serve([status, content, type](const ServiceRequest&, ServiceResponse& res) {
        res.status = status;
        res.body = content;
        res.contentType = type;
    });
}

QString TestHttpServer::url() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(tls_ ? u"https" : u"http").arg(port());
}

QList<SeenRequest> TestHttpServer::requests() const
{
    std::lock_guard lock(mutex_);
    return seen_;
}

SilentServer::SilentServer()
{
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 64);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
}

SilentServer::~SilentServer()
{
    ::close(fd_);
}

int SilentServer::waiting() const
{
    // For a listening socket, Linux reports the connections waiting to be accepted here.
    tcp_info info{};
    socklen_t size = sizeof info;
    return ::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 ? int(info.tcpi_unacked)
                                                                       : -1;
}

QString SilentServer::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port_);
}

HttpService::Handler HoldUntil(std::atomic_bool& release, std::string body)
{
    return [&release, body](const ServiceRequest&, ServiceResponse& res) {
        for (int i = 0; i < 400 && !release; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        res.body = body;
    };
}

QString ClosedPortUrl()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd); // bound but never listened: connections to it are refused
    return QStringLiteral("http://127.0.0.1:%1").arg(ntohs(addr.sin_port));
}

QByteArray Gb(const QString& text)
{
    QStringEncoder encoder("GB18030");
    return encoder.encode(text);
}
