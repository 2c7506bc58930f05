#pragma once

#include "relay/RelayConfig.h"
#include "relay/SiteFetch.h"
#include "relay/definitions/LoginBlock.h"
#include "relay/definitions/Template.h"

#include <QByteArray>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

class HtmlDocument;

/** What a login came to. */
struct LoginOutcome {
    enum class Kind {
        LoggedIn,
        Refused,     // the site said no (its words in reason): not tried again for a while
        SiteFault,   // the site did not answer, or failed (5xx, time-out): tried again freely
        NeedsPerson, // a captcha stands in the way: someone must log in with --login
    };
    Kind kind = Kind::LoggedIn;
    std::string reason; // never holds a secret
    int requests = 0;   // sent to the site, the test included
};

/** A captcha's image, shown to a person; false when no answer came. */
using CaptchaSolver = std::function<bool(const QByteArray& image, const std::string& contentType,
                                         std::string& answer)>;

/** A definition's post, form or get login, as the reference readers make it, over the site's
 *  own fetch (its cookie jar and address rules); then its test. */
class SiteLogin {
public:
    using FetchPage = std::function<FetchedPage(SiteRequest request, bool followRedirects)>;

    SiteLogin(const SiteProfile& site, FetchPage fetch,
              std::chrono::steady_clock::time_point deadline);

    /** Logs in; with a solver, a captcha on the login page is put to it, else NeedsPerson. */
    LoginOutcome Run(const CaptchaSolver& solver = {});
    /** The definition's test alone: LoggedIn when the session holds, Refused when not. */
    LoginOutcome Test();

private:
    FetchedPage Get(const std::string& url, bool follow, const std::string& referer = {});
    FetchedPage Post(const std::string& url, const std::string& body,
                     const std::string& contentType, const std::string& referer = {});
    LoginOutcome Form(const CaptchaSolver& solver);
    /** The outcome of the answer to the login itself: a fault, the site's refusal, or the test. */
    LoginOutcome Judge(const FetchedPage& page);
    /** Secrets the site echoed (or a URL held) replaced, so the reason can be shown. */
    std::string Shown(std::string text) const;
    LoginOutcome Tested();
    std::string Url(const std::string& pathTemplate, const std::string& base) const;

    const SiteProfile& site_;
    const LoginBlock& login_;
    FetchPage fetch_;
    std::chrono::steady_clock::time_point deadline_;
    TemplateValues values_;
    std::vector<std::string> headers_;
    int requests_ = 0;
};

/** Whether a site's answer shows a password login's session gone: 401 or 403, a redirect not
 *  followed, or a followed one that ended on the login page. */
bool LooksLoggedOut(const SiteProfile& site, const FetchedPage& page);

/** The settings a login's templates read (".Config.NAME"), in order, each once: its path,
 *  inputs and headers (or the search's headers it sends). */
std::vector<std::string> LoginSettings(const Definition& definition);

/** Whether a setting's name says it holds a one-time code (a second factor): asked for by
 *  --login, never required at start. */
bool OneTimeSetting(const std::string& name);

/** The value a login's selector block reads on the page: its text or attribute (or its
 *  template), filters applied; nullopt when the selector finds nothing and there is no default. */
std::optional<std::string> SelectedValue(const DefinitionField& field, const HtmlDocument& page,
                                         const TemplateValues& values);
