#pragma once

#include <gumbo.h>

#include <QByteArray>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

/** An XML answer (an RSS or Torznab feed) as a tree of the same nodes HTML pages give, so that
 *  the same selectors match it. XML is read as XML (libxml2: CDATA kept as text, no network, no
 *  external entities), not as HTML, whose parser would take <link> for an empty element. */
class XmlDocument {
public:
    /** maxNodes: a text that could make more nodes and attributes than this is not parsed. */
    explicit XmlDocument(const QByteArray& xml, size_t maxNodes = SIZE_MAX);
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    /** The root element, or nullptr when the text is not XML. */
    const GumboNode* root() const { return root_; }
    bool tooLarge() const { return tooLarge_; }

private:
    GumboNode* Add(GumboNode* parent, GumboNodeType type);
    const char* Keep(std::string text);
    void Build(const struct _xmlNode* from, GumboNode* to);

    std::deque<GumboNode> nodes_; // stable addresses: nodes point at each other
    std::deque<GumboAttribute> attributes_;
    std::deque<std::vector<void*>> vectors_;
    std::deque<std::string> strings_;
    GumboNode document_{};
    GumboNode* root_ = nullptr;
    bool tooLarge_ = false;
};
