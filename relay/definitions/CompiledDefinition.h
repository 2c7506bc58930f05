#pragma once

#include "relay/definitions/CssSelector.h"
#include "relay/definitions/Definition.h"
#include "relay/definitions/JsonSelector.h"
#include "relay/definitions/Template.h"

#include <QRegularExpression>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

/** Text that may be a template: parsed once, rendered as often as needed. */
struct CompiledText {
    std::string text;
    std::optional<Template> tmpl; // when text holds "{{"

    std::string Render(const TemplateValues& values) const
    {
        return tmpl ? tmpl->Render(values) : text;
    }
};

/** The texts a selector template rendered, parsed and kept for every page after: a site's
 *  settings render the same text each time. A few are kept; a row's fields may render many. */
class RenderedSelectors {
public:
    std::shared_ptr<const CssSelector> Get(const std::string& text);

private:
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<const CssSelector>> parsed_;
};

/** A CSS selector of the definition: parsed once; one that is a template (of the settings or a
 *  row's earlier fields) has its template parsed once and each text it renders parsed once
 *  (see RenderedSelectors). */
struct CompiledCss {
    CompiledText source;
    std::optional<CssSelector> css;              // when source is no template
    std::shared_ptr<RenderedSelectors> rendered; // when it is
    bool empty() const { return source.text.empty(); }
};

/** The selectors a page's reading renders from templates, held for that page. */
class CssCache {
public:
    const CssSelector& operator()(const CompiledCss& selector, const TemplateValues& values);

private:
    std::map<std::string, std::shared_ptr<const CssSelector>> rendered_;
};

/** A JSON path of the definition, "..name" (the row's parent) split off, its tests read. */
struct CompiledJson {
    CompiledText source;
    bool up = false;
    std::optional<JsonSelector> parsed; // when source is no template
    /** The selector, rendered when it is a template; nullopt when that does not read. */
    std::optional<JsonSelector> Get(const TemplateValues& values, bool& up) const;
};

/** The trim filter's expression for its characters. */
QString TrimPattern(const QString& characters);

/** One filter with its arguments' templates and its regular expression compiled. */
struct CompiledFilter {
    enum class Kind {
        Replace,
        ReReplace,
        Regexp,
        Split,
        Trim,
        Append,
        Prepend,
        ToLower,
        ToUpper,
        UrlDecode,
        UrlEncode,
        QueryString,
        HtmlDecode,
        Diacritics,
        Validate,
        ValidFilename,
        Ignored
    } kind = Kind::Ignored;
    std::vector<CompiledText> args;
    /** re_replace, regexp: the pattern; trim: the characters; when the argument is a template
     *  it is compiled as it renders. */
    std::optional<QRegularExpression> re;
};

/** One field of a result row, every piece of it parsed. */
struct CompiledField {
    CompiledCss css, remove; // HTML and XML answers
    CompiledJson json;       // JSON answers
    std::optional<Template> text, defaultValue;
    std::vector<CompiledFilter> filters;
    std::vector<std::pair<CompiledCss, CompiledText>> cases; // HTML: selector -> value
};

/** A selector of the details page (or the answer before the download), compiled. */
struct CompiledDownloadSelector {
    CompiledCss css;
    std::string attribute; // a link's: href, unless the definition names another
    std::vector<CompiledFilter> filters;
    bool useBeforeResponse = false;
};

/** A definition read and checked once, every selector, template, filter and regular expression
 *  in it parsed: pages are read through these, nothing of the text is parsed again per page
 *  or per row (but a selector that is a template, once per page for each text it renders). */
struct CompiledDefinition : Definition {
    CompiledCss rows;
    CompiledJson jsonRows, jsonCount;
    std::vector<CompiledFilter> countFilters;
    std::vector<CompiledField> compiledFields; // as fields
    struct CompiledError {
        CompiledCss css, messageCss;
    };
    std::vector<CompiledError> compiledErrors; // as errors
    std::vector<CompiledDownloadSelector> downloads, beforePath;
    CompiledDownloadSelector infohashHash, infohashTitle;
    CompiledCss loginTest;
    std::vector<CompiledFilter> compiledKeywordsFilters;
    /** The templates of the requests (paths, methods, inputs, headers, the request before the
     *  download, the login test's path), by their text. */
    std::map<std::string, Template, std::less<>> requestTemplates;

    /** text, one of the request templates, rendered (a text from elsewhere is read first). */
    std::string Render(const std::string& text, const TemplateValues& values,
                       const Template::Modifier& modifier = {}) const;
};

/** Why a definition is refused: what it asks that this relay cannot do, or what is wrong with
 *  it, and the line (1-based; 0 for the file as a whole). */
struct DefinitionError {
    enum class Kind { Unsupported, Invalid } kind = Kind::Invalid;
    int line = 0;
    std::string what;
    /** "LINE: unsupported WHAT" or "LINE: error WHAT", as --check-definition prints it. */
    std::string Text() const;
};

/** definition compiled; false, with error, when a piece of it does not parse. */
bool CompileDefinition(const Definition& definition, CompiledDefinition& out,
                       DefinitionError& error);

/** Reads and compiles text (path names it in messages only); why as ParseDefinition's. */
bool ParseDefinition(const std::string& text, const std::string& path, CompiledDefinition& out,
                     std::string& why);

/** filters compiled; false, with error, when a regular expression in them does not parse. */
bool CompileFilters(const std::vector<DefinitionFilter>& filters, std::vector<CompiledFilter>& out,
                    DefinitionError& error);

/** filters as they come, for a value filtered once: patterns compiled as they are used, and
 *  with templates false, arguments taken as written. */
std::vector<CompiledFilter> LenientFilters(const std::vector<DefinitionFilter>& filters,
                                           bool templates);

/** A value through compiled filters, in order; date and size filters leave it as it is;
 *  arguments that are templates are filled in from values. */
std::string ApplyFilters(std::string value, const std::vector<CompiledFilter>& filters,
                         const TemplateValues& values);
