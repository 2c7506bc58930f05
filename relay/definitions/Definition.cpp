#include "relay/definitions/Definition.h"

#include "relay/definitions/CompiledDefinition.h"
#include "relay/definitions/CssSelector.h"
#include "relay/definitions/JsonSelector.h"
#include "relay/definitions/LoginBlock.h"
#include "relay/definitions/Template.h"

#include <QRegularExpression>
#include <QString>

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <set>
#include <stdexcept>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/** A refusal with the line it concerns (1-based). */
struct Refusal : std::runtime_error {
    Refusal(const YAML::Node& at, const std::string& what)
        : std::runtime_error(what), line(at.Mark().line + 1)
    {
    }
    int line;
};

[[noreturn]] void Unsupported(const YAML::Node& at, const std::string& what)
{
    throw Refusal(at, "unsupported " + what);
}

[[noreturn]] void Error(const YAML::Node& at, const std::string& what)
{
    throw Refusal(at, "error " + what);
}

std::string Text(const YAML::Node& node, const std::string& what)
{
    if (!node.IsScalar()) Error(node, what + " must be a single value");
    return node.as<std::string>();
}

/** A number from low to high; NaN and the infinities are none. */
double Number(const YAML::Node& node, const std::string& what, double low, double high,
              bool whole = false)
{
    const std::string range = what + " must be a" + (whole ? " whole" : "") + " number from " +
                              QString::number(low).toStdString() + " to " +
                              QString::number(high).toStdString();
    if (!node.IsScalar()) Error(node, range);
    double value = 0;
    try {
        value = node.as<double>();
    } catch (const YAML::Exception&) {
        Error(node, range);
    }
    if (!std::isfinite(value) || value < low || value > high ||
        (whole && value != std::floor(value)))
        Error(node, range);
    return value;
}

/** A selector or template as a message quotes it: a hostile one may be megabytes. */
std::string Quoted(const std::string& text)
{
    constexpr size_t kShown = 120;
    return "\"" + (text.size() > kShown ? text.substr(0, kShown) + "..." : text) + "\"";
}

/** A template outside a selector (a path, an input, a header, a field's text or default, a
 *  filter's argument...), read now: one the relay cannot read refuses the file at start, where
 *  rendering it would send the site something else. */
void CheckTemplate(const YAML::Node& at, const std::string& text, const std::string& what)
{
    const Template t(text);
    if (t.ok()) return;
    if (t.error().rfind("unsupported ", 0) == 0)
        Unsupported(at, t.error().substr(12) + " in " + what);
    Error(at, t.error() + " in " + what + " " + Quoted(text));
}

/** A value that is a template, checked. */
std::string TemplateText(const YAML::Node& node, const std::string& what)
{
    std::string text = Text(node, what);
    CheckTemplate(node, text, what);
    return text;
}

bool Flag(const YAML::Node& node, const std::string& what)
{
    const std::string value = Text(node, what);
    if (value == "true") return true;
    if (value == "false") return false;
    Error(node, what + " must be true or false");
}

/** Every key of a map must be one of known; ignored ones are read by nobody. */
void OnlyKeys(const YAML::Node& map, const std::set<std::string>& known, const std::string& where,
              const std::set<std::string>& ignored = {})
{
    if (!map.IsMap()) Error(map, where + " must be a map");
    for (const auto& entry : map) {
        const std::string key = entry.first.as<std::string>();
        if (known.count(key) || ignored.count(key)) continue;
        std::string path = where;
        if (!path.empty()) path += '.';
        Unsupported(entry.first, path + key);
    }
}

// Filters whose result the relay uses, and those whose result the program never shows
// (dates, sizes): accepted, left unapplied.
const std::set<std::string> kFilters = {
    "replace",    "re_replace",    "regexp",     "split",     "trim",      "append",
    "prepend",    "tolower",       "toupper",    "urldecode", "urlencode", "querystring",
    "htmldecode", "validfilename", "diacritics", "strdump",   "validate"};
const std::set<std::string> kIgnoredFilters = {"dateparse", "timeago", "fuzzytime", "timeparse",
                                               "date",      "reltime", "andmatch"};

std::vector<DefinitionFilter> Filters(const YAML::Node& list, const std::string& where)
{
    std::vector<DefinitionFilter> out;
    if (!list.IsSequence()) Error(list, where + " must be a list");
    for (const YAML::Node& f : list) {
        OnlyKeys(f, {"name", "args"}, where);
        DefinitionFilter filter;
        filter.name = Text(f["name"], "a filter's name");
        filter.line = f.Mark().line + 1;
        if (!kFilters.count(filter.name) && !kIgnoredFilters.count(filter.name))
            Unsupported(f["name"], "filter " + filter.name);
        if (const YAML::Node args = f["args"]) {
            if (args.IsSequence())
                for (const YAML::Node& a : args)
                    filter.args.push_back(TemplateText(a, "a filter argument"));
            else
                filter.args.push_back(TemplateText(args, "a filter argument"));
        }
        // The reference reader knows this one argument, and fails every value on another.
        if (filter.name == "diacritics" && (filter.args.size() != 1 || filter.args[0] != "replace"))
            Error(f, "the diacritics filter takes \"replace\"");
        out.push_back(std::move(filter));
    }
    return out;
}

/** Selectors may be templates themselves ("tr{{ if .Config.x }}:has(b){{ end }}"): checked as
 *  they come out with the settings' defaults. */
void CheckSelector(const YAML::Node& at, const std::string& selector,
                   const TemplateValues& defaults)
{
    std::string text = selector;
    if (text.find("{{") != std::string::npos) {
        const Template t(text);
        if (!t.ok()) {
            if (t.error().find("unsupported") == 0) Unsupported(at, t.error().substr(12));
            Error(at, t.error() + " in selector " + Quoted(selector));
        }
        text = t.Render(defaults);
    }
    const CssSelector parsed(text);
    if (!parsed.ok()) {
        if (parsed.error().find("unsupported") == 0) Unsupported(at, parsed.error().substr(12));
        Error(at, parsed.error());
    }
}

/** A JSON answer's selector: a dotted path ("data.movies", "..title" for the row's parent, "$"
 *  for the whole answer), checked as it comes out with the settings' defaults. */
/** A JSON selector: a dotted path; a field's may test the value found (":contains(x)"). */
void CheckJsonPath(const YAML::Node& at, const std::string& selector, const TemplateValues& v,
                   bool tests = false)
{
    CheckTemplate(at, selector, "selector");
    std::string text =
        selector.find("{{") == std::string::npos ? selector : Template(selector).Render(v);
    if (text.rfind("..", 0) == 0) text.erase(0, 2);
    std::string why;
    const std::optional<JsonSelector> parsed = ParseJsonSelector(text, &why);
    if (parsed && (tests || parsed->tests.empty())) return;
    Unsupported(at,
                "JSON selector \"" + selector + "\" (" + (parsed ? "tests on rows" : why) + ")");
}

/** A field's key split into its name and modifiers ("title|append"), as the reference readers
 *  split it: at every "|". */
void Modifiers(const YAML::Node& at, const std::string& key, DefinitionField& f)
{
    size_t bar = key.find('|');
    f.name = key.substr(0, bar);
    while (bar != std::string::npos) {
        const size_t next = key.find('|', bar + 1);
        const std::string modifier = key.substr(bar + 1, next - bar - 1);
        if (modifier == "append")
            f.append = true;
        else if (modifier == "noappend")
            f.noappend = true;
        else if (modifier == "optional")
            f.optional = true;
        else
            Unsupported(at,
                        std::string("field modifier ").append(modifier).append(" in ").append(key));
        bar = next;
    }
    if (f.name.empty()) Error(at, "field " + key + " has no name");
}

DefinitionField Field(const YAML::Node& key, const YAML::Node& node, const TemplateValues& v,
                      bool json)
{
    DefinitionField f;
    const std::string fullName = key.as<std::string>();
    Modifiers(key, fullName, f);
    const std::string& name = f.name;
    f.line = node.Mark().line + 1;
    if (node.IsScalar()) { // "field: selector" shorthand is not in the format
        Error(node, "field " + name + " must be a map");
    }
    OnlyKeys(node,
             {"selector", "attribute", "text", "remove", "filters", "optional", "default", "case"},
             "field " + name);
    if (const YAML::Node s = node["selector"]) {
        f.selector = Text(s, "selector");
        if (json)
            CheckJsonPath(s, f.selector, v, true);
        else
            CheckSelector(s, f.selector, v);
    }
    if (json && (node["remove"] || node["attribute"]))
        Unsupported(node["remove"] ? node["remove"] : node["attribute"],
                    "remove or attribute on a JSON field");
    if (json && node["case"] && !node["selector"])
        Error(node, "field " + name + ": a JSON field's cases need its selector");
    if (const YAML::Node t = node["text"]) {
        f.hasText = true;
        f.text = TemplateText(t, "field " + name + ".text");
    }
    // Without a selector, an attribute is the row's own.
    if (f.selector.empty() && !f.hasText && !node["case"] && (!node["attribute"] || json))
        Error(node, "field " + name + " has neither selector nor text");
    if (const YAML::Node a = node["attribute"]) f.attribute = Text(a, "attribute");
    if (const YAML::Node r = node["remove"]) {
        f.remove = Text(r, "remove");
        CheckSelector(r, f.remove, v);
    }
    if (const YAML::Node fl = node["filters"])
        f.filters = Filters(fl, "field " + name + ".filters");
    // Ids and metadata are optional whatever the file says, as the reference readers have them:
    // a row without an IMDb link or a poster is still a release.
    static const std::set<std::string> kOptionalFields = {
        "imdb",    "imdbid",   "tmdbid", "rageid", "tvdbid",     "tvmazeid",
        "traktid", "doubanid", "poster", "genre",  "description"};
    // By the whole key, as they look it up: "description|append" is not optional by name.
    f.optional = f.optional || kOptionalFields.count(fullName) > 0;
    if (const YAML::Node o = node["optional"]) f.optional = f.optional || Flag(o, "optional");
    if (const YAML::Node d = node["default"]) {
        f.hasDefault = true;
        f.defaultValue = TemplateText(d, "field " + name + ".default");
    }
    if (const YAML::Node c = node["case"]) {
        if (!c.IsMap()) Error(c, "case must be a map");
        for (const auto& entry : c) {
            const std::string selector = entry.first.as<std::string>();
            if (selector != "*" && !json) CheckSelector(entry.first, selector, v);
            f.cases.emplace_back(selector, TemplateText(entry.second, "a case's value"));
        }
    }
    return f;
}

/** A map of names to templates, in the file's order; a list value stands for its first item. */
Definition::Pairs Pairs(const YAML::Node& map, const std::string& what);

/** A login's values read from its page: name -> selector block. */
std::vector<std::pair<std::string, DefinitionField>>
SelectorInputs(const YAML::Node& map, const std::string& what, const TemplateValues& v)
{
    if (!map.IsMap()) Error(map, what + " must be a map");
    std::vector<std::pair<std::string, DefinitionField>> out;
    for (const auto& entry : map) {
        const std::string name = entry.first.as<std::string>();
        out.emplace_back(name, Field(entry.first, entry.second, v, false));
    }
    return out;
}

void ReadLoginErrors(const YAML::Node& list, LoginBlock& login, const TemplateValues& v)
{
    if (!list.IsSequence()) Error(list, "login.error must be a list");
    for (const YAML::Node& e : list) {
        OnlyKeys(e, {"selector", "message"}, "login.error");
        LoginBlock::Error block;
        block.selector = Text(e["selector"], "login.error.selector");
        CheckSelector(e["selector"], block.selector, v);
        if (const YAML::Node m = e["message"]) {
            block.hasMessage = true;
            block.message = Field(YAML::Node("message"), m, v, false);
        }
        login.errors.push_back(std::move(block));
    }
}

void ReadLogin(const YAML::Node& login, Definition& d, const TemplateValues& v)
{
    if (!login.IsMap()) Error(login, "login must be a map");
    const YAML::Node method = login["method"];
    d.loginMethod = method ? Text(method, "login.method") : "form";
    static const std::set<std::string> kMethods = {"cookie", "post", "form", "get"};
    if (!kMethods.count(d.loginMethod))
        Unsupported(method ? method : login, "login method " + d.loginMethod);
    if (d.loginMethod == "cookie") {
        OnlyKeys(login, {"method", "inputs", "test"}, "login");
    } else {
        OnlyKeys(login,
                 {"method", "path", "submitpath", "form", "inputs", "selectors", "selectorinputs",
                  "getselectorinputs", "cookies", "headers", "error", "test", "captcha"},
                 "login");
        auto block = std::make_shared<LoginBlock>();
        block->method = d.loginMethod;
        if (!login["path"]) Error(login, "login.path is missing");
        block->path = TemplateText(login["path"], "login.path");
        if (d.loginMethod != "form")
            for (const char* key : {"submitpath", "form", "selectors", "selectorinputs",
                                    "getselectorinputs", "captcha"})
                if (login[key])
                    Error(login[key], std::string("login.") + key + " needs method form");
        if (login["submitpath"])
            block->submitPath = TemplateText(login["submitpath"], "login.submitpath");
        if (login["form"]) {
            block->form = Text(login["form"], "login.form");
            CheckSelector(login["form"], block->form, v);
        }
        if (login["inputs"]) block->inputs = Pairs(login["inputs"], "login.inputs");
        if (login["selectors"]) block->inputsAreSelectors = Flag(login["selectors"], "selectors");
        if (block->inputsAreSelectors)
            for (const auto& entry : login["inputs"])
                CheckSelector(entry.first, entry.first.as<std::string>(), v);
        if (login["selectorinputs"])
            block->selectorInputs = SelectorInputs(login["selectorinputs"], "selectorinputs", v);
        if (login["getselectorinputs"])
            block->getSelectorInputs =
                SelectorInputs(login["getselectorinputs"], "getselectorinputs", v);
        if (const YAML::Node cookies = login["cookies"]) {
            if (!cookies.IsSequence()) Error(cookies, "login.cookies must be a list");
            for (const YAML::Node& c : cookies) {
                const std::string cookie = Text(c, "a login cookie");
                if (cookie.find('=') == std::string::npos ||
                    cookie.find_first_of(";\r\n") != std::string::npos)
                    Error(c, "a login cookie must be NAME=VALUE");
                block->cookies.push_back(cookie);
            }
        }
        if (login["headers"]) block->headers = Pairs(login["headers"], "login.headers");
        if (login["error"]) ReadLoginErrors(login["error"], *block, v);
        if (const YAML::Node captcha = login["captcha"]) {
            OnlyKeys(captcha, {"type", "selector", "input"}, "login.captcha");
            const std::string type = captcha["type"] ? Text(captcha["type"], "captcha.type") : "";
            if (type != "image") Unsupported(captcha, "login.captcha type " + type);
            if (!captcha["selector"] || !captcha["input"])
                Error(captcha, "login.captcha needs selector and input");
            block->captcha.present = true;
            block->captcha.selector = Text(captcha["selector"], "login.captcha.selector");
            CheckSelector(captcha["selector"], block->captcha.selector, v);
            block->captcha.input = Text(captcha["input"], "login.captcha.input");
            if (block->inputsAreSelectors) CheckSelector(captcha["input"], block->captcha.input, v);
        }
        d.login = std::move(block);
    }
    if (const YAML::Node test = login["test"]) {
        OnlyKeys(test, {"path", "selector"}, "login.test");
        if (test["path"]) d.loginTestPath = TemplateText(test["path"], "login.test.path");
        if (test["selector"]) {
            d.loginTestSelector = Text(test["selector"], "login.test.selector");
            CheckSelector(test["selector"], d.loginTestSelector, v);
        }
    }
}

/** A map of names to templates, in the file's order; a list value stands for its first item. */
Definition::Pairs Pairs(const YAML::Node& map, const std::string& what)
{
    if (!map.IsMap()) Error(map, what + " must be a map");
    Definition::Pairs out;
    for (const auto& entry : map) {
        const YAML::Node value = entry.second;
        out.emplace_back(entry.first.as<std::string>(), value.IsSequence() && value.size()
                                                            ? TemplateText(value[0], what)
                                                            : TemplateText(value, what));
    }
    return out;
}

void ReadErrors(const YAML::Node& list, Definition& d, const TemplateValues& v)
{
    if (!list.IsSequence()) Error(list, "search.error must be a list");
    for (const YAML::Node& e : list) {
        OnlyKeys(e, {"selector", "message"}, "search.error");
        Definition::ErrorBlock block;
        block.selector = Text(e["selector"], "search.error.selector");
        CheckSelector(e["selector"], block.selector, v);
        if (const YAML::Node m = e["message"]) {
            OnlyKeys(m, {"selector", "text"}, "search.error.message");
            if (m["selector"]) {
                block.messageSelector = Text(m["selector"], "search.error.message.selector");
                CheckSelector(m["selector"], block.messageSelector, v);
            }
            if (m["text"]) block.messageText = TemplateText(m["text"], "search.error.message.text");
        }
        d.errors.push_back(block);
    }
}

void ReadSearch(const YAML::Node& search, Definition& d, const TemplateValues& v)
{
    OnlyKeys(search,
             {"paths", "path", "inputs", "keywordsfilters", "rows", "fields", "headers", "error",
              "allowEmptyInputs"},
             "search", {"allowrawsearch", "allowtvsearchimdb"});
    if (search["allowEmptyInputs"])
        d.allowEmptyInputs = Flag(search["allowEmptyInputs"], "allowEmptyInputs");
    if (const YAML::Node h = search["headers"]) d.searchHeaders = Pairs(h, "search.headers");
    if (const YAML::Node e = search["error"]) ReadErrors(e, d, v);
    if (const YAML::Node paths = search["paths"]) {
        if (!paths.IsSequence()) Error(paths, "search.paths must be a list");
        for (const YAML::Node& p : paths) {
            OnlyKeys(p, {"path", "method", "followredirect", "inputs", "inheritinputs", "response"},
                     "search.paths", {"categories"});
            if (const YAML::Node response = p["response"]) {
                OnlyKeys(response, {"type", "noResultsMessage"}, "search.paths.response");
                const std::string type =
                    response["type"] ? Text(response["type"], "response.type") : "html";
                if (type != "json" && type != "html" && type != "xml")
                    Unsupported(response, "search.paths.response " + type);
                if (!d.paths.empty() && (d.json != (type == "json") || d.xml != (type == "xml")))
                    Unsupported(response, "paths answering in different formats");
                d.json = type == "json";
                d.xml = type == "xml";
            } else if (d.json || d.xml) {
                Unsupported(p, "paths answering in different formats");
            }
            Definition::Path path;
            // The reference reader looks for it in JSON answers only; a null one is none.
            if (const YAML::Node r = p["response"];
                d.json && r && r["noResultsMessage"] && !r["noResultsMessage"].IsNull()) {
                path.hasNoResultsMessage = true;
                path.noResultsMessage = Text(r["noResultsMessage"], "noResultsMessage");
            }
            path.path = TemplateText(p["path"], "a search path");
            if (p["method"]) path.method = TemplateText(p["method"], "method");
            // The method may be a template ("{{ if .Keywords }}post{{ else }}get{{ end }}").
            const std::string method = path.method.find("{{") == std::string::npos
                                           ? path.method
                                           : Template(path.method).Render(v);
            if (method != "get" && method != "post")
                Unsupported(p["method"], "method " + path.method);
            if (p["followredirect"])
                path.followRedirect = Flag(p["followredirect"], "followredirect");
            if (p["inputs"]) path.inputs = Pairs(p["inputs"], "search.paths.inputs");
            if (p["inheritinputs"]) path.inheritInputs = Flag(p["inheritinputs"], "inheritinputs");
            d.paths.push_back(path);
        }
    } else if (const YAML::Node path = search["path"]) {
        Definition::Path only;
        only.path = TemplateText(path, "search.path");
        d.paths.push_back(only);
    }
    if (d.paths.empty()) Error(search, "search has no paths");
    if (const YAML::Node inputs = search["inputs"]) d.inputs = Pairs(inputs, "search.inputs");
    if (const YAML::Node kf = search["keywordsfilters"])
        d.keywordsFilters = Filters(kf, "search.keywordsfilters");
    const YAML::Node rows = search["rows"];
    if (!rows) Error(search, "search has no rows");
    // "remove" on the rows is read by the reference readers and applied by neither: so here.
    // "dateheaders" finds dates, which the program never shows.
    OnlyKeys(rows,
             {"selector", "after", "filters", "attribute", "multiple", "count",
              "missingAttributeEqualsNoResults"},
             "search.rows", {"remove", "dateheaders"});
    if (!d.json && (rows["count"] || rows["missingAttributeEqualsNoResults"]))
        Unsupported(rows, "search.rows count or missingAttributeEqualsNoResults outside JSON");
    if (const YAML::Node count = rows["count"]) { // the answer's own count of its rows
        OnlyKeys(count, {"selector", "filters"}, "search.rows.count");
        d.rowsCount = Text(count["selector"], "search.rows.count.selector");
        CheckJsonPath(count["selector"], d.rowsCount, v);
        if (count["filters"]) d.rowsCountFilters = Filters(count["filters"], "search.rows.count");
    }
    if (const YAML::Node missing = rows["missingAttributeEqualsNoResults"])
        d.rowsMissingMeansNone = Flag(missing, "search.rows.missingAttributeEqualsNoResults");
    if (d.json && (rows["after"] || rows["dateheaders"]))
        Unsupported(rows, "after or dateheaders on JSON rows");
    if (!d.json && (rows["attribute"] || rows["multiple"]))
        Unsupported(rows, "search.rows.attribute outside JSON");
    if (rows["attribute"]) d.rowsAttribute = Text(rows["attribute"], "search.rows.attribute");
    if (const YAML::Node filters = rows["filters"]) {
        for (const DefinitionFilter& f : Filters(filters, "search.rows.filters")) {
            if (f.name != "andmatch") Unsupported(filters, "search.rows.filters " + f.name);
            d.rowsAndMatch = true;
            if (!f.args.empty()) { // the character limit
                bool number = false;
                d.rowsAndMatchLimit = QString::fromStdString(f.args[0]).toInt(&number);
                if (!number || d.rowsAndMatchLimit < 0 || d.rowsAndMatchLimit > 10000)
                    Error(filters, "andmatch takes a number of characters (0 to 10000)");
            }
        }
    }
    d.rowsSelector = Text(rows["selector"], "search.rows.selector");
    if (d.json)
        CheckJsonPath(rows["selector"], d.rowsSelector, v);
    else
        CheckSelector(rows["selector"], d.rowsSelector, v);
    if (rows["after"]) d.rowsAfter = int(Number(rows["after"], "search.rows.after", 0, 100, true));
    const YAML::Node fields = search["fields"];
    if (!fields || !fields.IsMap()) Error(search, "search has no fields");
    for (const auto& entry : fields)
        d.fields.push_back(Field(entry.first, entry.second, v, d.json));
    if (!d.field("title")) Error(fields, "search.fields has no title");
}

Definition::DownloadSelector DownloadSelector(const YAML::Node& at, const YAML::Node& selector,
                                              const YAML::Node& attribute,
                                              const YAML::Node& filters, const TemplateValues& v)
{
    Definition::DownloadSelector s{
        Text(selector, "download selector"), attribute ? Text(attribute, "attribute") : "", {}};
    CheckSelector(at, s.selector, v);
    if (filters) s.filters = Filters(filters, "download.selectors.filters");
    return s;
}

void ReadBefore(const YAML::Node& before, Definition& d, const TemplateValues& v)
{
    OnlyKeys(before, {"path", "method", "inputs", "pathselector"}, "download.before");
    Definition::BeforeRequest& b = d.before;
    b.present = true;
    if (before["path"]) b.path = TemplateText(before["path"], "download.before.path");
    if (before["method"]) b.method = Text(before["method"], "download.before.method");
    if (b.method != "get" && b.method != "post")
        Unsupported(before["method"], "download.before.method " + b.method);
    if (before["inputs"]) b.inputs = Pairs(before["inputs"], "download.before.inputs");
    if (const YAML::Node p = before["pathselector"]) {
        OnlyKeys(p, {"selector", "attribute", "filters"}, "download.before.pathselector");
        b.pathSelector.push_back(
            DownloadSelector(p, p["selector"], p["attribute"], p["filters"], v));
    }
    if (b.path.empty() && b.pathSelector.empty())
        Error(before, "download.before needs a path or a pathselector");
}

void ReadInfoHash(const YAML::Node& block, Definition& d, const TemplateValues& v)
{
    OnlyKeys(block, {"hash", "title", "usebeforeresponse"}, "download.infohash");
    Definition::InfoHashBlock& b = d.infohash;
    const YAML::Node hash = block["hash"];
    if (!hash) Error(block, "download.infohash has no hash");
    OnlyKeys(hash, {"selector", "attribute", "filters"}, "download.infohash.hash");
    b.hash = DownloadSelector(hash, hash["selector"], hash["attribute"], hash["filters"], v);
    if (const YAML::Node title = block["title"]) {
        OnlyKeys(title, {"selector", "attribute", "filters"}, "download.infohash.title");
        b.title =
            DownloadSelector(title, title["selector"], title["attribute"], title["filters"], v);
    }
    if (block["usebeforeresponse"])
        b.useBeforeResponse = Flag(block["usebeforeresponse"], "usebeforeresponse");
    b.present = true;
}

void ReadTrackers(const YAML::Node& list, Definition& d)
{
    if (!list.IsSequence()) Error(list, "download.trackers must be a list");
    for (const YAML::Node& t : list) {
        const std::string url = Text(t, "a tracker");
        if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0 &&
            url.rfind("udp://", 0) != 0)
            Error(t, "a tracker must be an http, https or udp URL");
        d.trackers.push_back(url);
    }
}

void ReadDownload(const YAML::Node& download, Definition& d, const TemplateValues& v)
{
    OnlyKeys(download,
             {"selectors", "selector", "attribute", "method", "headers", "before", "infohash",
              "trackers"},
             "download");
    if (const YAML::Node list = download["selectors"]) {
        if (!list.IsSequence()) Error(list, "download.selectors must be a list");
        for (const YAML::Node& s : list) {
            OnlyKeys(s, {"selector", "attribute", "filters", "usebeforeresponse"},
                     "download.selectors");
            d.downloadSelectors.push_back(
                DownloadSelector(s, s["selector"], s["attribute"], s["filters"], v));
            if (s["usebeforeresponse"])
                d.downloadSelectors.back().useBeforeResponse =
                    Flag(s["usebeforeresponse"], "usebeforeresponse");
        }
    } else if (const YAML::Node s = download["selector"]) {
        d.downloadSelectors.push_back(
            DownloadSelector(s, s, download["attribute"], YAML::Node(), v));
    }
    if (const YAML::Node before = download["before"]) ReadBefore(before, d, v);
    if (download["method"]) d.downloadMethod = Text(download["method"], "download.method");
    if (d.downloadMethod != "get" && d.downloadMethod != "post")
        Unsupported(download["method"], "download method " + d.downloadMethod);
    if (const YAML::Node h = download["headers"]) d.downloadHeaders = Pairs(h, "download.headers");
    if (const YAML::Node i = download["infohash"]) ReadInfoHash(i, d, v);
    if (const YAML::Node t = download["trackers"]) ReadTrackers(t, d);
}

/** "ok" means servable: a row's fields, or its details page, must lead to a torrent. */
void CheckServable(const YAML::Node& fields, const Definition& d)
{
    const bool fromRow = d.field("download") || d.field("magnet") || d.field("infohash");
    const bool fromPage =
        (!d.downloadSelectors.empty() || d.infohash.present) && d.field("details");
    if (!fromRow && !fromPage)
        Error(fields, "no way to a torrent: search.fields has no download, magnet or infohash, "
                      "and no download selectors or download.infohash read a details page");
}

void ReadCertificates(const YAML::Node& pins, Definition& d)
{
    if (!pins.IsSequence()) Error(pins, "certificates must be a list");
    for (const YAML::Node& pin : pins) {
        const std::string hex = Text(pin, "a certificate");
        if (hex.size() != 40 ||
            hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            Error(pin, "a certificate is its SHA-1 fingerprint: 40 hex digits");
        d.certificates.push_back(hex);
    }
}

void Read(const YAML::Node& doc, Definition& d)
{
    OnlyKeys(
        doc,
        {"id", "name", "encoding", "links", "settings", "login", "search", "download",
         "followredirect", "requestDelay", "certificates"},
        "",
        {"description", "language", "type", "legacylinks", "caps", "testlinktorrent", "replaces"});
    d.id = Text(doc["id"], "id");
    d.name = doc["name"] ? Text(doc["name"], "name") : d.id;
    if (doc["encoding"]) d.encoding = Text(doc["encoding"], "encoding");
    const YAML::Node links = doc["links"];
    if (!links || !links.IsSequence() || !links.size()) Error(doc, "links must list the site");
    for (const YAML::Node& l : links)
        d.links.push_back(Text(l, "a link"));
    if (const YAML::Node settings = doc["settings"]) {
        if (!settings.IsSequence()) Error(settings, "settings must be a list");
        for (const YAML::Node& s : settings) {
            const std::string name = Text(s["name"], "a setting's name");
            d.settings[name] = s["default"] && s["default"].IsScalar()
                                   ? s["default"].as<std::string>()
                                   : std::string();
            if (s["type"] && s["type"].IsScalar() && s["type"].as<std::string>() == "checkbox")
                d.checkboxes.insert(name);
        }
    }
    TemplateValues v; // what selectors that are templates are checked with
    v.text["True"] = "True";
    for (const auto& [name, value] : d.settings)
        v.text["Config." + name] = SettingForTemplates(d, name, value);
    if (const YAML::Node login = doc["login"]) ReadLogin(login, d, v);
    if (doc["followredirect"]) d.followRedirect = Flag(doc["followredirect"], "followredirect");
    // Seconds between requests to the site: more than a minute would keep every search from
    // its turn before the answer's deadline.
    if (doc["requestDelay"])
        d.requestDelaySeconds = Number(doc["requestDelay"], "requestDelay", 0, 60);
    if (const YAML::Node pins = doc["certificates"]) ReadCertificates(pins, d);
    const YAML::Node search = doc["search"];
    if (!search) Error(doc, "no search");
    ReadSearch(search, d, v);
    if (const YAML::Node download = doc["download"]) ReadDownload(download, d, v);
    CheckServable(search["fields"], d);
}

} // namespace

const DefinitionField* Definition::field(const std::string& name) const
{
    const auto it = std::find_if(fields.begin(), fields.end(),
                                 [&name](const DefinitionField& f) { return f.name == name; });
    return it == fields.end() ? nullptr : &*it;
}

std::string WithoutCategories(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    bool inCaps = false;
    for (size_t line = 0; line < text.size();) {
        size_t end = text.find('\n', line);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string_view content(text.data() + line, end - line);
        const char first = content.front();
        if (first != ' ' && first != '\t' && first != '#' && first != '\r' && first != '\n') {
            // A top-level key: "caps:" alone on its line opens the block, any other closes it.
            std::string_view key = content;
            while (!key.empty() && (key.back() == '\n' || key.back() == '\r' || key.back() == ' '))
                key.remove_suffix(1);
            inCaps = key == "caps:";
        } else if (inCaps) {
            content.remove_prefix(content.find_first_of("\r\n") == std::string_view::npos
                                      ? content.size()
                                      : content.find_first_of("\r\n"));
        }
        out.append(content);
        line = end;
    }
    return out;
}

bool ParseDefinition(const std::string& text, const std::string& path, Definition& out,
                     std::string& why)
{
    out = Definition{};
    out.file = path;
    try {
        Read(YAML::Load(WithoutCategories(text)), out);
        return true;
    } catch (const Refusal& r) {
        why = std::to_string(r.line) + ": " + r.what();
    } catch (const YAML::DeepRecursion& e) { // the reader's own bound on nested lists and maps
        why = std::to_string(e.mark.line + 1) + ": error nested too deeply";
    } catch (const YAML::Exception& e) {
        why = std::to_string(e.mark.line + 1) + ": error " + e.msg;
    }
    return false;
}

namespace {

constexpr size_t kMaxDefinitionBytes = 1 << 20;

struct FileCloser {
    explicit FileCloser(int file) : fd(file) {}
    ~FileCloser() { ::close(fd); }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;
    int fd;
};

/** The file's text, read only when it is a regular file of at most kMaxDefinitionBytes; else
 *  "0: error WHY" in why. Opened without blocking: a FIFO would hold the start until some
 *  writer came, and a device could be read for ever. */
bool ReadDefinitionText(const std::string& path, std::string& text, std::string& why)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        why = "0: error cannot read the file";
        return false;
    }
    const FileCloser closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "0: error not a regular file";
        return false;
    }
    const std::string tooLarge = "0: error larger than 1 MiB: not a definition";
    if (st.st_size > off_t(kMaxDefinitionBytes)) {
        why = tooLarge;
        return false;
    }
    // At most one byte past the cap, in case the file grew since it was measured.
    text.assign(size_t(st.st_size) + 1, '\0');
    size_t got = 0;
    for (;;) {
        if (got == text.size()) {
            if (text.size() > kMaxDefinitionBytes) {
                why = tooLarge;
                return false;
            }
            text.resize(std::min(text.size() * 2, kMaxDefinitionBytes + 1));
        }
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = "0: error cannot read the file";
            return false;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    text.resize(got);
    return true;
}

} // namespace

bool ReadDefinition(const std::string& path, Definition& out, std::string& why)
{
    std::string text;
    return ReadDefinitionText(path, text, why) && ParseDefinition(text, path, out, why);
}

std::vector<DefinitionRead> ReadDefinitions(const std::vector<std::string>& paths)
{
    std::vector<DefinitionRead> out(paths.size());
    std::atomic_size_t next{0};
    const auto work = [&] {
        for (size_t i = next++; i < paths.size(); i = next++) {
            Definition read;
            if (!ReadDefinition(paths[i], read, out[i].why)) continue;
            auto compiled = std::make_shared<CompiledDefinition>();
            DefinitionError error;
            if (!CompileDefinition(read, *compiled, error)) {
                out[i].why = error.Text();
                continue;
            }
            out[i].definition = std::move(compiled);
            out[i].ok = true;
        }
    };
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1U, 16U);
    std::vector<std::jthread> pool;
    for (unsigned t = 1; t < threads && t < paths.size(); ++t)
        pool.emplace_back(work);
    work();
    pool.clear(); // joins: every file is read before the outcomes move
    return out;
}

std::string SettingForTemplates(const Definition& definition, const std::string& name,
                                const std::string& value)
{
    if (!definition.checkboxes.count(name)) return value;
    const QString v = QString::fromStdString(value).trimmed().toLower();
    return v == u"true" || v == u"1" || v == u"yes" || v == u"on" ? "True" : "";
}
