#include "relay/gateway/SiteSearch.h"

#include "relay/definitions/CompiledDefinition.h"
#include "relay/definitions/RowExtraction.h"
#include "relay/definitions/UrlEncoding.h"
#include "relay/magnet/MagnetLink.h"

#include <QDate>
#include <QString>
#include <QStringEncoder>
#include <QUrl>
#include <QUrlQuery>
#include <algorithm>

bool IsWebUrl(const std::string& url)
{
    return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

std::string FormEncoded(const std::string& text, const std::string& charset)
{
    QStringEncoder encoder(charset.c_str());
    const QByteArray bytes = encoder.isValid() ? QByteArray(encoder.encode(QString::fromUtf8(text)))
                                               : QByteArray::fromStdString(text);
    // "%20", not "+": a site that reads its query raw takes "+" for a plus.
    return bytes.toPercentEncoding().toStdString();
}

TemplateValues SearchValues(const SiteProfile& site, const std::string& keywords)
{
    const CompiledDefinition& d = *site.definition;
    TemplateValues v;
    v.text["Query.Keywords"] = keywords;
    v.text["Query.Type"] = "search";
    v.text["True"] = "True"; // and .False is empty, as an unknown name is
    // The reference reader's year: last year's in January, when sites still file under it.
    const QDate today = QDate::currentDate();
    v.text["Today.Year"] = std::to_string(today.month() > 1 ? today.year() : today.year() - 1);
    for (const auto& [name, value] : site.settings)
        v.text["Config." + name] = SettingForTemplates(d, name, value);
    v.text["Config.sitelink"] = site.siteLink;
    v.text["Keywords"] = ApplyFilters(keywords, d.compiledKeywordsFilters, v);
    v.lists["Categories"] = {};
    return v;
}

std::vector<std::string> RenderedHeaders(const CompiledDefinition& d,
                                         const Definition::Pairs& headers,
                                         const TemplateValues& values)
{
    std::vector<std::string> out;
    for (const auto& [name, value] : headers) {
        // A header may name the keywords: a line break typed into them must not start another.
        std::string text = d.Render(value, values);
        std::replace_if(
            text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
        out.push_back(text.insert(0, name + ": "));
    }
    return out;
}

TemplateValues DownloadValues(const SiteProfile& site, const std::string& link)
{
    TemplateValues v = SearchValues(site, {});
    const QUrl url(QString::fromStdString(link));
    const auto set = [&v](const char* name, const QString& value) {
        v.text[std::string("DownloadUri.") + name] = value.toStdString();
    };
    set("AbsoluteUri", url.toString(QUrl::FullyEncoded));
    set("AbsolutePath", url.path(QUrl::FullyEncoded));
    set("PathAndQuery", url.path(QUrl::FullyEncoded) +
                            (url.hasQuery() ? u'?' + url.query(QUrl::FullyEncoded) : QString()));
    set("Query", url.hasQuery() ? u'?' + url.query(QUrl::FullyEncoded) : QString());
    set("Scheme", url.scheme());
    set("Host", url.host());
    set("Port", QString::number(url.port(url.scheme() == u"https" ? 443 : 80)));
    for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded))
        v.text["DownloadUri.Query." + key.toStdString()] = value.toStdString();
    return v;
}

std::vector<std::string> DownloadHeaders(const SiteProfile& site, const TemplateValues& values)
{
    const CompiledDefinition& d = *site.definition;
    return RenderedHeaders(d, d.downloadHeaders.empty() ? d.searchHeaders : d.downloadHeaders,
                           values);
}

std::string InputsForm(const CompiledDefinition& d, const Definition::Pairs& inputs,
                       const TemplateValues& values, const std::string& charset)
{
    std::string form;
    for (const auto& [name, value] : inputs) {
        if (!form.empty()) form += '&';
        form += FormEncoded(name, charset) + "=" + FormEncoded(d.Render(value, values), charset);
    }
    return form;
}

namespace {

/** The form of one path: the search's inputs (unless it does not inherit them), its own over
 *  them, in the definition's encoding; "$raw" ones as they are rendered. */
std::string Form(const CompiledDefinition& d, const Definition::Path& path,
                 const TemplateValues& values, const TemplateValues& raw)
{
    Definition::Pairs inputs = path.inheritInputs ? d.inputs : Definition::Pairs();
    for (const auto& own : path.inputs) {
        const auto same = std::find_if(inputs.begin(), inputs.end(), [&own](const auto& input) {
            return input.first == own.first;
        });
        if (same != inputs.end() && own.first != "$raw")
            same->second = own.second;
        else
            inputs.push_back(own);
    }
    std::string form;
    for (const auto& [name, value] : inputs) {
        const bool isRaw = name == "$raw";
        const std::string text = d.Render(value, isRaw ? raw : values);
        if (text.empty() && (isRaw || !d.allowEmptyInputs)) continue;
        if (!form.empty()) form += '&';
        form += isRaw ? text : FormEncoded(name, d.encoding) + "=" + FormEncoded(text, d.encoding);
    }
    return form;
}

} // namespace

std::vector<SearchRequest> SearchRequests(const SiteProfile& site, const TemplateValues& values)
{
    const CompiledDefinition& d = *site.definition;
    // The keywords as they go into a "$raw" input: already encoded for the site.
    TemplateValues raw = values;
    for (const char* name : {"Keywords", "Query.Keywords"})
        raw.text[name] = FormEncoded(values.text.at(name), d.encoding);
    const std::vector<std::string> headers = RenderedHeaders(d, d.searchHeaders, values);
    std::vector<SearchRequest> out;
    const QUrl base(QString::fromStdString(site.siteLink));
    for (size_t index = 0; index < d.paths.size(); ++index) {
        const Definition::Path& p = d.paths[index];
        SearchRequest r;
        r.path = index;
        const auto compiled = d.requestTemplates.find(p.path);
        const std::string path = compiled != d.requestTemplates.end()
                                     ? RenderedSearchPath(compiled->second, values)
                                     : RenderedSearchPath(p.path, values);
        r.url = base.resolved(QUrl(QString::fromStdString(path))).toString().toStdString();
        r.followRedirect = p.followRedirect || d.followRedirect;
        r.headers = headers;
        const std::string form = Form(d, p, values, raw);
        if (d.Render(p.method, values) == "post") {
            r.method = "POST";
            r.body = form;
        } else if (!form.empty()) {
            r.url += (r.url.find('?') == std::string::npos ? '?' : '&') + form;
        }
        const bool again =
            r.method == "GET" && std::any_of(out.begin(), out.end(), [&r](const auto& o) {
                return o.method == "GET" && o.url == r.url;
            });
        if (!again) out.push_back(std::move(r));
    }
    return out;
}

bool IsMagnetUri(const std::string& url)
{
    return url.size() >= 7 && QString::fromStdString(url.substr(0, 7)).toLower() == u"magnet:";
}

bool HitOf(const SiteProfile& site, const std::map<std::string, std::string>& row, GatewayHit& hit,
           bool& badMagnet)
{
    const CompiledDefinition& d = *site.definition;
    const auto value = [&row](const char* name) {
        const auto it = row.find(name);
        return it == row.end() ? std::string() : it->second;
    };
    badMagnet = false;
    hit = {};
    // One line in the program's list: the site's line breaks and tabs become spaces.
    hit.title = value("title");
    std::replace_if(
        hit.title.begin(), hit.title.end(),
        [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
    std::string link = value("download");
    if (!d.downloadSelectors.empty() || d.infohash.present) {
        // The link is on the page the download field names (the details page when none).
        if (link.empty()) link = value("details");
        hit.details = true;
    }
    if (!IsMagnetUri(link)) {
        hit.url = link;
        if (IsWebUrl(link)) return !hit.title.empty();
        link.clear(); // no web address: a magnet link or info hash may still lead somewhere
    }
    const std::string magnet = IsMagnetUri(link) ? link : value("magnet");
    const std::string infoHash = value("infohash");
    if (magnet.empty() && infoHash.empty()) return false;
    const MagnetParse parse = magnet.empty()
                                  ? MagnetFromInfoHash(infoHash, d.trackers, site.privateBase)
                                  : ParseMagnet(magnet, site.privateBase);
    if (!parse) {
        badMagnet = true;
        return false;
    }
    hit.url = MagnetUri(parse.link);
    hit.details = false;
    hit.magnet = true;
    return !hit.title.empty();
}
