#pragma once

#include <gumbo.h>

#include <memory>
#include <string>
#include <vector>

/** A CSS selector list as indexer definitions write them, matched on an HTML5 tree: type,
 *  universal, #id, .class, attribute tests ([a], = ^= $= *= ~= |= !=, quoted or not, with an
 *  " i" flag), the descendant, child, next-sibling and later-sibling combinators, selector lists
 *  with ",", and :has(), :not(), :contains(), :nth-child(), :nth-of-type(), :first-child,
 *  :last-child, :first-of-type, :last-of-type, :only-child, :empty, :root and :scope (the element
 *  a selection starts from). */
class CssSelector {
public:
    /** Parses text; on failure ok() is false and error() says what could not be read. */
    explicit CssSelector(const std::string& text);
    ~CssSelector();
    CssSelector(CssSelector&&) noexcept;
    CssSelector& operator=(CssSelector&&) noexcept;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    /** True when element matches; its ancestors and siblings anywhere in the tree count. */
    bool Matches(const GumboNode* element) const;
    /** As a browser's scope.querySelectorAll, but the scope itself is tried first: the
     *  matching elements among scope and its descendants, in document order. */
    std::vector<const GumboNode*> SelectAll(const GumboNode* scope) const;
    /** The first of SelectAll, or nullptr. */
    const GumboNode* SelectFirst(const GumboNode* scope) const;

    struct List;

private:
    std::unique_ptr<List> list_;
    std::string error_;
};
