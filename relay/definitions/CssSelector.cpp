#include "relay/definitions/CssSelector.h"

#include "relay/definitions/HtmlDocument.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <stdexcept>
#include <utility>

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

/** The attributes whose values HTML's selectors match in any ASCII case. */
bool CaselessInHtml(const std::string& attribute)
{
    static const std::set<std::string> kNames = {
        "accept",     "accept-charset", "align",     "alink",    "axis",     "bgcolor", "charset",
        "checked",    "clear",          "codetype",  "color",    "compact",  "declare", "defer",
        "dir",        "direction",      "disabled",  "enctype",  "face",     "frame",   "hreflang",
        "http-equiv", "lang",           "language",  "link",     "media",    "method",  "multiple",
        "nohref",     "noresize",       "noshade",   "nowrap",   "readonly", "rel",     "rev",
        "rules",      "scope",          "scrolling", "selected", "shape",    "target",  "text",
        "type",       "valign",         "valuetype", "vlink"};
    return kNames.count(attribute) > 0;
}

bool IsElement(const GumboNode* n)
{
    return n && (n->type == GUMBO_NODE_ELEMENT || n->type == GUMBO_NODE_TEMPLATE);
}

const GumboNode* ParentElement(const GumboNode* n)
{
    const GumboNode* p = n->parent;
    return IsElement(p) ? p : nullptr;
}

/** The element siblings of n, n included, in order. */
std::vector<const GumboNode*> Siblings(const GumboNode* n)
{
    if (const GumboNode* p = ParentElement(n)) return ElementChildren(p);
    return {n};
}

} // namespace

struct Simple;
struct Complex;

struct CssSelector::List {
    std::vector<Complex> alternatives;
};

struct Simple {
    enum Kind { Type, Id, Class, Attribute, Pseudo } kind = Type;
    std::string name;  // tag, id, class, attribute or pseudo-class
    std::string op;    // attribute test: "", "=", "^=", "$=", "*=", "~=", "|=", "!="
    std::string value; // attribute value or pseudo argument
    bool caseless = false;
    int a = 0, b = 0;                        // :nth-*(an+b)
    std::shared_ptr<CssSelector::List> list; // :not(), :has()
    bool siblings = false; // :has(~ x) or :has(+ x): what it looks for follows the element
};

Simple Make(Simple::Kind kind, std::string name = {})
{
    Simple s;
    s.kind = kind;
    s.name = std::move(name);
    return s;
}

/** Stands, first in each of :has()'s selectors, for the element being tested. */
constexpr char kHasAnchor[] = " has-anchor"; // the space keeps it from any written name

struct Compound {
    char combinator = 0; // to the compound before: ' ', '>', '+', '~'; 0 for the first
    std::vector<Simple> parts;
};

struct Complex {
    std::vector<Compound> compounds;
};

namespace {

/** Selectors nested in :not(), :has() and :is() deeper than this are refused: each level is
 *  read, matched and freed by recursion. Definitions nest two or three. */
constexpr int kMaxNesting = 32;

/** A recursive-descent reader of the selector text. */
class Parser {
public:
    explicit Parser(const std::string& text, int depth = 0) : s_(text), depth_(depth) {}

    /** Relative: each selector starts from the element :has() is tested on, as in
     *  ":has(> a)", ":has(~ div a)" or ":has(a)". */
    CssSelector::List ParseList(char end = 0, bool relative = false)
    {
        CssSelector::List list;
        for (;;) {
            Spaces();
            list.alternatives.push_back(ParseComplex(end, relative));
            Spaces();
            if (At(',')) {
                ++i_;
                continue;
            }
            break;
        }
        return list;
    }

    bool Done() const { return i_ >= s_.size(); }
    size_t position() const { return i_; }

private:
    bool At(char c) const { return i_ < s_.size() && s_[i_] == c; }
    void Spaces()
    {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_])))
            ++i_;
    }
    [[noreturn]] void Fail(const std::string& what) const
    {
        throw std::runtime_error(what.substr(0, 200) + " at " + std::to_string(i_ + 1));
    }

    static bool NameChar(unsigned char c)
    {
        return std::isalnum(c) || c == '-' || c == '_' || c >= 0x80;
    }

    static bool Hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

    static void AppendUtf8(char32_t c, std::string& out)
    {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }

    /** One escape, i_ on its backslash, as CSS reads it: up to six hex digits and one white
     *  space after them for a code point (none, a surrogate or one past Unicode is U+FFFD),
     *  else the next character as it is. */
    void Escape(std::string& out)
    {
        ++i_;
        if (i_ >= s_.size()) {
            AppendUtf8(0xFFFD, out);
            return;
        }
        if (!Hex(s_[i_])) {
            out += s_[i_++]; // the bytes after a UTF-8 lead are copied as they come
            return;
        }
        char32_t c = 0;
        for (int digits = 0; digits < 6 && i_ < s_.size() && Hex(s_[i_]); ++digits)
            c = c * 16 + char32_t(std::stoi(std::string(1, s_[i_++]), nullptr, 16));
        if (s_.compare(i_, 2, "\r\n") == 0)
            i_ += 2;
        else if (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' ||
                                    s_[i_] == '\r' || s_[i_] == '\f'))
            ++i_;
        AppendUtf8(c == 0 || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF ? 0xFFFD : c, out);
    }

    /** The rest of the text, its escapes read: an argument written without quotes. */
    std::string Unquoted()
    {
        std::string out;
        while (i_ < s_.size())
            if (s_[i_] == '\\')
                Escape(out);
            else
                out += s_[i_++];
        return out;
    }

    std::string Name()
    {
        std::string out;
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '\\' && i_ + 1 < s_.size() && s_[i_ + 1] != '\n') {
                Escape(out);
            } else if (NameChar(c)) {
                out += char(c);
                ++i_;
            } else {
                break;
            }
        }
        if (out.empty()) Fail("a name expected");
        return out;
    }

    std::string Quoted()
    {
        const char quote = s_[i_++];
        std::string out;
        while (i_ < s_.size() && s_[i_] != quote) {
            if (s_[i_] != '\\') {
                out += s_[i_++];
            } else if (s_.compare(i_ + 1, 2, "\r\n") == 0) { // a line continued
                i_ += 3;
            } else if (i_ + 1 < s_.size() && std::strchr("\n\r\f", s_[i_ + 1])) {
                i_ += 2;
            } else if (i_ + 1 < s_.size()) {
                Escape(out);
            } else {
                ++i_; // a backslash at the very end is nothing
            }
        }
        if (i_ >= s_.size()) Fail("an unclosed quote");
        ++i_;
        return out;
    }

    /** Text up to the closing parenthesis that matches, nested ones and quotes included. */
    std::string Argument()
    {
        int depth = 1;
        std::string out;
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (c == '"' || c == '\'') {
                const size_t start = i_;
                Quoted();
                out += s_.substr(start, i_ - start);
                continue;
            }
            if (c == '(') ++depth;
            if (c == ')' && --depth == 0) {
                ++i_;
                return out;
            }
            out += c;
            ++i_;
        }
        Fail("an unclosed parenthesis");
    }

    Complex ParseComplex(char end, bool relative)
    {
        Complex complex;
        char combinator = 0;
        if (relative) {
            complex.compounds.push_back({0, {Make(Simple::Pseudo, kHasAnchor)}});
            combinator = ' ';
            if (At('>') || At('+') || At('~')) {
                combinator = s_[i_++];
                Spaces();
            }
        }
        for (;;) {
            Compound compound = ParseCompound();
            compound.combinator = combinator;
            complex.compounds.push_back(std::move(compound));
            const size_t before = i_;
            Spaces();
            if (Done() || At(',') || (end && At(end))) break;
            if (At('>') || At('+') || At('~')) {
                combinator = s_[i_++];
                Spaces();
            } else if (i_ > before) {
                combinator = ' ';
            } else {
                Fail("unexpected '" + std::string(1, s_[i_]) + "'");
            }
        }
        return complex;
    }

    Compound ParseCompound()
    {
        Compound compound;
        if (At('*')) {
            ++i_;
        } else if (i_ < s_.size() && NameChar(static_cast<unsigned char>(s_[i_]))) {
            compound.parts.push_back(Make(Simple::Type, Lower(Name())));
        }
        for (;;) {
            if (At('#')) {
                ++i_;
                compound.parts.push_back(Make(Simple::Id, Name()));
            } else if (At('.')) {
                ++i_;
                compound.parts.push_back(Make(Simple::Class, Name()));
            } else if (At('[')) {
                ++i_;
                compound.parts.push_back(ParseAttribute());
            } else if (At(':')) {
                ++i_;
                if (At(':')) Fail("pseudo-elements are not supported");
                compound.parts.push_back(ParsePseudo());
            } else {
                break;
            }
        }
        if (compound.parts.empty() && (i_ == 0 || s_[i_ - 1] != '*')) Fail("a selector expected");
        return compound;
    }

    Simple ParseAttribute()
    {
        Simple a = Make(Simple::Attribute);
        Spaces();
        a.name = Lower(Name());
        Spaces();
        for (const char* op : {"^=", "$=", "*=", "~=", "|=", "!=", "="}) {
            const std::string o = op;
            if (s_.compare(i_, o.size(), o) == 0) {
                a.op = o;
                i_ += o.size();
                break;
            }
        }
        if (!a.op.empty()) {
            Spaces();
            a.value = At('"') || At('\'') ? Quoted() : Name();
            Spaces();
            // HTML compares these attributes' values in any case, unless "s" says otherwise.
            a.caseless = CaselessInHtml(a.name);
            if (At('i') || At('I')) {
                a.caseless = true;
                ++i_;
                Spaces();
            } else if (At('s') || At('S')) {
                a.caseless = false;
                ++i_;
                Spaces();
            }
        }
        if (!At(']')) Fail("']' expected");
        ++i_;
        return a;
    }

    static void Nth(const std::string& text, Simple& p)
    {
        std::string t;
        for (char c : Lower(text))
            if (!std::isspace(static_cast<unsigned char>(c))) t += c;
        if (t == "odd") {
            p.a = 2, p.b = 1;
            return;
        }
        if (t == "even") {
            p.a = 2, p.b = 0;
            return;
        }
        const size_t n = t.find('n');
        try {
            if (n == std::string::npos) {
                p.a = 0;
                p.b = std::stoi(t);
                return;
            }
            const std::string a = t.substr(0, n), b = t.substr(n + 1);
            p.a = a.empty() || a == "+" ? 1 : a == "-" ? -1 : std::stoi(a);
            p.b = b.empty() ? 0 : std::stoi(b);
        } catch (const std::exception&) {
            throw std::runtime_error("not an+b: " + text);
        }
        // Positions are small: larger numbers only overflow the arithmetic on them.
        constexpr int kMax = 1 << 20;
        if (p.a < -kMax || p.a > kMax || p.b < -kMax || p.b > kMax)
            throw std::runtime_error("not an+b: " + text);
    }

    Simple ParsePseudo()
    {
        Simple p = Make(Simple::Pseudo);
        p.name = Lower(Name());
        static const std::vector<std::string> plain = {
            "first-child",  "last-child", "only-child", "first-of-type", "last-of-type",
            "only-of-type", "empty",      "root",       "scope"};
        if (std::find(plain.begin(), plain.end(), p.name) != plain.end()) return p;
        if (!At('(')) Fail("unsupported pseudo-class :" + p.name);
        ++i_;
        const std::string argument = Argument();
        if (p.name == "contains" || p.name == "containsown") {
            std::string v = argument;
            const size_t b = v.find_first_not_of(" \t"), e = v.find_last_not_of(" \t");
            v = b == std::string::npos ? std::string() : v.substr(b, e - b + 1);
            // A string or a name, its escapes read ("\00a0", "\"").
            Parser text(v, depth_);
            p.value = !v.empty() && (v.front() == '"' || v.front() == '\'') ? text.Quoted()
                                                                            : text.Unquoted();
            if (text.i_ != v.size()) Fail(":" + p.name + "() takes one string");
        } else if (p.name == "nth-child" || p.name == "nth-of-type" || p.name == "nth-last-child" ||
                   p.name == "nth-last-of-type") {
            Nth(argument, p);
        } else if (p.name == "not" || p.name == "has" || p.name == "is") {
            if (depth_ >= kMaxNesting) Fail("nested too deeply");
            Parser nested(argument, depth_ + 1);
            p.list = std::make_shared<CssSelector::List>(nested.ParseList(0, p.name == "has"));
            for (const Complex& c : p.list->alternatives)
                p.siblings |= p.name == "has" && (c.compounds[1].combinator == '~' ||
                                                  c.compounds[1].combinator == '+');
            nested.Spaces();
            if (!nested.Done()) Fail("cannot read :" + p.name + "(" + argument + ")");
        } else {
            Fail("unsupported pseudo-class :" + p.name);
        }
        return p;
    }

    const std::string& s_;
    size_t i_ = 0;
    int depth_; // of :not(), :has() and :is() around this text
};

bool MatchesList(const CssSelector::List& list, const GumboNode* e);

bool HasClass(const GumboNode* e, const std::string& name)
{
    const char* classes = AttributeOf(e, "class");
    if (!classes) return false;
    const std::string all = classes;
    size_t i = 0;
    while (i < all.size()) {
        while (i < all.size() && std::isspace(static_cast<unsigned char>(all[i])))
            ++i;
        size_t j = i;
        while (j < all.size() && !std::isspace(static_cast<unsigned char>(all[j])))
            ++j;
        if (all.compare(i, j - i, name) == 0 && j - i == name.size()) return true;
        i = j;
    }
    return false;
}

bool AttributeMatches(const GumboNode* e, const Simple& s)
{
    const char* raw = AttributeOf(e, s.name);
    if (!raw) return s.op == "!=";
    std::string v = raw, want = s.value;
    if (s.caseless) {
        v = Lower(v);
        want = Lower(want);
    }
    if (s.op == "!=") return v != want;
    if (s.op.empty()) return true;
    if (s.op == "=") return v == want;
    if (s.op == "^=") return !want.empty() && v.rfind(want, 0) == 0;
    if (s.op == "$=")
        return !want.empty() && v.size() >= want.size() &&
               v.compare(v.size() - want.size(), want.size(), want) == 0;
    if (s.op == "*=") return !want.empty() && v.find(want) != std::string::npos;
    if (s.op == "|=") return v == want || v.rfind(want + "-", 0) == 0;
    // "~=": one of the space-separated words
    size_t i = 0;
    while (i <= v.size()) {
        const size_t j = std::min(v.find(' ', i), v.size());
        if (v.compare(i, j - i, want) == 0 && j - i == want.size() && !want.empty()) return true;
        i = j + 1;
    }
    return false;
}

bool NthMatches(int a, int b, int position) // position counts from 1
{
    if (a == 0) return position == b;
    const int n = position - b;
    return n % a == 0 && n / a >= 0;
}

/** The element a selection starts from, for :scope; none outside SelectAll (then :scope is
 *  :root, as in a browser's document.querySelector). */
thread_local const GumboNode* tScope = nullptr;
/** The element :has() is being tested on: where its relative selectors start. */
thread_local const GumboNode* tHasAnchor = nullptr;

bool AnyDescendantMatches(const GumboNode* e, const CssSelector::List& list)
{
    for (const GumboNode* n = NextNode(e, e); n; n = NextNode(n, e))
        if (MatchesList(list, n)) return true;
    return false;
}

bool Has(const GumboNode* e, const Simple& p)
{
    const GumboNode* outer = std::exchange(tHasAnchor, e);
    // What follows e is found under its parent; anything else under e itself.
    const GumboNode* parent = ParentElement(e);
    const bool found = AnyDescendantMatches(p.siblings && parent ? parent : e, *p.list);
    tHasAnchor = outer;
    return found;
}

bool PseudoMatches(const GumboNode* e, const Simple& p)
{
    const std::string& n = p.name;
    if (n == "root" || (n == "scope" && !tScope)) return !ParentElement(e);
    if (n == "scope") return e == tScope;
    if (n == "empty") {
        const GumboVector& c = e->v.element.children;
        for (unsigned i = 0; i < c.length; ++i) {
            const auto* child = static_cast<const GumboNode*>(c.data[i]);
            if (child->type != GUMBO_NODE_COMMENT) return false;
        }
        return true;
    }
    if (n == "contains") return TextContent(e).find(p.value) != std::string::npos;
    if (n == "containsown") {
        std::string own;
        const GumboVector& c = e->v.element.children;
        for (unsigned i = 0; i < c.length; ++i) {
            const auto* child = static_cast<const GumboNode*>(c.data[i]);
            if (child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_WHITESPACE)
                own += child->v.text.text;
        }
        return own.find(p.value) != std::string::npos;
    }
    if (n == "not") return !MatchesList(*p.list, e);
    if (n == "is") return MatchesList(*p.list, e);
    if (n == kHasAnchor) return e == tHasAnchor;
    if (n == "has") return Has(e, p);
    const bool ofType = n.find("of-type") != std::string::npos;
    std::vector<const GumboNode*> siblings = Siblings(e);
    if (ofType) {
        const std::string tag = TagName(e);
        std::erase_if(siblings, [&](const GumboNode* s) { return TagName(s) != tag; });
    }
    const int index = int(std::find(siblings.begin(), siblings.end(), e) - siblings.begin()) + 1;
    const int fromEnd = int(siblings.size()) - index + 1;
    if (n == "first-child" || n == "first-of-type") return index == 1;
    if (n == "last-child" || n == "last-of-type") return fromEnd == 1;
    if (n == "only-child" || n == "only-of-type") return siblings.size() == 1;
    if (n == "nth-child" || n == "nth-of-type") return NthMatches(p.a, p.b, index);
    if (n == "nth-last-child" || n == "nth-last-of-type") return NthMatches(p.a, p.b, fromEnd);
    return false;
}

bool CompoundMatches(const GumboNode* e, const Compound& c)
{
    for (const Simple& s : c.parts) {
        switch (s.kind) {
        case Simple::Type:
            if (TagName(e) != s.name) return false;
            break;
        case Simple::Id: {
            const char* id = AttributeOf(e, "id");
            if (!id || s.name != id) return false;
            break;
        }
        case Simple::Class:
            if (!HasClass(e, s.name)) return false;
            break;
        case Simple::Attribute:
            if (!AttributeMatches(e, s)) return false;
            break;
        case Simple::Pseudo:
            if (!PseudoMatches(e, s)) return false;
            break;
        }
    }
    return true;
}

/** Matches compounds [0, last] right to left, with e standing for compound last. */
bool MatchesFrom(const Complex& complex, size_t last, const GumboNode* e)
{
    const Compound& c = complex.compounds[last];
    if (!CompoundMatches(e, c)) return false;
    if (last == 0) return true;
    switch (c.combinator) {
    case '>': {
        const GumboNode* p = ParentElement(e);
        return p && MatchesFrom(complex, last - 1, p);
    }
    case '+': {
        const auto s = Siblings(e);
        const auto at = std::find(s.begin(), s.end(), e);
        return at != s.begin() && MatchesFrom(complex, last - 1, *(at - 1));
    }
    case '~': {
        const auto s = Siblings(e);
        for (auto it = s.begin(); it != s.end() && *it != e; ++it)
            if (MatchesFrom(complex, last - 1, *it)) return true;
        return false;
    }
    default: // descendant
        for (const GumboNode* p = ParentElement(e); p; p = ParentElement(p))
            if (MatchesFrom(complex, last - 1, p)) return true;
        return false;
    }
}

bool MatchesList(const CssSelector::List& list, const GumboNode* e)
{
    if (!IsElement(e)) return false;
    return std::any_of(list.alternatives.begin(), list.alternatives.end(),
                       [e](const Complex& c) { return MatchesFrom(c, c.compounds.size() - 1, e); });
}

/** The descendants of scope that match, in document order: a walk, not a recursion, so that
 *  a page nested however deep cannot exhaust the stack. */
void Collect(const CssSelector::List& list, const GumboNode* scope,
             std::vector<const GumboNode*>& out)
{
    for (const GumboNode* n = NextNode(scope, scope); n; n = NextNode(n, scope))
        if (MatchesList(list, n)) out.push_back(n);
}

/** The selector as an error quotes it: a hostile one may be megabytes. */
std::string Quoted(const std::string& text)
{
    constexpr size_t kShown = 120;
    return "\"" + (text.size() > kShown ? text.substr(0, kShown) + "..." : text) + "\"";
}

} // namespace

CssSelector::CssSelector(const std::string& text) : list_(std::make_unique<List>())
{
    try {
        Parser parser(text);
        *list_ = parser.ParseList();
        if (!parser.Done()) throw std::runtime_error("unexpected text");
    } catch (const std::exception& e) {
        error_ = std::string(e.what()) + " in selector " + Quoted(text);
        list_->alternatives.clear();
    }
}

CssSelector::~CssSelector() = default;
CssSelector::CssSelector(CssSelector&&) noexcept = default;
CssSelector& CssSelector::operator=(CssSelector&&) noexcept = default;

bool CssSelector::Matches(const GumboNode* element) const
{
    return ok() && MatchesList(*list_, element);
}

std::vector<const GumboNode*> CssSelector::SelectAll(const GumboNode* scope) const
{
    std::vector<const GumboNode*> out;
    if (!ok() || !IsElement(scope)) return out;
    const GumboNode* outer = std::exchange(tScope, scope);
    if (MatchesList(*list_, scope)) out.push_back(scope);
    Collect(*list_, scope, out);
    tScope = outer;
    return out;
}

const GumboNode* CssSelector::SelectFirst(const GumboNode* scope) const
{
    const auto all = SelectAll(scope);
    return all.empty() ? nullptr : all.front();
}
