#pragma once

#include "relay/definitions/CompiledDefinition.h"
#include "relay/definitions/HtmlDocument.h"
#include "relay/definitions/RowExtraction.h"

#include <QByteArray>

#include <cstdint>
#include <memory>
#include <string>

/** Why a page gave no rows. */
enum class PageFailure {
    None,
    NotUnderstood, // not JSON, not XML, or a JSON answer without its rows
    SiteError,     // one of the definition's error blocks matched: the site's own error page
    TooDeep,       // elements nested beyond the limit
    TooLarge,      // its tree outgrew the limit
    TimedOut,      // not parsed by the deadline
    LoggedOut      // an HTML page without the login test's mark: the session is gone
};

/** What reading one page may cost. */
struct PageLimits {
    HtmlLimits html;            // an HTML page's tree: its bytes, depth and deadline
    size_t xmlNodes = SIZE_MAX; // the nodes and attributes an XML feed may make
    /** An HTML page must show the login test's selector, as a logged-in site's pages do. */
    bool needsLoginMark = false;
};

/** One page read through a definition. */
struct PageRows {
    PageFailure failure = PageFailure::None;
    /** NotUnderstood: what was wrong. SiteError: the site's message, from the error block's
     *  text, or else the text of the element it names (messageFromPage), as found. */
    std::string detail;
    bool messageFromPage = false;
    ExtractedRows rows;
    explicit operator bool() const { return failure == PageFailure::None; }
};

/** The answer to the definition's search path, read as the definition says (HTML, a JSON
 *  answer or an XML feed): body as fetched, charset what it is written in. */
PageRows ReadRows(const CompiledDefinition& definition, size_t path, const QByteArray& body,
                  const std::string& charset, const std::string& pageUrl,
                  const TemplateValues& values, const PageLimits& limits);

/** An HTML page decoded from charset (UTF-8 when it names none known) and parsed within limits;
 *  nullptr, with why in failure, when it is refused. */
std::unique_ptr<HtmlDocument> ParsePage(const QByteArray& body, const std::string& charset,
                                        const HtmlLimits& limits, PageFailure& failure);
