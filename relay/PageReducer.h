#pragma once

#include <QByteArray>

#include <string>
#include <utility>
#include <vector>

/** The rows of a page, each reduced to two fields by XPath expressions. */
struct ReducedPage {
    bool ok = false;
    std::string error;
    bool truncated = false;
    std::string next;                                      // what nextXPath found, when asked
    std::vector<std::pair<std::string, std::string>> rows; // UTF-8
};

/** Parses an HTML page in its charset (libxml2's forgiving HTML parser) and evaluates rowsXPath;
 *  for every row, firstXPath and secondXPath are evaluated with the row as context node and taken
 *  as strings. Each field is cleaned so it can never split a relay item: "|" becomes "｜" and
 *  control characters (CR and LF among them) are removed; surrounding spaces are trimmed.
 *  Rows past maxRows are left out (truncated is set). The page's text is let go as soon as it is
 *  parsed, so that a large page is not held twice. */
ReducedPage ReducePage(QByteArray html, const std::string& charset, const std::string& rowsXPath,
                       const std::string& firstXPath, const std::string& secondXPath,
                       size_t maxRows = 200000, const std::string& nextXPath = {});

/** Empty when the expressions can be used as ReducePage uses them: rowsXPath compiles and gives
 *  a node set, the fields compile as strings; else why not. */
std::string CheckExpressions(const std::string& rowsXPath, const std::string& firstXPath,
                             const std::string& secondXPath);
/** The character set to read a page in: the configured one, or for "auto" what the HTTP
 *  Content-Type says, else what the page's own <meta charset> or http-equiv says (in its first
 *  4 KiB), else GB18030. */
std::string PageCharset(const std::string& configured, const std::string& contentType,
                        const QByteArray& page);

/** True when the HTML parser can read pages in this character set. */
bool KnownCharset(const std::string& charset);

/** The cleaning ReducePage applies to each field. */
std::string CleanField(const std::string& utf8);
