#pragma once

#include "relay/RelayConfig.h"
#include "relay/definitions/CompiledDefinition.h"
#include "relay/definitions/Template.h"

#include <map>
#include <string>
#include <vector>

/** One HTTP request of a definition's search. */
struct SearchRequest {
    size_t path = 0; // which of the definition's paths it is
    std::string url;
    std::string method = "GET";
    std::string body; // a form, for POST
    bool followRedirect = false;
    std::vector<std::string> headers; // "Name: value", the definition's
};

/** What the templates of a site's definition see for a search of keywords (UTF-8). */
TemplateValues SearchValues(const SiteProfile& site, const std::string& keywords);

/** The requests a search makes, one per path of the definition, with its inputs as a query or,
 *  for POST, a form, in the definition's encoding. A GET that asks again for a URL an earlier
 *  path asked for is left out, as the reference readers leave it out: paths that differ only in
 *  their categories would otherwise list every hit twice. */
std::vector<SearchRequest> SearchRequests(const SiteProfile& site, const TemplateValues& values);

/** The definition's headers, rendered: "Name: value", no line break in the value. */
std::vector<std::string> RenderedHeaders(const CompiledDefinition& definition,
                                         const Definition::Pairs& headers,
                                         const TemplateValues& values);

/** What the templates of a release's download see: the site's values (no keywords) and the
 *  release's link as .DownloadUri (AbsoluteUri, AbsolutePath, PathAndQuery, Query, Query.KEY,
 *  Scheme, Host, Port). */
TemplateValues DownloadValues(const SiteProfile& site, const std::string& link);

/** The headers a download sends: the definition's download headers, else its search headers. */
std::vector<std::string> DownloadHeaders(const SiteProfile& site, const TemplateValues& values);

/** inputs rendered and percent-encoded as a form, in the charset. */
std::string InputsForm(const CompiledDefinition& definition, const Definition::Pairs& inputs,
                       const TemplateValues& values, const std::string& charset);

/** True for an http:// or https:// address: one the relay may fetch. */
bool IsWebUrl(const std::string& url);

/** text in the charset, percent-encoded as a form value. */
std::string FormEncoded(const std::string& text, const std::string& charset);

/** One row of a site's results as the gateway offers it. */
struct GatewayHit {
    std::string title;
    std::string url;      // the .torrent, the page its link is on, or a magnet link
    bool details = false; // url is that page: the definition's download selectors find the link
    bool magnet = false;  // url is a magnet link: the torrent comes from the swarm
};

/** Lower case "magnet:" at its start. */
bool IsMagnetUri(const std::string& url);

/** The hit a row gives: its .torrent, the page its link is on, or a magnet link (the row's
 *  download or magnet field, or its info hash with the definition's trackers), trackers and
 *  peers on addresses that are not public dropped unless the site is on one. False when it
 *  gives none; badMagnet then says that a magnet link or info hash was refused. */
bool HitOf(const SiteProfile& site, const std::map<std::string, std::string>& row, GatewayHit& hit,
           bool& badMagnet);
