#include "relay/definitions/HtmlDocument.h"

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdlib>

/** Every block gumbo takes, in a list: a parse abandoned halfway is freed whole, and a finished
 *  tree is freed without gumbo's own recursive walk, which a deep page would overflow. */
struct HtmlDocument::Arena {
    struct alignas(16) Block {
        Block* prev;
        Block* next;
        size_t size;
    };
    static constexpr size_t kOverhead = sizeof(Block) + 16; // and malloc's own header, about

    HtmlLimits limits;
    Block* head = nullptr;
    size_t live = 0; // bytes held, overhead included
    size_t calls = 0;
    Failure failure = Failure::None;
    std::jmp_buf escape{};

    ~Arena() { FreeAll(); }

    void FreeAll()
    {
        while (head) {
            Block* next = head->next;
            std::free(head);
            head = next;
        }
        live = 0;
    }

    /** Leaves the parse for HtmlDocument's constructor. gumbo's frames in between are C, with
     *  nothing to unwind; what they held is in the list. */
    [[noreturn]] void Abandon(Failure why)
    {
        failure = why;
        std::longjmp(escape, 1); // the only way out of gumbo
    }

    bool Room(size_t needed)
    {
        if (needed <= limits.treeBytes) return true;
        if (!limits.grow) return false;
        // Room ahead, so as not to ask at every node; else just what is needed.
        for (const size_t ask : {needed + needed / 4, needed})
            if (limits.grow(ask)) {
                limits.treeBytes = ask;
                return true;
            }
        return false;
    }

    static void* Allocate(void* userdata, size_t size)
    {
        auto& arena = *static_cast<Arena*>(userdata);
        if (!arena.Room(arena.live + size + kOverhead)) arena.Abandon(Failure::TooLarge);
        // The clock is read now and then: often enough that a page whose parse goes quadratic
        // (deep nesting makes every tag walk all open elements) stops near the deadline.
        if ((++arena.calls & 63) == 0 && std::chrono::steady_clock::now() >= arena.limits.deadline)
            arena.Abandon(Failure::TimedOut);
        auto* block = static_cast<Block*>(std::malloc(sizeof(Block) + size));
        if (!block) arena.Abandon(Failure::TooLarge);
        block->prev = nullptr;
        block->next = arena.head;
        block->size = size;
        if (arena.head) arena.head->prev = block;
        arena.head = block;
        arena.live += size + kOverhead;
        return block + 1;
    }

    static void Deallocate(void* userdata, void* pointer)
    {
        if (!pointer) return;
        auto& arena = *static_cast<Arena*>(userdata);
        Block* block = static_cast<Block*>(pointer) - 1;
        (block->prev ? block->prev->next : arena.head) = block->next;
        if (block->next) block->next->prev = block->prev;
        arena.live -= block->size + kOverhead;
        std::free(block);
    }
};

namespace {

const GumboVector* ChildrenOf(const GumboNode* node)
{
    if (node->type == GUMBO_NODE_DOCUMENT) return &node->v.document.children;
    if (node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE)
        return &node->v.element.children;
    return nullptr;
}

bool IsElement(const GumboNode* node)
{
    return node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE;
}

/** Only gumbo's frames and this one lie between setjmp and Abandon's longjmp. */
GumboOutput* ParseIn(HtmlDocument::Arena& arena, const GumboOptions& options,
                     const std::string& text)
{
    if (setjmp(arena.escape) != 0) return nullptr;
    return gumbo_parse_with_options(&options, text.data(), text.size());
}

/** Counts the nodes below root and the elements nested deepest, without recursion. */
void Measure(const GumboNode* root, size_t& nodes, size_t& depth)
{
    size_t level = 0; // elements from root to node, node included
    for (const GumboNode* node = root; node;) {
        ++nodes;
        if (IsElement(node)) depth = std::max(depth, ++level);
        const GumboVector* children = ChildrenOf(node);
        if (children && children->length) {
            node = static_cast<const GumboNode*>(children->data[0]);
            continue;
        }
        if (IsElement(node)) --level; // a leaf element is done
        const GumboNode* next = nullptr;
        while (node != root && !next) {
            const GumboVector* siblings = ChildrenOf(node->parent);
            if (node->index_within_parent + 1 < siblings->length) {
                next = static_cast<const GumboNode*>(siblings->data[node->index_within_parent + 1]);
            } else {
                node = node->parent;
                if (IsElement(node)) --level;
            }
        }
        node = next;
    }
}

} // namespace

HtmlDocument::HtmlDocument(std::string utf8, const HtmlLimits& limits)
    : text_(std::move(utf8)), arena_(std::make_unique<Arena>())
{
    arena_->limits = limits;
    GumboOptions options = kGumboDefaultOptions;
    options.allocator = &Arena::Allocate;
    options.deallocator = &Arena::Deallocate;
    options.userdata = arena_.get();
    // Unlimited, gumbo records an error for every element left open, each with a copy of the
    // open elements: a page of unclosed tags would cost gigabytes. Nothing reads them.
    options.max_errors = 0;
    output_ = ParseIn(*arena_, options, text_);
    if (output_) {
        Measure(output_->root, nodes_, depth_);
        if (depth_ > limits.maxDepth) failure_ = Failure::TooDeep;
    } else {
        failure_ = arena_->failure;
    }
    if (failure_ != Failure::None) {
        output_ = nullptr;
        arena_->FreeAll();
        text_ = std::string();
    }
}

HtmlDocument::~HtmlDocument() = default; // the arena frees the tree

const GumboNode* HtmlDocument::root() const
{
    return output_ ? output_->root : nullptr;
}

size_t HtmlDocument::treeBytes() const
{
    return arena_->live;
}

const GumboNode* NextNode(const GumboNode* node, const GumboNode* scope, bool skipBelow)
{
    if (!skipBelow)
        if (const GumboVector* children = ChildrenOf(node); children && children->length)
            return static_cast<const GumboNode*>(children->data[0]);
    for (; node != scope && node->parent; node = node->parent) {
        const GumboVector* siblings = ChildrenOf(node->parent);
        if (siblings && node->index_within_parent + 1 < siblings->length)
            return static_cast<const GumboNode*>(siblings->data[node->index_within_parent + 1]);
    }
    return nullptr;
}

std::string TextContent(const GumboNode* node)
{
    std::string out;
    for (const GumboNode* n = node; n; n = NextNode(n, node))
        if (n->type == GUMBO_NODE_TEXT || n->type == GUMBO_NODE_WHITESPACE ||
            n->type == GUMBO_NODE_CDATA)
            out += n->v.text.text;
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
