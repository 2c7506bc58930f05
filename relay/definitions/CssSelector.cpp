#include "relay/definitions/CssSelector.h"

#include "relay/definitions/HtmlDocument.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

using namespace css;

namespace {

/** Where a match stands: the element a selection starts from (for :scope; none outside a
 *  selection, when :scope is :root as in a browser's document.querySelector) and the element
 *  :has() is being tested on, where its relative selectors start. */
struct Context {
    const GumboNode* scope = nullptr;
    const GumboNode* hasAnchor = nullptr;
};

bool IsElement(const GumboNode* n)
{
    return n && (n->type == GUMBO_NODE_ELEMENT || n->type == GUMBO_NODE_TEMPLATE);
}

const GumboNode* ParentElement(const GumboNode* n)
{
    const GumboNode* p = n->parent;
    return IsElement(p) ? p : nullptr;
}

/** The element sibling before (step -1) or after (step 1) n, or nullptr. */
const GumboNode* SiblingElement(const GumboNode* n, int step)
{
    const GumboNode* p = n->parent;
    if (!IsElement(p)) return nullptr;
    const GumboVector& c = p->v.element.children;
    for (long i = long(n->index_within_parent) + step; i >= 0 && i < long(c.length); i += step)
        if (const auto* s = static_cast<const GumboNode*>(c.data[i]); IsElement(s)) return s;
    return nullptr;
}

char LowerChar(char c)
{
    return char(std::tolower(static_cast<unsigned char>(c)));
}

bool EqualCaseless(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return LowerChar(x) == y; });
}

/** The tag name an unknown element was written with ("<custom-tag ..."), as written. */
std::string_view UnknownTagName(const GumboNode* e)
{
    GumboStringPiece piece = e->v.element.original_tag;
    gumbo_tag_from_original_text(&piece);
    return {piece.data, piece.length};
}

bool SameType(const GumboNode* a, const GumboNode* b)
{
    if (a->v.element.tag != b->v.element.tag) return false;
    if (a->v.element.tag != GUMBO_TAG_UNKNOWN) return true;
    const std::string_view x = UnknownTagName(a), y = UnknownTagName(b);
    return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin(), [](char p, char q) {
               return LowerChar(p) == LowerChar(q);
           });
}

bool TypeMatches(const GumboNode* e, const Simple& s)
{
    // An XML feed's elements are all unknown to gumbo: "title" there is compared by name.
    if (e->v.element.tag != GUMBO_TAG_UNKNOWN) return e->v.element.tag == s.tag;
    return EqualCaseless(UnknownTagName(e), s.name);
}

const char* Attribute(const GumboNode* e, const char* name)
{
    const GumboAttribute* a = gumbo_get_attribute(&e->v.element.attributes, name);
    return a ? a->value : nullptr;
}

/** True when text holds word as one of its white-space separated words. */
bool HasWord(std::string_view text, std::string_view word, bool caseless)
{
    if (word.empty()) return false;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        size_t j = i;
        while (j < text.size() && !std::isspace(static_cast<unsigned char>(text[j])))
            ++j;
        const std::string_view each = text.substr(i, j - i);
        if (caseless ? EqualCaseless(each, word) : each == word) return true;
        i = j;
    }
    return false;
}

bool Equal(std::string_view v, std::string_view want, bool caseless)
{
    return caseless ? EqualCaseless(v, want) : v == want;
}

bool AttributeMatches(const GumboNode* e, const Simple& s)
{
    const char* raw = Attribute(e, s.name.c_str());
    if (!raw) return s.test == AttributeTest::NotEqual;
    const std::string_view v = raw, want = s.value;
    const bool c = s.caseless; // want is lower case already
    const auto at = [&](size_t from) { return Equal(v.substr(from, want.size()), want, c); };
    switch (s.test) {
    case AttributeTest::Present:
        return true;
    case AttributeTest::Equals:
        return Equal(v, want, c);
    case AttributeTest::NotEqual:
        return !Equal(v, want, c);
    case AttributeTest::Prefix:
        return !want.empty() && v.size() >= want.size() && at(0);
    case AttributeTest::Suffix:
        return !want.empty() && v.size() >= want.size() && at(v.size() - want.size());
    case AttributeTest::Substring:
        for (size_t i = 0; !want.empty() && i + want.size() <= v.size(); ++i)
            if (at(i)) return true;
        return false;
    case AttributeTest::DashPrefix:
        return Equal(v, want, c) || (v.size() > want.size() && at(0) && v[want.size()] == '-');
    case AttributeTest::Word: // one of the space-separated words
        for (size_t i = 0; i <= v.size();) {
            const size_t j = std::min(v.find(' ', i), v.size());
            if (!want.empty() && Equal(v.substr(i, j - i), want, c)) return true;
            i = j + 1;
        }
        return false;
    }
    return false;
}

/** Feeds text to a search for needle; true once needle has been seen whole. */
bool Feed(const Needle& needle, const char* text, size_t& matched)
{
    for (; *text; ++text) {
        while (matched > 0 && *text != needle.text[matched])
            matched = needle.fallback[matched - 1];
        if (*text == needle.text[matched] && ++matched == needle.text.size()) return true;
    }
    return false;
}

bool IsText(const GumboNode* n)
{
    return n->type == GUMBO_NODE_TEXT || n->type == GUMBO_NODE_WHITESPACE ||
           n->type == GUMBO_NODE_CDATA;
}

/** :contains(): the needle in the element's text content, read node by node. */
bool Contains(const GumboNode* e, const Needle& needle)
{
    if (needle.text.empty()) return true;
    size_t matched = 0;
    for (const GumboNode* n = e; n; n = NextNode(n, e))
        if (IsText(n) && Feed(needle, n->v.text.text, matched)) return true;
    return false;
}

/** :containsown(): the needle in the text of the element's own text children. */
bool ContainsOwn(const GumboNode* e, const Needle& needle)
{
    if (needle.text.empty()) return true;
    size_t matched = 0;
    const GumboVector& c = e->v.element.children;
    for (unsigned i = 0; i < c.length; ++i) {
        const auto* child = static_cast<const GumboNode*>(c.data[i]);
        if ((child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_WHITESPACE) &&
            Feed(needle, child->v.text.text, matched))
            return true;
    }
    return false;
}

bool NthMatches(int a, int b, int position) // position counts from 1
{
    if (a == 0) return position == b;
    const int n = position - b;
    return n % a == 0 && n / a >= 0;
}

/** e's position among its element siblings (of its type only, with ofType), counted from the
 *  first (step -1 walks back to it) or from the last (step 1); 1 for the first. */
int Position(const GumboNode* e, bool ofType, int step)
{
    int position = 1;
    for (const GumboNode* s = SiblingElement(e, step); s; s = SiblingElement(s, step))
        if (!ofType || SameType(s, e)) ++position;
    return position;
}

bool MatchesList(const SelectorList& list, const GumboNode* e, const Context& context);

bool AnyDescendantMatches(const GumboNode* e, const SelectorList& list, const Context& context)
{
    for (const GumboNode* n = NextNode(e, e); n; n = NextNode(n, e))
        if (MatchesList(list, n, context)) return true;
    return false;
}

bool Has(const GumboNode* e, const Simple& p, const Context& context)
{
    const Context inner{context.scope, e};
    // What follows e is found under its parent; anything else under e itself.
    const GumboNode* parent = ParentElement(e);
    return AnyDescendantMatches(p.siblings && parent ? parent : e, *p.list, inner);
}

bool PseudoMatches(const GumboNode* e, const Simple& p, const Context& context)
{
    switch (p.pseudo) {
    case Pseudo::Root:
        return !ParentElement(e);
    case Pseudo::Scope:
        return context.scope ? e == context.scope : !ParentElement(e);
    case Pseudo::Empty: {
        const GumboVector& c = e->v.element.children;
        for (unsigned i = 0; i < c.length; ++i)
            if (static_cast<const GumboNode*>(c.data[i])->type != GUMBO_NODE_COMMENT) return false;
        return true;
    }
    case Pseudo::Contains:
        return Contains(e, p.needle);
    case Pseudo::ContainsOwn:
        return ContainsOwn(e, p.needle);
    case Pseudo::Not:
        return !MatchesList(*p.list, e, context);
    case Pseudo::Is:
        return MatchesList(*p.list, e, context);
    case Pseudo::HasAnchor:
        return e == context.hasAnchor;
    case Pseudo::Has:
        return Has(e, p, context);
    case Pseudo::FirstChild:
        return !SiblingElement(e, -1);
    case Pseudo::LastChild:
        return !SiblingElement(e, 1);
    case Pseudo::OnlyChild:
        return !SiblingElement(e, -1) && !SiblingElement(e, 1);
    case Pseudo::FirstOfType:
        return Position(e, true, -1) == 1;
    case Pseudo::LastOfType:
        return Position(e, true, 1) == 1;
    case Pseudo::OnlyOfType:
        return Position(e, true, -1) == 1 && Position(e, true, 1) == 1;
    case Pseudo::NthChild:
        return NthMatches(p.a, p.b, Position(e, false, -1));
    case Pseudo::NthOfType:
        return NthMatches(p.a, p.b, Position(e, true, -1));
    case Pseudo::NthLastChild:
        return NthMatches(p.a, p.b, Position(e, false, 1));
    case Pseudo::NthLastOfType:
        return NthMatches(p.a, p.b, Position(e, true, 1));
    }
    return false;
}

bool CompoundMatches(const GumboNode* e, const Compound& c, const Context& context)
{
    for (const Simple& s : c.parts) {
        switch (s.kind) {
        case Simple::Kind::Type:
            if (!TypeMatches(e, s)) return false;
            break;
        case Simple::Kind::Id: {
            const char* id = Attribute(e, "id");
            if (!id || s.name != id) return false;
            break;
        }
        case Simple::Kind::Class: {
            const char* classes = Attribute(e, "class");
            if (!classes || !HasWord(classes, s.name, false)) return false;
            break;
        }
        case Simple::Kind::Attribute:
            if (!AttributeMatches(e, s)) return false;
            break;
        case Simple::Kind::Pseudo:
            if (!PseudoMatches(e, s, context)) return false;
            break;
        }
    }
    return true;
}

/** Matches compounds [0, last] right to left, with e standing for compound last. */
bool MatchesFrom(const Complex& complex, size_t last, const GumboNode* e, const Context& context)
{
    const Compound& c = complex.compounds[last];
    if (!CompoundMatches(e, c, context)) return false;
    if (last == 0) return true;
    switch (c.combinator) {
    case '>': {
        const GumboNode* p = ParentElement(e);
        return p && MatchesFrom(complex, last - 1, p, context);
    }
    case '+': {
        const GumboNode* s = SiblingElement(e, -1);
        return s && MatchesFrom(complex, last - 1, s, context);
    }
    case '~':
        for (const GumboNode* s = SiblingElement(e, -1); s; s = SiblingElement(s, -1))
            if (MatchesFrom(complex, last - 1, s, context)) return true;
        return false;
    default: // descendant
        for (const GumboNode* p = ParentElement(e); p; p = ParentElement(p))
            if (MatchesFrom(complex, last - 1, p, context)) return true;
        return false;
    }
}

bool MatchesList(const SelectorList& list, const GumboNode* e, const Context& context)
{
    if (!IsElement(e)) return false;
    return std::any_of(list.alternatives.begin(), list.alternatives.end(), [&](const Complex& c) {
        return MatchesFrom(c, c.compounds.size() - 1, e, context);
    });
}

/** Calls found for scope and then each of its descendants that match, in document order, until
 *  it returns false: a walk, not a recursion, so that a page nested however deep cannot
 *  exhaust the stack. */
template <typename Found> void Walk(const SelectorList& list, const GumboNode* scope, Found&& found)
{
    const Context context{scope, nullptr};
    for (const GumboNode* n = scope; n; n = NextNode(n, scope))
        if (MatchesList(list, n, context) && !found(n)) return;
}

} // namespace

CssSelector::CssSelector(const std::string& text) : parsed_(ParseSelector(text)) {}

bool CssSelector::Matches(const GumboNode* element) const
{
    return ok() && MatchesList(parsed_.list, element, Context{});
}

std::vector<const GumboNode*> CssSelector::SelectAll(const GumboNode* scope) const
{
    std::vector<const GumboNode*> out;
    if (!ok() || !IsElement(scope)) return out;
    Walk(parsed_.list, scope, [&out](const GumboNode* n) {
        out.push_back(n);
        return true;
    });
    return out;
}

const GumboNode* CssSelector::SelectFirst(const GumboNode* scope) const
{
    const GumboNode* first = nullptr;
    if (!ok() || !IsElement(scope)) return first;
    Walk(parsed_.list, scope, [&first](const GumboNode* n) {
        first = n;
        return false;
    });
    return first;
}
