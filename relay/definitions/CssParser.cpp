#include "relay/definitions/CssParser.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <stdexcept>
#include <utility>

namespace css {
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

Simple Make(Simple::Kind kind, std::string name = {})
{
    Simple s;
    s.kind = kind;
    s.name = std::move(name);
    return s;
}

Simple TypeSelector(std::string name)
{
    Simple s = Make(Simple::Kind::Type, std::move(name));
    s.tag = gumbo_tag_enum(s.name.c_str());
    return s;
}

Needle MakeNeedle(std::string text)
{
    Needle n;
    n.fallback.assign(text.size(), 0);
    for (size_t i = 1, k = 0; i < text.size(); ++i) {
        while (k > 0 && text[i] != text[k])
            k = n.fallback[k - 1];
        if (text[i] == text[k]) ++k;
        n.fallback[i] = k;
    }
    n.text = std::move(text);
    return n;
}

/** A pseudo-class without an argument, by name; false for any other name. */
bool PlainPseudo(const std::string& name, Pseudo& out)
{
    static const std::pair<const char*, Pseudo> kPlain[] = {{"first-child", Pseudo::FirstChild},
                                                            {"last-child", Pseudo::LastChild},
                                                            {"only-child", Pseudo::OnlyChild},
                                                            {"first-of-type", Pseudo::FirstOfType},
                                                            {"last-of-type", Pseudo::LastOfType},
                                                            {"only-of-type", Pseudo::OnlyOfType},
                                                            {"empty", Pseudo::Empty},
                                                            {"root", Pseudo::Root},
                                                            {"scope", Pseudo::Scope}};
    for (const auto& [n, p] : kPlain)
        if (name == n) {
            out = p;
            return true;
        }
    return false;
}

/** Selectors nested in :not(), :has() and :is() deeper than this are refused: each level is
 *  read, matched and freed by recursion. Definitions nest two or three. */
constexpr int kMaxNesting = 32;

/** A recursive-descent reader of the selector text. */
class Parser {
public:
    explicit Parser(const std::string& text, int depth = 0) : s_(text), depth_(depth) {}

    /** Relative: each selector starts from the element :has() is tested on, as in
     *  ":has(> a)", ":has(~ div a)" or ":has(a)". */
    SelectorList ParseList(char end = 0, bool relative = false)
    {
        SelectorList list;
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
            Simple anchor = Make(Simple::Kind::Pseudo);
            anchor.pseudo = Pseudo::HasAnchor;
            complex.compounds.push_back({0, {std::move(anchor)}});
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
            compound.parts.push_back(TypeSelector(Lower(Name())));
        }
        for (;;) {
            if (At('#')) {
                ++i_;
                compound.parts.push_back(Make(Simple::Kind::Id, Name()));
            } else if (At('.')) {
                ++i_;
                compound.parts.push_back(Make(Simple::Kind::Class, Name()));
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
        Simple a = Make(Simple::Kind::Attribute);
        Spaces();
        a.name = Lower(Name());
        Spaces();
        static const std::pair<const char*, AttributeTest> kTests[] = {
            {"^=", AttributeTest::Prefix},     {"$=", AttributeTest::Suffix},
            {"*=", AttributeTest::Substring},  {"~=", AttributeTest::Word},
            {"|=", AttributeTest::DashPrefix}, {"!=", AttributeTest::NotEqual},
            {"=", AttributeTest::Equals}};
        for (const auto& [op, test] : kTests) {
            const std::string o = op;
            if (s_.compare(i_, o.size(), o) == 0) {
                a.test = test;
                i_ += o.size();
                break;
            }
        }
        if (a.test != AttributeTest::Present) {
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
        if (a.caseless) a.value = Lower(a.value); // compared with the element's, lowered as read
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
        Simple p = Make(Simple::Kind::Pseudo);
        p.name = Lower(Name());
        if (PlainPseudo(p.name, p.pseudo)) return p;
        if (!At('(')) Fail("unsupported pseudo-class :" + p.name);
        ++i_;
        const std::string argument = Argument();
        if (p.name == "contains" || p.name == "containsown") {
            std::string v = argument;
            const size_t b = v.find_first_not_of(" \t"), e = v.find_last_not_of(" \t");
            v = b == std::string::npos ? std::string() : v.substr(b, e - b + 1);
            // A string or a name, its escapes read ("\00a0", "\"").
            Parser text(v, depth_);
            p.needle =
                MakeNeedle(!v.empty() && (v.front() == '"' || v.front() == '\'') ? text.Quoted()
                                                                                 : text.Unquoted());
            if (text.i_ != v.size()) Fail(":" + p.name + "() takes one string");
            p.pseudo = p.name == "contains" ? Pseudo::Contains : Pseudo::ContainsOwn;
        } else if (p.name == "nth-child" || p.name == "nth-of-type" || p.name == "nth-last-child" ||
                   p.name == "nth-last-of-type") {
            Nth(argument, p);
            p.pseudo = p.name == "nth-child"        ? Pseudo::NthChild
                       : p.name == "nth-of-type"    ? Pseudo::NthOfType
                       : p.name == "nth-last-child" ? Pseudo::NthLastChild
                                                    : Pseudo::NthLastOfType;
        } else if (p.name == "not" || p.name == "has" || p.name == "is") {
            if (depth_ >= kMaxNesting) Fail("nested too deeply");
            Parser nested(argument, depth_ + 1);
            p.list = std::make_shared<SelectorList>(nested.ParseList(0, p.name == "has"));
            p.pseudo = p.name == "not" ? Pseudo::Not : p.name == "is" ? Pseudo::Is : Pseudo::Has;
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

/** The selector as an error quotes it: a hostile one may be megabytes. */
std::string Quoted(const std::string& text)
{
    constexpr size_t kShown = 120;
    return "\"" + (text.size() > kShown ? text.substr(0, kShown) + "..." : text) + "\"";
}

} // namespace

ParsedSelector ParseSelector(const std::string& text)
{
    ParsedSelector out;
    try {
        Parser parser(text);
        out.list = parser.ParseList();
        if (!parser.Done()) throw std::runtime_error("unexpected text");
    } catch (const std::exception& e) {
        out.error = std::string(e.what()) + " in selector " + Quoted(text);
        out.unsupported = out.error.rfind("unsupported", 0) == 0 ||
                          out.error.rfind("pseudo-elements are not supported", 0) == 0;
        out.list.alternatives.clear();
    }
    return out;
}

} // namespace css
