#include "relay/gateway/SiteLogin.h"

#include "relay/PageReducer.h"
#include "relay/RowEncoding.h"
#include "relay/definitions/CssSelector.h"
#include "relay/definitions/HtmlDocument.h"
#include "relay/definitions/RowExtraction.h"
#include "relay/gateway/SiteSearch.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QString>
#include <QUrl>

#include <algorithm>
#include <map>
#include <random>

namespace {

using Kind = LoginOutcome::Kind;

std::string Resolved(const std::string& base, const std::string& link)
{
    return QUrl(QString::fromStdString(base))
        .resolved(QUrl(QString::fromStdString(link)))
        .toString(QUrl::FullyEncoded)
        .toStdString();
}

std::string PathOf(const std::string& url)
{
    return QUrl(QString::fromStdString(url)).path().toStdString();
}

std::unique_ptr<HtmlDocument> Parsed(const FetchedPage& page,
                                     std::chrono::steady_clock::time_point deadline)
{
    HtmlLimits limits;
    limits.deadline = deadline;
    auto document = std::make_unique<HtmlDocument>(page.body.toStdString(), limits);
    return document->root() ? std::move(document) : nullptr;
}

/** The site's error message when the page is one of the login's error blocks, else "". */
std::string LoginError(const LoginBlock& login, const HtmlDocument& page,
                       const TemplateValues& values)
{
    for (const LoginBlock::Error& e : login.errors) {
        const GumboNode* found = CssSelector(e.selector).SelectFirst(page.root());
        if (!found) continue;
        std::string text;
        if (e.hasMessage) {
            text = SelectedValue(e.message, page, values).value_or("");
        } else {
            text = TextContent(found);
        }
        text = CleanField(text);
        return text.empty() ? "an error page" : text.substr(0, 300);
    }
    return {};
}

/** The form's inputs as a browser would send them: named, enabled, checkboxes and radio
 *  buttons only when checked. */
std::vector<std::pair<std::string, std::string>> FormInputs(const GumboNode* form)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (const GumboNode* input : CssSelector("input").SelectAll(form)) {
        const char* name = AttributeOf(input, "name");
        if (!name || AttributeOf(input, "disabled")) continue;
        const char* type = AttributeOf(input, "type");
        const std::string kind = QString::fromUtf8(type ? type : "").toLower().toStdString();
        if ((kind == "checkbox" || kind == "radio") && !AttributeOf(input, "checked")) continue;
        const char* value = AttributeOf(input, "value");
        out.emplace_back(name, value ? value : "");
    }
    return out;
}

void Set(std::vector<std::pair<std::string, std::string>>& pairs, const std::string& name,
         const std::string& value)
{
    const auto it = std::find_if(pairs.begin(), pairs.end(),
                                 [&](const auto& pair) { return pair.first == name; });
    if (it == pairs.end())
        pairs.emplace_back(name, value);
    else
        it->second = value;
}

std::string Encoded(const std::vector<std::pair<std::string, std::string>>& pairs,
                    const std::string& charset)
{
    std::string out;
    for (const auto& [name, value] : pairs) {
        if (!out.empty()) out += '&';
        out += FormEncoded(name, charset) + "=" + FormEncoded(value, charset);
    }
    return out;
}

std::string Multipart(const std::vector<std::pair<std::string, std::string>>& pairs,
                      std::string& boundary)
{
    std::mt19937_64 random{std::random_device{}()};
    boundary = "----reelmate" + std::to_string(random());
    std::string body;
    for (const auto& [name, value] : pairs)
        body.append("--")
            .append(boundary)
            .append("\r\nContent-Disposition: form-data; name=\"")
            .append(name)
            .append("\"\r\n\r\n")
            .append(value)
            .append("\r\n");
    return body + "--" + boundary + "--\r\n";
}

} // namespace

std::optional<std::string> SelectedValue(const DefinitionField& field, const HtmlDocument& page,
                                         const TemplateValues& values)
{
    std::string value;
    if (field.hasText) {
        value = Template(field.text).Render(values);
    } else if (!field.cases.empty()) {
        const auto it = std::find_if(field.cases.begin(), field.cases.end(), [&](const auto& c) {
            return c.first == "*" || CssSelector(c.first).SelectFirst(page.root());
        });
        if (it == field.cases.end()) return std::nullopt;
        value = Template(it->second).Render(values);
    } else {
        const GumboNode* found = CssSelector(field.selector).SelectFirst(page.root());
        if (!found) {
            if (!field.hasDefault) return std::nullopt;
            value = Template(field.defaultValue).Render(values);
        } else if (!field.attribute.empty()) {
            const char* attribute = AttributeOf(found, field.attribute);
            if (!attribute) return std::nullopt;
            value = attribute;
        } else {
            value = TextContent(found);
            if (!field.remove.empty())
                for (const GumboNode* removed : CssSelector(field.remove).SelectAll(found)) {
                    const std::string text = TextContent(removed);
                    if (const size_t at = value.find(text);
                        !text.empty() && at != std::string::npos)
                        value.erase(at, text.size());
                }
        }
    }
    return ApplyFilters(value, field.filters, &values);
}

std::vector<std::string> LoginSettings(const Definition& definition)
{
    const LoginBlock& login = *definition.login;
    std::string text = login.path;
    for (const auto& [name, value] : login.inputs)
        text += " " + value;
    for (const auto& [name, value] :
         login.headers.empty() ? definition.searchHeaders : login.headers)
        text += " " + value;
    static const QRegularExpression kSetting(QStringLiteral("\\.Config\\.(\\w+)"));
    std::vector<std::string> names;
    for (auto it = kSetting.globalMatch(QString::fromStdString(text)); it.hasNext();) {
        const std::string name = it.next().captured(1).toStdString();
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
}

bool OneTimeSetting(const std::string& name)
{
    static const QRegularExpression kOneTime(QStringLiteral("2fa|otp|totp|pin$|token|code"),
                                             QRegularExpression::CaseInsensitiveOption);
    return kOneTime.match(QString::fromStdString(name)).hasMatch();
}

bool LooksLoggedOut(const SiteProfile& site, const FetchedPage& page)
{
    if (!site.passwordLogin || !site.definition || !site.definition->login) return false;
    if (page.status == 401 || page.status == 403) return true;
    // A redirect within the site (to its login page); one to another host is no login's doing.
    if (page.status >= 300 && page.status < 400)
        return page.location.empty() || SameSite(site, ParseOrigin(page.location));
    const std::string login = PathOf(Resolved(
        site.siteLink, Template(site.definition->login->path).Render(SearchValues(site, {}))));
    return !page.url.empty() && PathOf(page.url) == login && login != "/" && !login.empty();
}

SiteLogin::SiteLogin(const SiteProfile& site, FetchPage fetch,
                     std::chrono::steady_clock::time_point deadline)
    : site_(site), login_(*site.definition->login), fetch_(std::move(fetch)), deadline_(deadline),
      values_(SearchValues(site, {}))
{
    // As the reference readers do: the login's headers, else the search's (an API's key).
    headers_ = RenderedHeaders(
        *site.definition, login_.headers.empty() ? site.definition->searchHeaders : login_.headers,
        values_);
}

std::string SiteLogin::Url(const std::string& pathTemplate, const std::string& base) const
{
    return Resolved(base, Template(pathTemplate).Render(values_));
}

std::string SiteLogin::Shown(std::string text) const
{
    for (const std::string& secret : site_.secrets)
        for (size_t at; !secret.empty() && (at = text.find(secret)) != std::string::npos;)
            text.replace(at, secret.size(), "***");
    return text;
}

FetchedPage SiteLogin::Get(const std::string& url, bool follow, const std::string& referer)
{
    SiteRequest request;
    request.url = url;
    request.deadline = deadline_;
    request.siteHeaders = headers_;
    request.siteHeaders.push_back("Referer: " + (referer.empty() ? site_.siteLink : referer));
    ++requests_;
    return fetch_(request, follow);
}

FetchedPage SiteLogin::Post(const std::string& url, const std::string& body,
                            const std::string& contentType, const std::string& referer)
{
    SiteRequest request;
    request.url = url;
    request.method = "POST";
    request.body = body;
    request.deadline = deadline_;
    request.siteHeaders = headers_;
    // As the reference readers send it: the site's link, or the form's page.
    request.siteHeaders.push_back("Referer: " + (referer.empty() ? site_.siteLink : referer));
    request.headers.push_back("Content-Type: " + contentType);
    ++requests_;
    return fetch_(request, true);
}

LoginOutcome SiteLogin::Run(const CaptchaSolver& solver)
{
    const std::string& charset = site_.definition->encoding;
    LoginOutcome outcome;
    if (login_.method == "form") {
        outcome = Form(solver);
    } else if (login_.method == "post") {
        outcome = Judge(Post(Url(login_.path, site_.siteLink),
                             InputsForm(*site_.definition, login_.inputs, values_, charset),
                             "application/x-www-form-urlencoded"));
    } else { // get: the inputs as the query
        std::string url = Url(login_.path, site_.siteLink);
        if (!login_.inputs.empty())
            url += (url.find('?') == std::string::npos ? "?" : "&") +
                   InputsForm(*site_.definition, login_.inputs, values_, charset);
        outcome = Judge(Get(url, true));
    }
    outcome.reason = Shown(outcome.reason);
    outcome.requests = requests_;
    return outcome;
}

LoginOutcome SiteLogin::Form(const CaptchaSolver& solver)
{
    const std::string& charset = site_.definition->encoding;
    const FetchedPage landing = Get(Url(login_.path, site_.siteLink), true);
    if (landing.failure && !landing.siteAnswered)
        return {Kind::SiteFault, "the login page: " + landing.failure.reason};
    if (landing.status >= 500)
        return {Kind::SiteFault, "the login page answered " + std::to_string(landing.status)};
    if (landing.failure) return {Kind::Refused, "the login page: " + landing.failure.reason};
    const auto page = Parsed(landing, deadline_);
    if (!page) return {Kind::SiteFault, "the login page could not be read"};
    const GumboNode* form = CssSelector(login_.form).SelectFirst(page->root());
    if (!form) return {Kind::Refused, "no form " + login_.form + " on the login page"};
    std::vector<std::pair<std::string, std::string>> pairs = FormInputs(form);
    for (const auto& [key, value] : login_.inputs) {
        std::string name = key;
        if (login_.inputsAreSelectors) {
            const GumboNode* input = CssSelector(key).SelectFirst(page->root());
            const char* attribute = input ? AttributeOf(input, "name") : nullptr;
            if (!attribute) return {Kind::Refused, "no input " + key + " on the login page"};
            name = attribute;
        }
        Set(pairs, name, Template(value).Render(values_));
    }
    for (const auto& [name, field] : login_.selectorInputs) {
        const std::optional<std::string> value = SelectedValue(field, *page, values_);
        if (!value && field.optional) continue;
        if (!value) return {Kind::Refused, "the login page has no " + field.selector};
        Set(pairs, name, *value);
    }
    std::vector<std::pair<std::string, std::string>> query;
    for (const auto& [name, field] : login_.getSelectorInputs) {
        const std::optional<std::string> value = SelectedValue(field, *page, values_);
        if (!value && field.optional) continue;
        if (!value) return {Kind::Refused, "the login page has no " + field.selector};
        Set(query, name, *value);
    }
    // A "simple captcha" (pick the image named) answers itself, as the reference readers solve
    // it: the site's own first image.
    if (CssSelector("script[src*=\"simpleCaptcha\"]").SelectFirst(page->root())) {
        const FetchedPage images =
            Get(Resolved(site_.siteLink, "simpleCaptcha.php?numImages=1"), true, landing.url);
        if (!images.siteAnswered || images.status >= 500)
            return {Kind::SiteFault, "the simple captcha: " + images.failure.reason};
        const QJsonValue hash = QJsonDocument::fromJson(images.body)
                                    .object()
                                    .value(QStringLiteral("images"))
                                    .toArray()
                                    .at(0)
                                    .toObject()
                                    .value(QStringLiteral("hash"));
        if (!hash.isString()) return {Kind::Refused, "the simple captcha gave no image"};
        Set(pairs, "captchaSelection", hash.toString().toStdString());
        Set(pairs, "submitme", "X");
    }
    if (login_.captcha.present)
        if (const GumboNode* image =
                CssSelector(login_.captcha.selector).SelectFirst(page->root())) {
            const char* source = AttributeOf(image, "src");
            if (!solver || !source) return {Kind::NeedsPerson, "the login page asks for a captcha"};
            const FetchedPage picture = Get(Resolved(landing.url, source), true, landing.url);
            if (picture.failure) return {Kind::SiteFault, "the captcha: " + picture.failure.reason};
            std::string answer;
            if (!solver(picture.body, picture.contentType, answer))
                return {Kind::NeedsPerson, "no answer to the captcha"};
            std::string input = login_.captcha.input;
            if (login_.inputsAreSelectors) { // the input named as the others are: a selector
                const GumboNode* field = CssSelector(input).SelectFirst(page->root());
                const char* name = field ? AttributeOf(field, "name") : nullptr;
                if (!name)
                    return {Kind::Refused, "no captcha input " + input + " on the login page"};
                input = name;
            }
            Set(pairs, input, answer);
        }
    const char* action = AttributeOf(form, "action");
    std::string submit = !login_.submitPath.empty() ? Template(login_.submitPath).Render(values_)
                         : action                   ? action
                                                    : "";
    if (!query.empty())
        submit += (submit.find('?') == std::string::npos ? "?" : "&") + Encoded(query, charset);
    const std::string url = Resolved(landing.url, submit);
    const char* enctype = AttributeOf(form, "enctype");
    if (enctype && std::string(enctype) == "multipart/form-data") {
        std::string boundary;
        const std::string body = Multipart(pairs, boundary);
        return Judge(Post(url, body, "multipart/form-data; boundary=" + boundary, landing.url));
    }
    return Judge(
        Post(url, Encoded(pairs, charset), "application/x-www-form-urlencoded", landing.url));
}

LoginOutcome SiteLogin::Judge(const FetchedPage& page)
{
    // The site is in trouble: that says nothing of the password, and is tried again.
    if (!page.siteAnswered || page.status >= 500)
        return {Kind::SiteFault, page.failure
                                     ? page.failure.reason
                                     : "the login answered " + std::to_string(page.status)};
    if (page.status == 401) return {Kind::Refused, "401 Unauthorized: check the credentials"};
    if (const auto document = Parsed(page, deadline_))
        if (std::string said = LoginError(login_, *document, values_); !said.empty())
            return {Kind::Refused, "the site says: " + said};
    if (page.failure) return {Kind::Refused, "the login answered " + page.failure.reason};
    return Tested();
}

LoginOutcome SiteLogin::Test()
{
    LoginOutcome outcome = Tested();
    outcome.reason = Shown(outcome.reason);
    outcome.requests = requests_;
    return outcome;
}

LoginOutcome SiteLogin::Tested()
{
    const Definition& d = *site_.definition;
    if (d.loginTestPath.empty() && d.loginTestSelector.empty()) return {};
    const std::string url = Url(d.loginTestPath, site_.siteLink);
    FetchedPage page = Get(url, false);
    // One redirect within the site is followed, as the reference reader does; a second, or one
    // elsewhere, is the login page.
    if (page.status >= 300 && page.status < 400 && !page.location.empty() &&
        QUrl(QString::fromStdString(page.location)).host() ==
            QUrl(QString::fromStdString(url)).host())
        page = Get(page.location, false);
    if (!page.siteAnswered || page.status >= 500)
        return {Kind::SiteFault, "the login test: " + (page.failure ? page.failure.reason
                                                                    : std::to_string(page.status))};
    if (page.status >= 300 && page.status < 400)
        return {Kind::Refused, "the login test was sent to the login page: the site did not "
                               "accept the login"};
    if (page.status == 401 || page.status == 403)
        return {Kind::Refused, "the login test was refused (" + std::to_string(page.status) + ")"};
    if (d.loginTestSelector.empty()) return {};
    const auto document = Parsed(page, deadline_);
    if (!document) return {Kind::SiteFault, "the login test's page could not be read"};
    if (!CssSelector(d.loginTestSelector).SelectFirst(document->root()))
        return {Kind::Refused, "the login test found no " + d.loginTestSelector +
                                   ": the site did not accept the login"};
    return {};
}
