#include "relay/definitions/XmlDocument.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

namespace {

struct DocDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

std::string Name(const xmlNode* node)
{
    const auto* local = reinterpret_cast<const char*>(node->name);
    if (node->ns && node->ns->prefix)
        return reinterpret_cast<const char*>(node->ns->prefix) + std::string(":") + local;
    return local;
}

/** A vector over items kept alive by the document. */
GumboVector VectorOf(std::vector<void*>& items)
{
    return GumboVector{items.data(), unsigned(items.size()), unsigned(items.size())};
}

/** What the trees (libxml2's, then this one) can hold at most, counted before either is built:
 *  an element and the text after it for each start tag, and an attribute for each '='. */
size_t MostNodes(const QByteArray& xml)
{
    size_t nodes = 1;
    for (qsizetype i = 0; i < xml.size(); ++i) {
        if (xml[i] == '=') ++nodes;
        if (xml[i] == '<' && i + 1 < xml.size() && xml[i + 1] != '/' && xml[i + 1] != '?')
            nodes += 2;
    }
    return nodes;
}

} // namespace

XmlDocument::XmlDocument(const QByteArray& xml, size_t maxNodes)
{
    document_.type = GUMBO_NODE_DOCUMENT;
    if (MostNodes(xml) > maxNodes) {
        tooLarge_ = true;
        return;
    }
    const std::unique_ptr<xmlDoc, DocDeleter> doc(
        xmlReadMemory(xml.constData(), int(xml.size()), nullptr, nullptr,
                      XML_PARSE_NONET | XML_PARSE_NOCDATA | XML_PARSE_RECOVER | XML_PARSE_NOERROR |
                          XML_PARSE_NOWARNING));
    const xmlNode* top = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!top) return;
    root_ = Add(&document_, GUMBO_NODE_ELEMENT);
    Build(top, root_);
    vectors_.emplace_back(1, root_);
    document_.v.document.children = VectorOf(vectors_.back());
}

const char* XmlDocument::Keep(std::string text)
{
    strings_.push_back(std::move(text));
    return strings_.back().c_str();
}

GumboNode* XmlDocument::Add(GumboNode* parent, GumboNodeType type)
{
    GumboNode& node = nodes_.emplace_back();
    node.type = type;
    node.parent = parent;
    return &node;
}

// Recursive, but libxml2 stops at 256 levels unless XML_PARSE_HUGE is given, which it is not.
void XmlDocument::Build(const xmlNode* from, GumboNode* to)
{
    GumboElement& e = to->v.element;
    e.tag = GUMBO_TAG_UNKNOWN; // its name is read from the original tag, as for custom tags
    e.tag_namespace = GUMBO_NAMESPACE_HTML;
    const char* tag = Keep("<" + Name(from) + ">");
    e.original_tag = GumboStringPiece{tag, strings_.back().size()};
    std::vector<void*>& attributes = vectors_.emplace_back();
    for (const xmlAttr* a = from->properties; a; a = a->next) {
        GumboAttribute& attribute = attributes_.emplace_back();
        attribute.name = Keep(reinterpret_cast<const char*>(a->name));
        xmlChar* value = xmlNodeListGetString(from->doc, a->children, 1);
        attribute.value = Keep(value ? reinterpret_cast<const char*>(value) : "");
        xmlFree(value);
        attributes.push_back(&attribute);
    }
    e.attributes = VectorOf(attributes);
    std::vector<void*>& children = vectors_.emplace_back();
    for (const xmlNode* c = from->children; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) {
            GumboNode* child = Add(to, GUMBO_NODE_ELEMENT);
            child->index_within_parent = children.size();
            children.push_back(child);
            Build(c, child);
        } else if (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) {
            GumboNode* child = Add(to, GUMBO_NODE_TEXT);
            child->index_within_parent = children.size();
            child->v.text.text = Keep(c->content ? reinterpret_cast<const char*>(c->content) : "");
            children.push_back(child);
        }
    }
    e.children = VectorOf(children);
}
