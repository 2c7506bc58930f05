#pragma once

#include <gumbo.h>

#include <memory>
#include <string>
#include <vector>

/** A CSS selector list read into typed values, ready to match: nothing in it is text to be read
 *  again. */
namespace css {

enum class AttributeTest { Present, Equals, Prefix, Suffix, Substring, Word, DashPrefix, NotEqual };

enum class Pseudo {
    Root,
    Scope,
    Empty,
    Contains,
    ContainsOwn,
    Not,
    Is,
    Has,
    HasAnchor, // first in each of :has()'s selectors: the element :has() is tested on
    FirstChild,
    LastChild,
    OnlyChild,
    FirstOfType,
    LastOfType,
    OnlyOfType,
    NthChild,
    NthOfType,
    NthLastChild,
    NthLastOfType
};

struct SelectorList;

/** Text searched for by :contains(), with its table of fallbacks so that it is found in text
 *  spread over many nodes without joining them. */
struct Needle {
    std::string text;
    std::vector<size_t> fallback; // Knuth-Morris-Pratt: longest proper border of text[0..i]
};

/** One simple selector: a type, #id, .class, an attribute test or a pseudo-class. */
struct Simple {
    enum class Kind { Type, Id, Class, Attribute, Pseudo } kind = Kind::Type;
    std::string name;                 // lower-case tag, id, class or attribute name
    GumboTag tag = GUMBO_TAG_UNKNOWN; // Type: the tag as gumbo knows it, else compared by name
    AttributeTest test = AttributeTest::Present;
    std::string value; // attribute value, lower case when caseless
    bool caseless = false;
    Pseudo pseudo = Pseudo::Root;
    Needle needle;                      // :contains(), :containsown()
    int a = 0, b = 0;                   // :nth-*(an+b)
    std::shared_ptr<SelectorList> list; // :not(), :is(), :has()
    bool siblings = false; // :has(~ x) or :has(+ x): what it looks for follows the element
};

struct Compound {
    char combinator = 0; // to the compound before: ' ', '>', '+', '~'; 0 for the first
    std::vector<Simple> parts;
};

struct Complex {
    std::vector<Compound> compounds;
};

struct SelectorList {
    std::vector<Complex> alternatives;
};

/** What reading a selector gave: the list, or why not (unsupported: valid CSS this engine
 *  does not match, such as pseudo-elements). */
struct ParsedSelector {
    SelectorList list;
    std::string error; // empty when read
    bool unsupported = false;
};

ParsedSelector ParseSelector(const std::string& text);

} // namespace css
