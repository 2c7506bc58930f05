#pragma once

#include "relay/definitions/CssParser.h"

#include <gumbo.h>

#include <string>
#include <vector>

/** A CSS selector list as indexer definitions write them, matched on an HTML5 tree: type,
 *  universal, #id, .class, attribute tests ([a], = ^= $= *= ~= |= !=, quoted or not, with an
 *  " i" flag), the descendant, child, next-sibling and later-sibling combinators, selector lists
 *  with ",", and :has(), :not(), :contains(), :nth-child(), :nth-of-type(), :first-child,
 *  :last-child, :first-of-type, :last-of-type, :only-child, :empty, :root and :scope (the element
 *  a selection starts from). Read once by CssParser; matching allocates nothing per element. */
class CssSelector {
public:
    /** Parses text; on failure ok() is false and error() says what could not be read. */
    explicit CssSelector(const std::string& text);

    bool ok() const { return parsed_.error.empty(); }
    const std::string& error() const { return parsed_.error; }
    /** The selector names something valid this engine does not match (a pseudo-element...). */
    bool unsupported() const { return parsed_.unsupported; }

    /** True when element matches; its ancestors and siblings anywhere in the tree count. */
    bool Matches(const GumboNode* element) const;
    /** As a browser's scope.querySelectorAll, but the scope itself is tried first: the
     *  matching elements among scope and its descendants, in document order. */
    std::vector<const GumboNode*> SelectAll(const GumboNode* scope) const;
    /** The first of SelectAll, or nullptr; the walk stops there. */
    const GumboNode* SelectFirst(const GumboNode* scope) const;

private:
    css::ParsedSelector parsed_;
};
