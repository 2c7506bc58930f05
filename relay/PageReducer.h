#pragma once

#include <QByteArray>

#include <cstdint>

#include <string>
#include <utility>
#include <vector>

/** The rows of a page, each reduced to two fields by XPath expressions. */
struct ReducedPage {
    bool ok = false;
    std::string error;
    bool truncated = false;
    std::string next;                                      // what nextXPath found, when asked
    size_t fieldBytes = 0;                                 // bytes of the fields kept
    std::vector<std::pair<std::string, std::string>> rows; // UTF-8
};

/** Parses an HTML page in its charset (libxml2's forgiving HTML parser) and evaluates rowsXPath;
 *  for every row, firstXPath and secondXPath are evaluated with the row as context node and taken
 *  as strings. Each field is cleaned so it can never split a relay item: "|" becomes "｜" and
 *  control characters (CR and LF among them) are removed; surrounding spaces are trimmed.
 *  Rows past maxRows, and the row whose fields would take the total past maxFieldBytes, and
 *  all after it, are left out (truncated is set): counted as they are made, so rows nested in
 *  rows cannot multiply one large text. The page's text is let go as soon as it is parsed, so
 *  that a large page is not held twice. */
ReducedPage ReducePage(QByteArray html, const std::string& charset, const std::string& rowsXPath,
                       const std::string& firstXPath, const std::string& secondXPath,
                       size_t maxRows = 200000, const std::string& nextXPath = {},
                       size_t maxFieldBytes = SIZE_MAX);

/** Empty when the expressions can be used as ReducePage uses them: rowsXPath compiles and gives
 *  a node set, the fields compile as strings; else why not. */
std::string CheckExpressions(const std::string& rowsXPath, const std::string& firstXPath,
                             const std::string& secondXPath);
/** The character set to read a page in: what a byte-order mark says, else the configured one,
 *  or for "auto" what the HTTP Content-Type says, else what the page's own <meta charset> or
 *  http-equiv says (in its first 4 KiB), else GB18030. As browsers do, a <meta> that names a
 *  character set in which the page could not have said so (UTF-16 and UTF-32 mean UTF-8;
 *  EBCDIC and others not compatible with ASCII are ignored) is not taken at its word. */
std::string PageCharset(const std::string& configured, const std::string& contentType,
                        const QByteArray& page);

/** True when the HTML parser can read pages in this character set. */
bool KnownCharset(const std::string& charset);

/** The cleaning ReducePage applies to each field. */
std::string CleanField(const std::string& utf8);
