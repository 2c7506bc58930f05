#pragma once

#include "relay/RelayConfig.h"
#include "relay/ReplyCache.h"
#include "serve/HttpService.h"

#include <functional>
#include <semaphore>
#include <string>

/** The relay: fetches a configured site's search or film page and answers the flat reply the
 *  program reads ("title|path|..." or "name|link|..."), in GB18030. Nothing but configured sites
 *  is ever fetched. */
class Relay {
public:
    using Log = std::function<void(const std::string& line)>;

    explicit Relay(RelayConfig config, Log log = {});
    void Handle(const ServiceRequest& request, ServiceResponse& response);
    const RelayConfig& config() const { return config_; }

private:
    enum class Form { Search, Film };
    void Answer(Form form, const std::string& target, ServiceResponse& response, std::string& note);
    const SiteProfile* SiteFor(const UrlOrigin& origin) const;

    RelayConfig config_;
    Log log_;
    ReplyCache cache_;
    std::counting_semaphore<4096> fetches_;
};
