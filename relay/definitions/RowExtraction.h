#pragma once

#include "relay/definitions/CompiledDefinition.h"
#include "relay/definitions/Definition.h"
#include "relay/definitions/DotNetRegex.h"
#include "relay/definitions/HtmlDocument.h"
#include "relay/definitions/Template.h"

#include <QJsonDocument>
#include <QString>

#include <map>
#include <string>
#include <vector>

/** The result rows of one page read through a definition: each row's fields by name, filters
 *  applied, links made absolute against the page's URL. A row whose required field is missing
 *  is no hit: it is counted, not an error. */
struct ExtractedRows {
    std::vector<std::map<std::string, std::string>> rows;
    int skipped = 0;
};

ExtractedRows ExtractRows(const CompiledDefinition& definition, const GumboNode* root,
                          const std::string& pageUrl, const TemplateValues& values);
inline ExtractedRows ExtractRows(const CompiledDefinition& definition, const HtmlDocument& page,
                                 const std::string& pageUrl, const TemplateValues& values)
{
    return ExtractRows(definition, page.root(), pageUrl, values);
}

/** The same from a JSON answer: rows at the rows selector's dotted path (or, with its
 *  attribute, the items of that array in each), fields at their paths in the row ("..name": in
 *  the row's parent). */
ExtractedRows ExtractJsonRows(const CompiledDefinition& definition, const QJsonDocument& page,
                              const std::string& pageUrl, const TemplateValues& values);

/** True when the answer to path is the site's way of saying it found nothing, as the reference
 *  reader judges a JSON answer: the path's noResultsMessage is in it, or the message is empty
 *  and so is the answer. */
bool IsNoResultsAnswer(const Definition& definition, const Definition::Path& path,
                       const QByteArray& body);

/** A JSON answer to path read into rows: none when it says there are none (above); false, with
 *  why, when it is not JSON. */
bool ExtractJsonAnswer(const CompiledDefinition& definition, const Definition::Path& path,
                       const QByteArray& body, const std::string& pageUrl,
                       const TemplateValues& values, ExtractedRows& rows, std::string& why);

/** A value through filters read for this value alone (see LenientFilters); date and size
 *  filters leave it as it is. With values, arguments that are templates are filled in first. */
std::string ApplyFilters(std::string value, const std::vector<DefinitionFilter>& filters,
                         const TemplateValues* values = nullptr);

/** The andmatch row filter: title holds, in any case, every word of keywords (the keywords as
 *  the definition's keywordsfilters left them), within their first characterLimit characters
 *  when that is above 0. */
bool HasEveryWord(const std::string& title, const std::string& keywords, int characterLimit);
