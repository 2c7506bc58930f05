#include "relay/definitions/HtmlDocument.h"

#include <algorithm>
#include <cctype>

HtmlDocument::HtmlDocument(std::string utf8)
    : text_(std::move(utf8)),
      output_(gumbo_parse_with_options(&kGumboDefaultOptions, text_.data(), text_.size()))
{
}

HtmlDocument::~HtmlDocument()
{
    gumbo_destroy_output(&kGumboDefaultOptions, output_);
}

const GumboNode* HtmlDocument::root() const
{
    return output_->root;
}

namespace {

void AppendText(const GumboNode* node, std::string& out)
{
    if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE ||
        node->type == GUMBO_NODE_CDATA) {
        out += node->v.text.text;
        return;
    }
    if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE &&
        node->type != GUMBO_NODE_DOCUMENT)
        return;
    const GumboVector& children =
        node->type == GUMBO_NODE_DOCUMENT ? node->v.document.children : node->v.element.children;
    for (unsigned i = 0; i < children.length; ++i)
        AppendText(static_cast<const GumboNode*>(children.data[i]), out);
}

} // namespace

std::string TextContent(const GumboNode* node)
{
    std::string out;
    AppendText(node, out);
    return out;
}

const char* AttributeOf(const GumboNode* node, const std::string& name)
{
    if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE) return nullptr;
    const GumboAttribute* a = gumbo_get_attribute(&node->v.element.attributes, name.c_str());
    return a ? a->value : nullptr;
}

std::string TagName(const GumboNode* node)
{
    if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE) return {};
    if (node->v.element.tag != GUMBO_TAG_UNKNOWN)
        return gumbo_normalized_tagname(node->v.element.tag);
    // An unknown tag keeps its name only in the original text: "<custom-tag ...".
    GumboStringPiece piece = node->v.element.original_tag;
    gumbo_tag_from_original_text(&piece);
    std::string name(piece.data, piece.length);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return name;
}

std::vector<const GumboNode*> ElementChildren(const GumboNode* node)
{
    std::vector<const GumboNode*> out;
    if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE) return out;
    const GumboVector& children = node->v.element.children;
    for (unsigned i = 0; i < children.length; ++i) {
        const auto* child = static_cast<const GumboNode*>(children.data[i]);
        if (child->type == GUMBO_NODE_ELEMENT || child->type == GUMBO_NODE_TEMPLATE)
            out.push_back(child);
    }
    return out;
}
