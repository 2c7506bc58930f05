#pragma once

#include "relay/RelayConfig.h"

#include <string>
#include <utility>
#include <vector>

/** The flat reply the program reads, "first|second|..." in UTF-8: rows without both fields are
 *  left out, and for a search the page path is made relative to the site (a link to another
 *  site is no hit). Whole rows only, up to maxBytes; cut is set when rows were left out for it. */
std::string EncodeRows(const std::vector<std::pair<std::string, std::string>>& rows,
                       bool searchRows, const SiteProfile& site, size_t maxBytes, bool& cut);

/** The text in GB18030, the charset the program reads replies in; the UTF-8 text is let go. */
std::string Gb18030(std::string utf8);

/** True when the origin is the site's own scheme, host and port. */
bool SameSite(const SiteProfile& site, const UrlOrigin& origin);
