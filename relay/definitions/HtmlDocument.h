#pragma once

#include <gumbo.h>

#include <string>
#include <vector>

/** A page parsed as browsers parse it (HTML5: implied <tbody>, misnested tags mended), so that
 *  selectors written against a browser's tree match here too. */
class HtmlDocument {
public:
    /** utf8: the page already decoded to UTF-8. */
    explicit HtmlDocument(std::string utf8);
    ~HtmlDocument();
    HtmlDocument(const HtmlDocument&) = delete;
    HtmlDocument& operator=(const HtmlDocument&) = delete;

    /** The <html> element. */
    const GumboNode* root() const;

private:
    std::string text_; // gumbo points into it
    GumboOutput* output_;
};

/** The element's text content: all its text below it, in document order. */
std::string TextContent(const GumboNode* node);
/** The attribute's value, or nullptr when the element has none of that name. */
const char* AttributeOf(const GumboNode* node, const std::string& name);
/** The element's tag name in lower case ("" for other nodes). */
std::string TagName(const GumboNode* node);
/** The element children of node, in order. */
std::vector<const GumboNode*> ElementChildren(const GumboNode* node);
