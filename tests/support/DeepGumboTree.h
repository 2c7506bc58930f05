#pragma once

#include <gumbo.h>

#include <deque>
#include <vector>

/** A chain of nested <span> elements ending in <i>deep</i>, built by hand: deeper than any page
 *  the relay parses, to show that walks over a tree do not recurse once per level. */
class DeepGumboTree {
public:
    explicit DeepGumboTree(size_t spans)
    {
        document_.type = GUMBO_NODE_DOCUMENT;
        GumboNode* parent = &document_;
        for (size_t i = 0; i <= spans; ++i) {
            GumboNode& e = nodes_.emplace_back();
            e.type = GUMBO_NODE_ELEMENT;
            e.v.element.tag = i == spans ? GUMBO_TAG_I : GUMBO_TAG_SPAN;
            e.v.element.tag_namespace = GUMBO_NAMESPACE_HTML;
            Adopt(parent, &e);
            parent = &e;
        }
        root_ = static_cast<GumboNode*>(document_.v.document.children.data[0]);
        GumboNode& text = nodes_.emplace_back();
        text.type = GUMBO_NODE_TEXT;
        text.v.text.text = "deep";
        Adopt(parent, &text);
    }

    const GumboNode* root() const { return root_; }

private:
    void Adopt(GumboNode* parent, GumboNode* child)
    {
        child->parent = parent;
        child->index_within_parent = 0;
        std::vector<void*>& only = children_.emplace_back(1, child);
        (parent->type == GUMBO_NODE_DOCUMENT ? parent->v.document.children
                                             : parent->v.element.children) =
            GumboVector{only.data(), 1, 1};
    }

    std::deque<GumboNode> nodes_; // stable addresses
    std::deque<std::vector<void*>> children_;
    GumboNode document_{};
    GumboNode* root_ = nullptr;
};
