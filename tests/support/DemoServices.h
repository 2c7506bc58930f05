#pragma once

#include "demo-site/DemoSite.h"
#include "relay/Relay.h"
#include "serve/HttpService.h"

#include <QString>

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
