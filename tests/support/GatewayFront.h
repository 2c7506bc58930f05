#pragma once

#include "relay/Relay.h"
#include "serve/HttpService.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <mutex>

/** The program's address for the movie site, which the gateway's film links carry. */
inline constexpr char kGatewayBase[] = "http://127.0.0.1:9";

/** One answer of the relay: its status and body. */
struct Answer {
    long status = 0;
    QByteArray body;
};

/** Text from the GB18030 bytes the gateway's pages are in. */
QString FromGb(const QByteArray& bytes);

/** A relay with a gateway over definition sites, on a free port, its access log kept. */
class GatewayFront {
public:
    using Files = QList<QPair<QString, QByteArray>>;
    /** files: written into the relay's folder; sites: "[site NAME]" sections and gateway keys
     *  after the base; relayKeys: lines of the [relay] section. */
    GatewayFront(const Files& files, const QString& sites, const QString& relayKeys = {});

    bool start();
    Answer get(const QString& target) const;
    /** The search page for a query as the program sends it (UTF-8, percent-encoded). */
    Answer search(const QString& query) const;
    /** The film page of a path from the search page. */
    Answer film(const QString& path) const;
    /** POST /download.php with a form. */
    Answer download(const QByteArray& form) const;
    /** The search's hits as the program reads them: title and film path, in turn. */
    QStringList hits(const QString& query) const;
    /** The film page's torrent: its name and download link. */
    QStringList torrent(const QString& path) const;
    /** Downloads the film page's link. */
    Answer downloadLink(const QString& link) const;
    /** The first hit's film page, then its download: what the program does. */
    Answer searchAndDownload(const QString& query, QString* title = nullptr) const;
    /** The last access-log line that holds text. */
    QString logged(const QString& text) const;

    QTemporaryDir dir;
    RelayConfig config;
    QString error;

private:
    mutable std::mutex mutex_;
    QStringList log_;
    std::unique_ptr<Relay> relay_;
    HttpService service_{
        [this](const ServiceRequest& q, ServiceResponse& r) { relay_->Handle(q, r); }};
};
