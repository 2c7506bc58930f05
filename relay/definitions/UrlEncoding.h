#pragma once

#include "relay/definitions/Template.h"

#include <string>

/** text (UTF-8) percent-encoded as the definitions' reference reader encodes a value it puts in
 *  a URL: UTF-8 whatever the site's encoding, letters, digits and "-_.!*()" as they are, a space
 *  as "+", other bytes as "%XX" (upper-case hex). */
std::string UrlEncodedValue(const std::string& text);

/** A search path's template rendered as the reference reader renders it: every value it prints
 *  URL-encoded (so "AC/DC #1" stays one segment of the path and no fragment), then every "+"
 *  of the result as "%20", since a path takes "+" for a plus. */
std::string RenderedSearchPath(const Template& path, const TemplateValues& values);
inline std::string RenderedSearchPath(const std::string& path, const TemplateValues& values)
{
    return RenderedSearchPath(Template(path), values);
}
