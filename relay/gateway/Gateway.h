#pragma once

#include "relay/ByteBudget.h"
#include "relay/RelayConfig.h"
#include "relay/RelayFailure.h"
#include "relay/SiteFetch.h"
#include "relay/SiteHealth.h"
#include "relay/definitions/CompiledDefinition.h"
#include "relay/definitions/PageRows.h"
#include "relay/gateway/SiteQueue.h"
#include "relay/gateway/SiteSearch.h"
#include "relay/magnet/MagnetFetcher.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

class HtmlDocument;
class HttpCookieJar;
struct LoginOutcome;

/** The relay as the movie site the program knows, over the sites read through indexer
 *  definitions: a search of every such site at once, a film page per hit and the download,
 *  all without state: what a download needs travels in the program's link, signed. */
class Gateway {
public:
    using Deadline = std::chrono::steady_clock::time_point;
    using GiveUp = std::function<bool()>;

    /** An answer for the program. */
    struct Reply {
        int status = 200;
        std::string body;
        std::string contentType = "text/plain; charset=GB18030";
        bool keep = true; // may be cached
        std::string note; // for the access log
    };

    /** What one site's search gave. */
    struct SiteRows {
        RelayFailure failure;
        std::vector<GatewayHit> hits;
        int magnets = 0, badMagnets = 0, skipped = 0; // magnet hits; magnet links refused
        double ms = 0;
        bool searched = false; // false when only a login was tested
    };

    /** previous: the gateway of the configuration this one replaces. A site marked in kept
     *  goes on with its queue, cookies and lagging state there, and the BitTorrent session is
     *  carried over whole (its settings take a restart). */
    Gateway(const RelayConfig& config, SiteHealth& health, ByteBudget& pages,
            const std::atomic_bool& stopping, const Gateway* previous = nullptr,
            const std::vector<bool>& kept = {});
    ~Gateway();

    /** The search for keywords (UTF-8) over every definition site at once. */
    Reply Search(const std::string& keywords, Deadline deadline, const GiveUp& giveUp);
    /** The film page of a hit: its path is "/t/ID/MAC". */
    Reply FilmPage(const std::string& path);
    /** POST /download.php: the torrent the signed id names. */
    Reply Download(const std::string& form, Deadline deadline, const GiveUp& giveUp);

    /** One site's search for a canary or --check, after its login test when it logs in. */
    SiteRows Probe(size_t index, const std::string& keywords);
    bool Serves(size_t index) const { return config_.sites[index].definition != nullptr; }
    /** The BitTorrent side for /healthz: a JSON object. */
    std::string BitTorrentJson() const;

private:
    struct Site; // per site: its request queue and the cookie jar

    /** A refusal or failure as a short HTML page, kept by no cache. */
    static Reply HtmlReply(int status, const std::string& text, const std::string& note);
    /** probe: a canary or trial, made whatever the breaker says and recorded by its caller. */
    SiteRows SearchSite(size_t index, const std::string& keywords, Deadline deadline,
                        const GiveUp& giveUp, bool probe);
    /** Fetches a page of the site (or, for downloads, a URL one of its pages gave), with its
     *  cookie, in its turn, following redirects where allowed (each under the same rules). */
    FetchedPage Fetch(size_t index, SiteRequest request, bool followRedirects, bool sitePagesOnly,
                      unsigned long long* session = nullptr);
    /** The same without the site's password login: what the login itself fetches. */
    FetchedPage FetchPage(size_t index, SiteRequest request, bool followRedirects,
                          bool sitePagesOnly);
    /** The site's post, form or get login, then its test. */
    LoginOutcome LogIn(size_t index, Deadline deadline);
    void RecordLogin(size_t index, const LoginOutcome& outcome);
    /** Claims room in the parse budget unless hold holds some already; false when none came
     *  in time. */
    bool Claim(std::unique_ptr<ByteBudget::Hold>& hold, size_t bytes, Deadline deadline,
               const GiveUp& giveUp);
    /** Claims the page's room in the parse budget, decodes it in the site's charset and parses
     *  it; nullptr, with why in failure, when there is no room in time or the page is refused
     *  (nested too deeply, a tree too large, not read by the deadline). */
    std::unique_ptr<HtmlDocument> Parse(size_t index, const FetchedPage& page, Deadline deadline,
                                        const GiveUp& giveUp,
                                        std::unique_ptr<ByteBudget::Hold>& hold,
                                        RelayFailure& failure);
    /** The limits of a page's tree: what hold stands for, grown when the budget has room
     *  (noRoom: it had, but others held it), and the deadline. */
    HtmlLimits TreeLimits(ByteBudget::Hold& hold, Deadline deadline, bool& noRoom);
    /** A page refused for its size, depth or time, as the program is told. */
    static RelayFailure PageRefused(PageFailure failure, bool noRoom);
    /** The page's rows, read as the definition says (HTML, JSON or XML) within the budget. */
    RelayFailure ReadRows(size_t index, size_t path, const FetchedPage& page,
                          const TemplateValues& values, Deadline deadline, const GiveUp& giveUp,
                          std::unique_ptr<ByteBudget::Hold>& hold, struct ExtractedRows& rows,
                          bool* loggedOut = nullptr);
    void TestLogin(size_t index, Deadline deadline);
    void RecordHealth(size_t index, const FetchedPage& page);
    /** What a download fetches and reads, besides the torrent: the release's details page and
     *  the answer to the definition's request before the download, each fetched and parsed
     *  once, when first needed. */
    struct DownloadPages;
    /** The link the first of selectors that matches gives, made absolute; empty when none. */
    std::string LinkFrom(DownloadPages& pages, bool beforeAnswer,
                         std::span<const CompiledDownloadSelector> selectors,
                         RelayFailure& failure);
    /** The request the site wants before the download; its answer goes to pages. */
    RelayFailure RequestBefore(DownloadPages& pages);
    /** The text the selector finds on the details page (or the answer before the download),
     *  its attribute's or, without one, the element's; empty when none. */
    std::string SelectedText(DownloadPages& pages, bool beforeAnswer,
                             const CompiledDownloadSelector& selector, RelayFailure& failure);
    /** The .torrent's link, or a magnet link, the details page gives. */
    std::string FindTorrentLink(DownloadPages& pages, RelayFailure& failure);
    /** The magnet link download.infohash reads on the details page. */
    MagnetParse InfoHashMagnet(DownloadPages& pages, RelayFailure& failure);
    /** The torrent of a magnet link, its metadata from the swarm or the cache. */
    Reply FromSwarm(size_t index, MagnetLink link, const std::string& title, Deadline deadline,
                    const GiveUp& giveUp);
    void SearchAll(const std::vector<size_t>& served, const std::string& keywords,
                   Deadline deadline, const GiveUp& giveUp, std::vector<SiteRows>& rows);
    Reply SignedHits(const std::vector<size_t>& served, const std::vector<SiteRows>& rows) const;
    size_t IndexOf(const std::string& siteName) const;

    const RelayConfig& config_;
    SiteHealth& health_;
    ByteBudget& pages_;
    const std::atomic_bool& stopping_;
    std::atomic_bool closing_{false};
    std::vector<std::shared_ptr<Site>> sites_; // as config_.sites; kept ones shared on reload
    std::shared_ptr<MagnetFetcher> magnets_;   // one BitTorrent session for the whole relay
};

/** A site's search that took this much of the time it was allowed: three quarters or more. An
 *  answer that late makes the site lagging, as running out of time does. */
bool UsedMostOf(std::chrono::steady_clock::duration allowed,
                std::chrono::steady_clock::duration took);

/** A short HTML page for a refusal, in UTF-8. */
std::string ErrorPage(int status, const std::string& text);
