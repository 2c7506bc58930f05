#include "relay/definitions/CompiledDefinition.h"
#include "relay/definitions/LoginBlock.h"

#include "relay/definitions/DotNetRegex.h"

#include <QString>

#include <utility>

namespace {

/** A piece that does not parse: its message, at line. */
struct Broken {
    int line;
    std::string what;
};

CompiledText Text(const std::string& text, int line)
{
    CompiledText out{text, std::nullopt};
    if (text.find("{{") == std::string::npos) return out;
    out.tmpl.emplace(text);
    if (!out.tmpl->ok())
        throw Broken{line, out.tmpl->error() + " in \"" + text.substr(0, 120) + "\""};
    return out;
}

/** A template that is rendered whatever it holds. */
Template Whole(const std::string& text, int line)
{
    Template t(text);
    if (!t.ok()) throw Broken{line, t.error() + " in \"" + text.substr(0, 120) + "\""};
    return t;
}

CompiledCss Css(const std::string& text, int line)
{
    CompiledCss out{Text(text, line), std::nullopt, nullptr};
    if (out.source.tmpl) out.rendered = std::make_shared<RenderedSelectors>();
    if (text.empty() || out.source.tmpl) return out;
    out.css.emplace(text);
    if (!out.css->ok()) throw Broken{line, out.css->error()};
    return out;
}

CompiledJson Json(const std::string& text, int line)
{
    CompiledJson out;
    out.source = Text(text, line);
    if (out.source.tmpl) return out;
    std::string path = text;
    out.up = path.rfind("..", 0) == 0;
    if (out.up) path.erase(0, 2);
    std::string why;
    out.parsed = ParseJsonSelector(path, &why);
    if (!out.parsed) throw Broken{line, "JSON selector \"" + text + "\": " + why};
    return out;
}

QRegularExpression Pattern(const QString& pattern, int line)
{
    QRegularExpression re(pattern);
    if (!re.isValid())
        throw Broken{line, "regular expression \"" + pattern.toStdString().substr(0, 120) +
                               "\": " + re.errorString().toStdString()};
    re.optimize();
    return re;
}

/** strict: a template or pattern that does not parse is refused (else it is compiled at use,
 *  and does there what it does); templates: the arguments are templates, else plain text. */
CompiledFilter Filter(const DefinitionFilter& f, bool strict = true, bool templates = true)
{
    static const std::pair<const char*, CompiledFilter::Kind> kKinds[] = {
        {"replace", CompiledFilter::Kind::Replace},
        {"re_replace", CompiledFilter::Kind::ReReplace},
        {"regexp", CompiledFilter::Kind::Regexp},
        {"split", CompiledFilter::Kind::Split},
        {"trim", CompiledFilter::Kind::Trim},
        {"append", CompiledFilter::Kind::Append},
        {"prepend", CompiledFilter::Kind::Prepend},
        {"tolower", CompiledFilter::Kind::ToLower},
        {"toupper", CompiledFilter::Kind::ToUpper},
        {"urldecode", CompiledFilter::Kind::UrlDecode},
        {"urlencode", CompiledFilter::Kind::UrlEncode},
        {"querystring", CompiledFilter::Kind::QueryString},
        {"htmldecode", CompiledFilter::Kind::HtmlDecode},
        {"diacritics", CompiledFilter::Kind::Diacritics},
        {"validate", CompiledFilter::Kind::Validate},
        {"validfilename", CompiledFilter::Kind::ValidFilename}};
    CompiledFilter out;
    for (const auto& [name, kind] : kKinds)
        if (f.name == name) out.kind = kind;
    for (const std::string& arg : f.args)
        out.args.push_back(!templates ? CompiledText{arg, std::nullopt}
                           : strict   ? Text(arg, f.line)
                                      : CompiledText{arg, Template(arg)});
    if (!strict) return out;
    const bool literal = !out.args.empty() && !out.args[0].tmpl;
    if (literal &&
        (out.kind == CompiledFilter::Kind::ReReplace || out.kind == CompiledFilter::Kind::Regexp))
        out.re = Pattern(DotNetPattern(out.args[0].text), f.line);
    else if (literal && out.kind == CompiledFilter::Kind::Trim)
        out.re = Pattern(TrimPattern(QString::fromStdString(out.args[0].text)), f.line);
    return out;
}

std::vector<CompiledFilter> Filters(const std::vector<DefinitionFilter>& filters)
{
    std::vector<CompiledFilter> out;
    out.reserve(filters.size());
    for (const DefinitionFilter& f : filters)
        out.push_back(Filter(f));
    return out;
}

/** link: the selector finds a link, its href unless it names another attribute. */
CompiledDownloadSelector Download(const Definition::DownloadSelector& s, int line, bool link)
{
    return {Css(s.selector, line), s.attribute.empty() && link ? "href" : s.attribute,
            Filters(s.filters), s.useBeforeResponse};
}

void Compile(const Definition& d, CompiledDefinition& out)
{
    static_cast<Definition&>(out) = d;
    // The whole file's pieces have no line of their own: the field or filter's, else 0.
    const int line = 0;
    if (d.json) {
        out.jsonRows = Json(d.rowsSelector, line);
        if (!d.rowsCount.empty()) out.jsonCount = Json(d.rowsCount, line);
    } else {
        out.rows = Css(d.rowsSelector, line);
    }
    out.countFilters = Filters(d.rowsCountFilters);
    for (const DefinitionField& f : d.fields) {
        CompiledField c;
        if (d.json && !f.selector.empty())
            c.json = Json(f.selector, f.line);
        else
            c.css = Css(f.selector, f.line);
        c.remove = Css(f.remove, f.line);
        if (f.hasText) c.text = Whole(f.text, f.line);
        c.defaultValue = Whole(f.defaultValue, f.line);
        c.filters = Filters(f.filters);
        for (const auto& [selector, value] : f.cases)
            c.cases.emplace_back(d.json || selector == "*"
                                     ? CompiledCss{Text(selector, f.line), {}, nullptr}
                                     : Css(selector, f.line),
                                 Text(value, f.line));
        out.compiledFields.push_back(std::move(c));
    }
    for (const Definition::ErrorBlock& e : d.errors)
        out.compiledErrors.push_back({Css(e.selector, line), Css(e.messageSelector, line)});
    for (const Definition::DownloadSelector& s : d.downloadSelectors)
        out.downloads.push_back(Download(s, line, true));
    for (const Definition::DownloadSelector& s : d.before.pathSelector)
        out.beforePath.push_back(Download(s, line, true));
    if (d.infohash.present) {
        out.infohashHash = Download(d.infohash.hash, line, false);
        out.infohashTitle = Download(d.infohash.title, line, false);
    }
    out.loginTest = Css(d.loginTestSelector, line);
    out.compiledKeywordsFilters = Filters(d.keywordsFilters);
    const auto add = [&out](const std::string& text) {
        if (!out.requestTemplates.count(text)) out.requestTemplates.emplace(text, Whole(text, 0));
    };
    const auto addPairs = [&add](const Definition::Pairs& pairs) {
        for (const auto& [name, value] : pairs)
            add(value);
    };
    for (const Definition::Path& p : d.paths) {
        add(p.path);
        add(p.method);
        addPairs(p.inputs);
    }
    addPairs(d.inputs);
    addPairs(d.searchHeaders);
    addPairs(d.downloadHeaders);
    add(d.before.path);
    addPairs(d.before.inputs);
    add(d.loginTestPath);
    if (d.login) {
        add(d.login->path);
        add(d.login->submitPath);
        addPairs(d.login->inputs);
        addPairs(d.login->headers);
    }
}

} // namespace

QString TrimPattern(const QString& characters)
{
    return QStringLiteral("^[%1]+|[%1]+$").arg(QRegularExpression::escape(characters));
}

std::string CompiledDefinition::Render(const std::string& text, const TemplateValues& values,
                                       const Template::Modifier& modifier) const
{
    const auto it = requestTemplates.find(text);
    return it != requestTemplates.end() ? it->second.Render(values, modifier)
                                        : Template(text).Render(values, modifier);
}

std::string DefinitionError::Text() const
{
    return std::to_string(line) + (kind == Kind::Unsupported ? ": unsupported " : ": error ") +
           what;
}

bool CompileDefinition(const Definition& definition, CompiledDefinition& out,
                       DefinitionError& error)
{
    try {
        Compile(definition, out);
        return true;
    } catch (const Broken& b) {
        error = {DefinitionError::Kind::Invalid, b.line, b.what};
        return false;
    }
}

bool ParseDefinition(const std::string& text, const std::string& path, CompiledDefinition& out,
                     std::string& why)
{
    Definition d;
    if (!ParseDefinition(text, path, d, why)) return false;
    DefinitionError error;
    if (CompileDefinition(d, out, error)) return true;
    why = error.Text();
    return false;
}

std::vector<CompiledFilter> LenientFilters(const std::vector<DefinitionFilter>& filters,
                                           bool templates)
{
    std::vector<CompiledFilter> out;
    out.reserve(filters.size());
    for (const DefinitionFilter& f : filters)
        out.push_back(Filter(f, false, templates));
    return out;
}

bool CompileFilters(const std::vector<DefinitionFilter>& filters, std::vector<CompiledFilter>& out,
                    DefinitionError& error)
{
    try {
        out = Filters(filters);
        return true;
    } catch (const Broken& b) {
        error = {DefinitionError::Kind::Invalid, b.line, b.what};
        return false;
    }
}

std::shared_ptr<const CssSelector> RenderedSelectors::Get(const std::string& text)
{
    constexpr size_t kKept = 32, kLongest = 1024; // a few short texts: the settings' renderings
    if (text.size() > kLongest) return std::make_shared<const CssSelector>(text);
    const std::lock_guard lock(mutex_);
    auto it = parsed_.find(text);
    if (it != parsed_.end()) return it->second;
    if (parsed_.size() >= kKept) parsed_.clear();
    return parsed_.emplace(text, std::make_shared<const CssSelector>(text)).first->second;
}

const CssSelector& CssCache::operator()(const CompiledCss& selector, const TemplateValues& values)
{
    if (selector.css) return *selector.css;
    std::string text = selector.source.Render(values);
    auto it = rendered_.find(text);
    if (it == rendered_.end()) {
        std::shared_ptr<const CssSelector> parsed = selector.rendered
                                                        ? selector.rendered->Get(text)
                                                        : std::make_shared<const CssSelector>(text);
        it = rendered_.emplace(std::move(text), std::move(parsed)).first;
    }
    return *it->second;
}

std::optional<JsonSelector> CompiledJson::Get(const TemplateValues& values, bool& upward) const
{
    upward = up;
    if (!source.tmpl) return parsed;
    std::string path = source.Render(values);
    upward = path.rfind("..", 0) == 0;
    if (upward) path.erase(0, 2);
    return ParseJsonSelector(path);
}
