#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

/** The values a definition's templates may name: ".Keywords", ".Config.sort", ".Result.title",
 *  ".Today.Year"... A name holds a text, or a list (".Categories"). */
struct TemplateValues {
    std::map<std::string, std::string> text;               // "Keywords", "Config.sort"
    std::map<std::string, std::vector<std::string>> lists; // "Categories"
};

/** The subset of Go's text/template that indexer definitions use: text with {{ }} actions
 *  ({{- and -}} trim), values and string literals, if / else if / else / end, range over a list,
 *  and the functions and, or, not, eq, ne, len, index, print, join, re_replace and urlencode.
 *  A value is true when it is not blank. String literals are read as the definitions' reference
 *  reader reads them: up to the next quote, backslashes kept; re_replace is .NET's. */
class Template {
public:
    /** Parses text; on failure ok() is false and error() says why. */
    explicit Template(const std::string& text);
    ~Template();
    Template(Template&&) noexcept;
    Template& operator=(Template&&) noexcept;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    /** What each value printed goes through (URL-encoding, in a search path); the template's
     *  own text does not. */
    using Modifier = std::function<std::string(const std::string&)>;
    /** The text with its actions carried out; names with no value give "". A template that
     *  could not be read renders as its text, unchanged. */
    std::string Render(const TemplateValues& values, const Modifier& modifier = {}) const;

    struct Node;

private:
    std::vector<Node> nodes_;
    std::string source_;
    std::string error_;
};
