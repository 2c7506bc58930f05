// The gateway's download and a cookie login's test: the parts that fetch on a ticket's word.
#include "relay/PageReducer.h"
#include "relay/definitions/CompiledDefinition.h"
#include "relay/definitions/HtmlDocument.h"
#include "relay/definitions/RowExtraction.h"
#include "relay/gateway/DownloadTicket.h"
#include "relay/gateway/Gateway.h"
#include "relay/gateway/SiteSearch.h"
#include "web/TorrentFile.h"

#include <QRegularExpression>
#include <QString>
#include <QUrl>

namespace {

std::string Resolved(const std::string& base, const std::string& link)
{
    return QUrl(QString::fromStdString(base))
        .resolved(QUrl(QString::fromStdString(link)))
        .toString(QUrl::FullyEncoded)
        .toStdString();
}

/** What a site sent instead of a torrent, in words: a page's title, else its kind. */
std::string NotATorrent(const FetchedPage& page)
{
    static const QRegularExpression title(QStringLiteral("<title[^>]*>([^<]{1,200})"),
                                          QRegularExpression::CaseInsensitiveOption);
    const QString head = QString::fromUtf8(page.body.left(16384));
    const QString said = title.match(head).captured(1).simplified();
    if (page.status >= 300 && page.status < 400)
        return "the site sent the download elsewhere and the relay did not follow";
    if (!said.isEmpty()) return "the site sent a page, not a torrent: " + said.toStdString();
    if (page.body.isEmpty()) return "the site sent nothing";
    return "the site sent something that is not a torrent (" +
           (page.contentType.empty() ? std::string("no type") : page.contentType) + ")";
}

} // namespace

struct Gateway::DownloadPages {
    size_t index;
    std::string link; // the release's: its details page, or the torrent itself
    TemplateValues values;
    std::vector<std::string> headers; // the definition's, rendered: for the site's origin only
    Deadline deadline;
    GiveUp giveUp;
    struct Page {
        FetchedPage fetched;
        std::unique_ptr<ByteBudget::Hold> hold;
        std::unique_ptr<HtmlDocument> document;
    };
    Page details, before;
    bool haveBefore = false;
};

std::string Gateway::SelectedText(DownloadPages& pages, bool beforeAnswer,
                                  const CompiledDownloadSelector& selector, RelayFailure& failure)
{
    const SiteProfile& site = config_.sites[pages.index];
    DownloadPages::Page& page = beforeAnswer ? pages.before : pages.details;
    if (!page.document && !beforeAnswer) {
        SiteRequest request;
        request.url = pages.link;
        request.siteHeaders = pages.headers;
        request.siteHeaders.push_back("Referer: " + site.siteLink);
        request.deadline = pages.deadline;
        request.giveUp = pages.giveUp;
        page.fetched = Fetch(pages.index, request, true, false);
        if ((failure = page.fetched.failure)) return {};
    }
    if (!page.document) {
        page.document =
            Parse(pages.index, page.fetched, pages.deadline, pages.giveUp, page.hold, failure);
        if (!page.document) return {};
    }
    CssCache selectors;
    const GumboNode* found =
        selectors(selector.css, pages.values).SelectFirst(page.document->root());
    if (!found) return {};
    // Trimmed only, as a field is: the filters may read the text's line breaks.
    const auto trimmed = [](const std::string& text) {
        return QString::fromStdString(text).trimmed().toStdString();
    };
    if (selector.attribute.empty())
        return ApplyFilters(trimmed(TextContent(found)), selector.filters, pages.values);
    const char* attribute = AttributeOf(found, selector.attribute);
    return attribute ? ApplyFilters(trimmed(attribute), selector.filters, pages.values)
                     : std::string();
}

std::string Gateway::LinkFrom(DownloadPages& pages, bool beforeAnswer,
                              std::span<const CompiledDownloadSelector> selectors,
                              RelayFailure& failure)
{
    for (const CompiledDownloadSelector& s : selectors) { // their attribute is href, unless named
        const std::string link = SelectedText(pages, beforeAnswer, s, failure);
        if (failure) return {};
        if (!link.empty())
            return Resolved((beforeAnswer ? pages.before : pages.details).fetched.url, link);
    }
    return {};
}

RelayFailure Gateway::RequestBefore(DownloadPages& pages)
{
    const SiteProfile& site = config_.sites[pages.index];
    const Definition::BeforeRequest& before = site.definition->before;
    std::string url = Resolved(pages.link, site.definition->Render(before.path, pages.values));
    RelayFailure failure;
    if (!before.pathSelector.empty()) {
        url = LinkFrom(pages, false, site.definition->beforePath, failure);
        if (failure) return failure;
        if (url.empty())
            return {502, "the details page has no link for the request before the download: "
                         "the site's layout may have changed"};
    }
    SiteRequest request;
    request.url = url;
    request.siteHeaders = pages.headers;
    request.siteHeaders.push_back("Referer: " + pages.link);
    request.deadline = pages.deadline;
    request.giveUp = pages.giveUp;
    const std::string form =
        InputsForm(*site.definition, before.inputs, pages.values, site.definition->encoding);
    if (before.method == "post") {
        request.method = "POST";
        request.body = form;
        request.headers.push_back("Content-Type: application/x-www-form-urlencoded");
    } else if (!form.empty()) {
        request.url += (url.find('?') == std::string::npos ? '?' : '&') + form;
    }
    pages.before.fetched = Fetch(pages.index, request, true, true);
    pages.haveBefore = !pages.before.fetched.failure;
    return pages.before.fetched.failure;
}

std::string Gateway::FindTorrentLink(DownloadPages& pages, RelayFailure& failure)
{
    const CompiledDefinition& d = *config_.sites[pages.index].definition;
    // Selectors that read the answer before the download, then those on the details page,
    // each in the definition's order.
    std::string url;
    for (const CompiledDownloadSelector& s : d.downloads) {
        url = LinkFrom(pages, s.useBeforeResponse && pages.haveBefore, {&s, 1}, failure);
        if (failure) return {};
        if (!url.empty()) break;
    }
    if (url.empty())
        failure = {502,
                   "the details page has no download link: the site's layout may have changed"};
    else if (!IsWebUrl(url) && !IsMagnetUri(url))
        failure = {502, "the download link on the details page is no web address"};
    return url;
}

MagnetParse Gateway::InfoHashMagnet(DownloadPages& pages, RelayFailure& failure)
{
    const SiteProfile& site = config_.sites[pages.index];
    const Definition::InfoHashBlock& block = site.definition->infohash;
    const bool before = block.useBeforeResponse && pages.haveBefore;
    const std::string hash = SelectedText(pages, before, site.definition->infohashHash, failure);
    if (failure) return {};
    if (hash.empty()) {
        failure = {502, "the details page has no info hash: the site's layout may have changed"};
        return {};
    }
    MagnetParse parse = MagnetFromInfoHash(hash, site.definition->trackers, site.privateBase);
    if (!parse) {
        failure = {502, "the details page's info hash is not one: " + parse.detail};
        return {};
    }
    if (!site.definition->infohashTitle.css.empty())
        parse.link.title = SelectedText(pages, before, site.definition->infohashTitle, failure);
    failure = {};
    return parse;
}

Gateway::Reply Gateway::FromSwarm(size_t index, MagnetLink link, const std::string& title,
                                  Deadline deadline, const GiveUp& giveUp)
{
    const SiteProfile& site = config_.sites[index];
    if (link.title.empty()) link.title = title;
    const std::string siteName = site.definition->name.empty() ? site.name : site.definition->name;
    const MagnetFetch got = magnets_->Fetch(link, deadline, giveUp, siteName);
    const std::string how = std::string(got.fromCache ? " metadata=cache" : " metadata=swarm") +
                            " metadata_ms=" + std::to_string(got.took.count());
    if (!got) {
        const int status = got.failure == MagnetFailure::TimedOut  ? 504
                           : got.failure == MagnetFailure::Refused ? 502
                                                                   : 503;
        return HtmlReply(status, got.words, "download=failed magnet=" + link.Key() + how);
    }
    if (got.torrent.size() > size_t(config_.gateway.maxTorrentBytes))
        return HtmlReply(502, "the torrent is larger than max_torrent_bytes",
                         "download=failed magnet=" + link.Key() + how);
    if (!IsBencodedDictionary(QByteArrayView(got.torrent)))
        return HtmlReply(502, "the swarm's metadata makes no torrent",
                         "download=failed magnet=" + link.Key() + how);
    Reply reply;
    reply.body = got.torrent;
    reply.contentType = "application/x-bittorrent";
    reply.keep = false;
    reply.note =
        "download=ok bytes=" + std::to_string(got.torrent.size()) + " magnet=" + link.Key() + how;
    return reply;
}

Gateway::Reply Gateway::Download(const std::string& form, Deadline deadline, const GiveUp& giveUp)
{
    // "action=download&id=ID&uhash=MAC", as the program sends it: raw, not percent-encoded.
    const size_t hashAt = form.find("&uhash=");
    if (form.rfind("action=download&id=", 0) != 0 || hashAt == std::string::npos)
        return HtmlReply(403, "not a download of this gateway", "download=failed");
    const std::string id = form.substr(19, hashAt - 19);
    const auto ticket = config_.gateway.key->Verify(id, form.substr(hashAt + 7));
    if (!ticket)
        return HtmlReply(403, "this download link was altered, or made by another gateway",
                         "download=failed");
    const size_t index = IndexOf(ticket->site);
    if (index == size_t(-1))
        return HtmlReply(403, "site " + ticket->site + " is not served here", "download=failed");
    const SiteProfile& site = config_.sites[index];
    if (!health_.Allow(index))
        return HtmlReply(502, "site " + site.name + " is down; the relay tries it again shortly",
                         "download=failed");
    const auto failed = [](const RelayFailure& failure) {
        return HtmlReply(failure.status == 504 ? 504 : 502, failure.reason, "download=failed");
    };
    if (ticket->magnet) {
        // Read again under the same rules: the ticket is sealed, but the rules may have changed.
        const MagnetParse parse = ParseMagnet(ticket->url, site.privateBase);
        if (!parse) return failed({502, "the magnet link is refused: " + parse.detail});
        return FromSwarm(index, parse.link, ticket->title, deadline, giveUp);
    }
    DownloadPages pages{
        index, ticket->url, DownloadValues(site, ticket->url), {}, deadline, giveUp, {}, {}, false};
    pages.headers = DownloadHeaders(site, pages.values);
    if (site.definition->before.present)
        if (RelayFailure failure = RequestBefore(pages)) return failed(failure);
    std::string url = ticket->url, referer = site.siteLink;
    if (ticket->details) {
        RelayFailure failure;
        const Definition& d = *site.definition;
        if (!d.downloadSelectors.empty() || !d.infohash.present) {
            url = FindTorrentLink(pages, failure);
            if (failure && !d.infohash.present) return failed(failure);
        }
        if (d.infohash.present && (d.downloadSelectors.empty() || failure)) {
            failure = {};
            const MagnetParse parse = InfoHashMagnet(pages, failure);
            if (failure) return failed(failure);
            return FromSwarm(index, parse.link, ticket->title, deadline, giveUp);
        }
        if (IsMagnetUri(url)) {
            const MagnetParse parse = ParseMagnet(url, site.privateBase);
            if (!parse)
                return failed({502, "the details page's magnet link is refused: " + parse.detail});
            return FromSwarm(index, parse.link, ticket->title, deadline, giveUp);
        }
        referer = ticket->url;
    }
    SiteRequest request;
    request.deadline = deadline;
    request.giveUp = giveUp;
    request.maxBody = config_.gateway.maxTorrentBytes;
    // The definition's headers and the Referer (the site's page, which may hold a key) go to
    // the site only: a link or redirect to another host gets neither.
    request.siteHeaders = pages.headers;
    request.siteHeaders.push_back("Referer: " + referer);
    request.url = url;
    if (site.definition->downloadMethod == "post") {
        // The link's query becomes the form, as the site's own download button sends it.
        const size_t query = url.find('?');
        request.method = "POST";
        request.url = url.substr(0, query);
        request.body = query == std::string::npos ? std::string() : url.substr(query + 1);
        request.headers.push_back("Content-Type: application/x-www-form-urlencoded");
    }
    const FetchedPage page = Fetch(index, request, true, false);
    if (page.failure) {
        const bool large = page.failure.reason.find("too large") != std::string::npos;
        return HtmlReply(page.failure.status == 504 ? 504 : 502,
                         large ? "the download is larger than max_torrent_bytes: not a torrent"
                               : page.failure.reason,
                         "download=failed");
    }
    if (!IsBencodedDictionary(QByteArrayView(page.body)))
        return HtmlReply(502, NotATorrent(page), "download=failed");
    Reply reply;
    reply.body = page.body.toStdString();
    reply.contentType = "application/x-bittorrent";
    reply.keep = false;
    reply.note = "download=ok bytes=" + std::to_string(page.body.size());
    return reply;
}

void Gateway::TestLogin(size_t index, Deadline deadline)
{
    const SiteProfile& site = config_.sites[index];
    const CompiledDefinition& d = *site.definition;
    SiteRequest request;
    request.url = Resolved(site.siteLink, d.Render(d.loginTestPath, SearchValues(site, {})));
    request.deadline = deadline;
    request.giveUp = [this] { return stopping_.load(); };
    const FetchedPage page = Fetch(index, request, false, true);
    if (page.status >= 300 && page.status < 400) {
        health_.RecordLogin(index, false,
                            "the login test was sent elsewhere: the cookie is not "
                            "accepted (expired?)");
        return;
    }
    if (page.status == 401 || page.status == 403) {
        health_.RecordLogin(index, false,
                            "the login test was refused (" + std::to_string(page.status) + ")");
        return;
    }
    if (page.failure) return; // the site is in trouble: that says nothing of the cookie
    bool found = true;
    if (!d.loginTestSelector.empty()) {
        std::unique_ptr<ByteBudget::Hold> hold;
        RelayFailure refused; // says nothing of the cookie
        const auto document = Parse(index, page, deadline, request.giveUp, hold, refused);
        if (!document) return;
        CssCache selectors;
        found =
            selectors(d.loginTest, SearchValues(site, {})).SelectFirst(document->root()) != nullptr;
    }
    health_.RecordLogin(index, found,
                        found ? std::string()
                              : "the login test found no " + d.loginTestSelector +
                                    ": the cookie is not accepted (expired?)");
}
