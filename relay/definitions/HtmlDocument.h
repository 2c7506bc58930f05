#pragma once

#include <gumbo.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

/** What parsing one page may cost. gumbo cannot be stopped from outside: its allocations are
 *  counted, and past a bound the parse is abandoned and all it took is freed. */
struct HtmlLimits {
    size_t maxDepth = 1024;      // elements nested deeper: the page is refused
    size_t treeBytes = SIZE_MAX; // memory the tree may take before it asks grow
    /** Asked for room for a tree of this many bytes when it outgrows treeBytes; false (or no
     *  grow) refuses the page. */
    std::function<bool(size_t)> grow;
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

/** A page parsed as browsers parse it (HTML5: implied <tbody>, misnested tags mended), so that
 *  selectors written against a browser's tree match here too. */
class HtmlDocument {
public:
    enum class Failure { None, TooDeep, TooLarge, TimedOut };

    /** utf8: the page already decoded to UTF-8. */
    explicit HtmlDocument(std::string utf8, const HtmlLimits& limits = {});
    ~HtmlDocument();
    HtmlDocument(const HtmlDocument&) = delete;
    HtmlDocument& operator=(const HtmlDocument&) = delete;

    /** The <html> element; nullptr when the page was refused. */
    const GumboNode* root() const;
    Failure failure() const { return failure_; }
    size_t nodes() const { return nodes_; }
    size_t depth() const { return depth_; } // elements nested, <html> counting one
    size_t treeBytes() const;               // as allocated, the allocator's overhead included

    struct Arena;

private:
    std::string text_; // gumbo points into it
    std::unique_ptr<Arena> arena_;
    GumboOutput* output_ = nullptr;
    Failure failure_ = Failure::None;
    size_t nodes_ = 0, depth_ = 0;
};

/** The node after node in document order, staying below scope (nullptr past its end); with
 *  skipBelow, the first after node's own subtree. Walks a tree of any depth without recursion. */
const GumboNode* NextNode(const GumboNode* node, const GumboNode* scope, bool skipBelow = false);
/** The element's text content: all its text below it, in document order. */
std::string TextContent(const GumboNode* node);
/** The attribute's value, or nullptr when the element has none of that name. */
const char* AttributeOf(const GumboNode* node, const std::string& name);
/** The element's tag name in lower case ("" for other nodes). */
std::string TagName(const GumboNode* node);
/** The element children of node, in order. */
std::vector<const GumboNode*> ElementChildren(const GumboNode* node);
