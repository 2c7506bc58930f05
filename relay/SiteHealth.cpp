#include "relay/SiteHealth.h"

#include <QString>

#include <cstdio>

namespace {

std::string JsonText(const std::string& raw)
{
    // JSON is UTF-8: bytes that are not (a site's error text may hold any) become U+FFFD.
    const std::string text = QString::fromUtf8(raw).toStdString();
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

} // namespace

SiteHealth::SiteHealth(std::vector<std::string> names, Settings settings, Log log, Clock clock)
    : settings_(settings), log_(std::move(log)), clock_(std::move(clock))
{
    for (std::string& name : names) {
        sites_.push_back(std::make_shared<Site>());
        sites_.back()->name = std::move(name);
    }
}

SiteHealth::SiteHealth(const SiteHealth& previous, std::vector<std::string> names,
                       const std::vector<bool>& kept, Settings settings)
    : settings_(settings), log_(previous.log_), clock_(previous.clock_), mutex_(previous.mutex_)
{
    std::lock_guard lock(*mutex_);
    for (size_t i = 0; i < names.size(); ++i) {
        std::shared_ptr<Site> carried;
        if (i < kept.size() && kept[i])
            for (const auto& old : previous.sites_)
                if (old->name == names[i]) carried = old;
        if (!carried) {
            carried = std::make_shared<Site>();
            carried->name = std::move(names[i]);
        }
        sites_.push_back(std::move(carried));
    }
}

bool SiteHealth::Allow(size_t site) const
{
    std::lock_guard lock(*mutex_);
    return !sites_.at(site)->open;
}

bool SiteHealth::TrialDue(size_t site)
{
    std::lock_guard lock(*mutex_);
    Site& s = *sites_.at(site);
    if (!s.open || clock_() < s.openUntil) return false;
    s.openUntil = clock_() + settings_.retryAfter; // the next trial, should this one fail
    return true;
}

void SiteHealth::Failed(Site& s, const std::string& error)
{
    s.lastError = error;
    if (++s.consecutiveFailures >= settings_.failAfter && !s.open) {
        s.open = true;
        s.openUntil = clock_() + settings_.retryAfter;
    }
}

void SiteHealth::RecordFetch(size_t site, bool ok, const std::string& error)
{
    std::lock_guard lock(*mutex_);
    Site& s = *sites_.at(site);
    if (ok) {
        ++s.fetchesOk;
        s.consecutiveFailures = 0;
        s.open = false;
    } else {
        ++s.fetchesFailed;
        Failed(s, error);
    }
    Settle(s);
}

void SiteHealth::RecordCanary(size_t site, bool reachable, long status, double ms, size_t rows,
                              const std::string& error)
{
    std::lock_guard lock(*mutex_);
    Site& s = *sites_.at(site);
    s.canaryRan = true;
    s.canaryAgeBase = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    s.canaryStatus = status;
    s.canaryMs = ms;
    if (reachable) {
        s.consecutiveFailures = 0;
        s.open = false; // the site answers again
        if (status < 400) {
            s.rows = (long long)rows;
            // Zero rows where there used to be some: the site has changed its markup.
            s.layoutChanged = rows == 0 && s.foundRows;
            if (rows > 0) s.foundRows = true;
            if (s.layoutChanged) s.lastError = "canary found no rows: the layout has changed";
        } else {
            // It answers, but its search form is gone or refused: not down, but not as profiled.
            s.layoutChanged = true;
            s.lastError = error.empty() ? "canary got status " + std::to_string(status) : error;
        }
    } else {
        Failed(s, error.empty() ? "canary got status " + std::to_string(status) : error);
    }
    Settle(s);
}

void SiteHealth::RecordLogin(size_t site, bool ok, const std::string& error)
{
    std::lock_guard lock(*mutex_);
    Site& s = *sites_.at(site);
    s.loginFailed = !ok;
    s.needsLogin = false;
    if (!ok) s.lastError = error;
    Settle(s);
}

void SiteHealth::RecordNeedsLogin(size_t site, const std::string& how)
{
    std::lock_guard lock(*mutex_);
    Site& s = *sites_.at(site);
    s.loginFailed = false;
    s.needsLogin = true;
    s.lastError = how;
    Settle(s);
}

void SiteHealth::RecordSearch(size_t site, double ms)
{
    std::lock_guard lock(*mutex_);
    Site& s = *sites_.at(site);
    s.searchTime = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    s.searchMs = ms;
}

bool SiteHealth::LoginFailed(size_t site) const
{
    std::lock_guard lock(*mutex_);
    return sites_.at(site)->loginFailed;
}

void SiteHealth::Settle(Site& s)
{
    const std::string state = s.open                      ? "down"
                              : s.loginFailed             ? "login_failed"
                              : s.needsLogin              ? "needs_login"
                              : s.layoutChanged           ? "layout_changed"
                              : s.consecutiveFailures > 0 ? "degraded"
                                                          : "ok";
    if (state == s.state) return;
    if (log_)
        log_("site " + s.name + ": " + s.state + " -> " + state +
             (s.lastError.empty() || state == "ok" ? "" : " (" + s.lastError + ")"));
    s.state = state;
}

std::string SiteHealth::Json(bool& allOk) const
{
    std::lock_guard lock(*mutex_);
    allOk = true;
    std::string sites;
    for (const auto& site : sites_) {
        const Site& s = *site;
        allOk = allOk && s.state == "ok";
        if (!sites.empty()) sites += ",";
        char numbers[256];
        std::snprintf(numbers, sizeof numbers,
                      "\"fetches_ok\":%lld,\"fetches_failed\":%lld,\"consecutive_failures\":%d",
                      s.fetchesOk, s.fetchesFailed, s.consecutiveFailures);
        std::string canary = "null";
        if (s.canaryRan) {
            char c[200];
            std::snprintf(c, sizeof c, "{\"time\":%lld,\"status\":%ld,\"ms\":%.1f,\"rows\":%lld}",
                          s.canaryAgeBase, s.canaryStatus, s.canaryMs, s.rows);
            canary = c;
        }
        std::string search = "null";
        if (s.searchTime) {
            char c[100];
            std::snprintf(c, sizeof c, "{\"time\":%lld,\"ms\":%.1f}", s.searchTime, s.searchMs);
            search = c;
        }
        sites.append(JsonText(s.name)).append(":{\"state\":").append(JsonText(s.state));
        sites.append(",\"last_error\":")
            .append(s.lastError.empty() ? "null" : JsonText(s.lastError));
        sites.append(",\"canary\":").append(canary).append(",\"last_search\":").append(search);
        sites.append(",").append(numbers).append("}");
    }
    return std::string("{\"status\":") + (allOk ? "\"ok\"" : "\"degraded\"") + ",\"sites\":{" +
           sites + "}}\n";
}
