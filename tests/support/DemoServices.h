#pragma once

#include "demo-site/DemoSite.h"
#include "relay/Relay.h"
#include "serve/HttpService.h"

#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <memory>

/** A relay profile for a site with the demo site's page layout. */
inline SiteProfile DemoProfile(int port, const std::string& charset = "GBK")
{
    SiteProfile p;
    p.name = "demo";
    p.scheme = "http";
    p.host = "127.0.0.1";
    p.port = port;
    p.base = "http://127.0.0.1:" + std::to_string(port);
    p.charset = charset;
    p.searchRows = "//ul[@class='results']/li";
    p.searchTitle = ".//a[@class='title']";
    p.searchPath = ".//a[@class='title']/@href";
    p.filmRows = "//table[@class='torrents']//tr[td]";
    p.filmName = "./td[@class='name']";
    p.filmLink = ".//a[@class='dl']/@href";
    return p;
}

/** The demo site and a relay in front of it, each on a free loopback port of this process. */
class DemoServices {
public:
    explicit DemoServices(RelayConfig config = {})
        : site_(DemoSite::BuiltInCatalogue()),
          siteService_([this](const ServiceRequest& q, ServiceResponse& r) { site_.Handle(q, r); })
    {
        siteService_.start({});
        config.sites.insert(config.sites.begin(), DemoProfile(siteService_.port()));
        relay_ = std::make_unique<Relay>(config, [](const std::string&) {});
        relayService_ = std::make_unique<HttpService>(
            [this](const ServiceRequest& q, ServiceResponse& r) { relay_->Handle(q, r); });
        HttpService::Options options = relay_->ServiceOptions();
        options.port = 0;
        relayService_->start(options);
    }

    const DemoSite& site() const { return site_; }
    QString siteUrl() const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(siteService_.port());
    }
    QString relayUrl() const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(relayService_->port());
    }

private:
    DemoSite site_;
    HttpService siteService_;
    std::unique_ptr<Relay> relay_;
    std::unique_ptr<HttpService> relayService_;
};

/** The demo site read through its indexer definition by a relay's gateway: the program's site
 *  address is then the relay's own, as when it is built for real sites. */
class DemoGateway {
public:
    DemoGateway()
        : site_(DemoSite::BuiltInCatalogue()),
          siteService_([this](const ServiceRequest& q, ServiceResponse& r) { site_.Handle(q, r); })
    {
        siteService_.start({});
        relayService_.start({}); // first: the gateway's address is the port it got
        const QString text =
            QStringLiteral("[gateway]\nbase = %1\nsecret_file = %2\n"
                           "dht = off\nbt_listen = 127.0.0.1:0\n"
                           "[site demo]\ndefinition = %3\nbase = %4\n")
                .arg(relayUrl(), dir_.filePath(QStringLiteral("secret")),
                     QStringLiteral(REELMATE_SOURCE_DIR "/demo-site/definitions/reelmate-demo.yml"),
                     siteUrl());
        RelayConfig config;
        std::string why;
        if (!ParseRelayConfig(text.toStdString(), config, why) ||
            !(why = LoadGateway(config, {}, "gateway.conf")).empty())
            qFatal("gateway configuration: %s", why.c_str());
        relay_ = std::make_unique<Relay>(config, [](const std::string&) {});
    }

    const DemoSite& site() const { return site_; }
    QString siteUrl() const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(siteService_.port());
    }
    QString relayUrl() const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(relayService_.port());
    }

private:
    QTemporaryDir dir_;
    DemoSite site_;
    HttpService siteService_;
    std::unique_ptr<Relay> relay_;
    HttpService relayService_{[this](const ServiceRequest& q, ServiceResponse& r) {
        if (relay_) relay_->Handle(q, r);
    }};
};
