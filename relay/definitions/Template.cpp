#include "relay/definitions/Template.h"

#include "relay/definitions/DotNetRegex.h"

#include <QRegularExpression>
#include <QString>
#include <QUrl>

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>
#include <stdexcept>
#include <variant>

namespace {

using Value = std::variant<std::string, std::vector<std::string>>;

/** Parentheses, and blocks (an "else if" counting as one more), nested deeper than this are
 *  refused: templates are read, rendered and freed by recursion. Definitions nest a few. */
constexpr int kMaxNesting = 100;

[[noreturn]] void TooDeep()
{
    throw std::runtime_error("nested too deeply");
}

std::string AsText(const Value& v)
{
    if (const auto* s = std::get_if<std::string>(&v)) return *s;
    std::string out = "[";
    for (const std::string& item : std::get<std::vector<std::string>>(v))
        out += (out.size() > 1 ? " " : "") + item;
    return out + "]";
}

/** As the reference reader judges a condition: text that is not blank, a list that is not
 *  empty. (A ticked checkbox is "True", an unticked one empty.) */
bool Truthy(const Value& v)
{
    if (const auto* s = std::get_if<std::string>(&v))
        return std::any_of(s->begin(), s->end(),
                           [](char c) { return !std::isspace(static_cast<unsigned char>(c)); });
    return !std::get<std::vector<std::string>>(v).empty();
}

/** One term of an action: a name (".Config.x"), the dot itself, a literal, a call. */
struct Expr {
    enum Kind { Name, Dot, Literal, Call } kind = Literal;
    std::string text; // the name without its dot, the literal, or the function
    std::vector<Expr> args;
    /** re_replace with a pattern written in the template: compiled as the template is read. */
    std::shared_ptr<const QRegularExpression> pattern;
};

} // namespace

struct Template::Node {
    enum Kind { Text, Print, If, Range } kind = Text;
    std::string text;
    Expr expr;
    std::vector<Node> body, otherwise; // otherwise holds a nested If for "else if"
};

namespace {

/** Reads the words of one action. */
class ActionReader {
public:
    explicit ActionReader(const std::string& s) : s_(s) {}

    Expr Pipeline()
    {
        std::vector<Expr> terms;
        Spaces();
        while (i_ < s_.size() && s_[i_] != ')') {
            terms.push_back(Term());
            if (terms.size() > 1 && StrayParenthesis(terms.back())) ++i_;
            Spaces();
        }
        if (terms.empty()) throw std::runtime_error("an empty action");
        if (terms.size() == 1 && terms[0].kind != Expr::Call) return terms[0];
        Expr call = terms[0];
        if (call.kind != Expr::Call) throw std::runtime_error("a value cannot be called");
        call.args.assign(terms.begin() + 1, terms.end());
        if (call.text == "re_replace" && call.args.size() > 1 &&
            call.args[1].kind == Expr::Literal) {
            auto re = std::make_shared<QRegularExpression>(DotNetPattern(call.args[1].text));
            if (!re->isValid())
                throw std::runtime_error("regular expression \"" +
                                         call.args[1].text.substr(0, 120) +
                                         "\": " + re->errorString().toStdString());
            re->optimize();
            call.pattern = std::move(re);
        }
        return call;
    }
    bool Done()
    {
        Spaces();
        return i_ >= s_.size();
    }

private:
    /** The reference reader takes one ")" more after the last name of an argument that is a
     *  call of and, or, eq or ne ("(eq .A .B))"): one that closes nothing there is dropped, as
     *  it drops it. Only right after the group, and only when no parenthesis is open. */
    bool StrayParenthesis(const Expr& argument) const
    {
        static const std::set<std::string> kLogic = {"and", "or", "eq", "ne"};
        return lastWasGroup_ && depth_ == 0 && i_ < s_.size() && s_[i_] == ')' &&
               argument.kind == Expr::Call && kLogic.count(argument.text) &&
               !argument.args.empty() && argument.args.back().kind == Expr::Name;
    }
    void Spaces()
    {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_])))
            ++i_;
    }
    Expr Term()
    {
        const char c = s_[i_];
        lastWasGroup_ = c == '(';
        if (c == '(') {
            if (++depth_ > kMaxNesting) TooDeep();
            ++i_;
            Expr inner = Pipeline();
            if (i_ >= s_.size() || s_[i_] != ')') throw std::runtime_error("')' expected");
            ++i_;
            --depth_;
            lastWasGroup_ = true;
            return inner;
        }
        if (c == '"' || c == '`') {
            std::string out;
            ++i_;
            // As the definitions' reference reader takes them: the text up to the next quote,
            // backslashes and all ("\b0(\d)\b" is a pattern, not escapes).
            while (i_ < s_.size() && s_[i_] != c)
                out += s_[i_++];
            if (i_ >= s_.size()) throw std::runtime_error("an unclosed string");
            ++i_;
            return {Expr::Literal, out, {}, {}};
        }
        std::string word;
        while (i_ < s_.size() && !std::isspace(static_cast<unsigned char>(s_[i_])) &&
               s_[i_] != ')' && s_[i_] != '(')
            word += s_[i_++];
        if (word == ".") return {Expr::Dot, {}, {}, {}};
        if (word.front() == '.') return {Expr::Name, word.substr(1), {}, {}};
        if (std::isdigit(static_cast<unsigned char>(word.front())) || word.front() == '-')
            return {Expr::Literal, word, {}, {}};
        if (word == "true" || word == "false")
            return {Expr::Literal, word == "true" ? "true" : "", {}, {}};
        static const char* const kFunctions[] = {"and",  "or",         "not",      "eq",
                                                 "ne",   "len",        "index",    "print",
                                                 "join", "re_replace", "urlencode"};
        for (const char* f : kFunctions)
            if (word == f) return {Expr::Call, word, {}, {}};
        throw std::runtime_error("unsupported template function " + word);
    }

    const std::string& s_;
    size_t i_ = 0;
    int depth_ = 0;             // parentheses open
    bool lastWasGroup_ = false; // the term just read was "( ... )"
};

struct Token {
    bool action = false;
    std::string text;
};

std::vector<Token> Tokens(const std::string& text)
{
    std::vector<Token> out;
    size_t i = 0;
    while (i < text.size()) {
        const size_t open = text.find("{{", i);
        if (open == std::string::npos) {
            out.push_back({false, text.substr(i)});
            break;
        }
        std::string before = text.substr(i, open - i);
        size_t start = open + 2;
        if (start < text.size() && text[start] == '-') { // "{{-" trims the space before
            ++start;
            while (!before.empty() && std::isspace(static_cast<unsigned char>(before.back())))
                before.pop_back();
        }
        if (!before.empty()) out.push_back({false, before});
        const size_t close = text.find("}}", start);
        if (close == std::string::npos) throw std::runtime_error("an unclosed {{");
        size_t end = close;
        bool trimAfter = false;
        if (end > start && text[end - 1] == '-') {
            --end;
            trimAfter = true;
        }
        out.push_back({true, text.substr(start, end - start)});
        i = close + 2;
        if (trimAfter)
            while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
                ++i;
    }
    return out;
}

std::string Trimmed(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r\n");
    const size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

Expr ParseExpr(const std::string& text)
{
    ActionReader reader(text);
    Expr e = reader.Pipeline();
    if (!reader.Done()) throw std::runtime_error("unexpected text in {{" + text + "}}");
    return e;
}

/** Parses nodes up to an "end" or "else" (returned in stop) or the end of the tokens; depth:
 *  the blocks around them. */
std::vector<Template::Node> ParseNodes(const std::vector<Token>& tokens, size_t& i,
                                       std::string& stop, int depth = 0)
{
    std::vector<Template::Node> nodes;
    while (i < tokens.size()) {
        const Token& t = tokens[i++];
        if (!t.action) {
            nodes.push_back({Template::Node::Text, t.text, {}, {}, {}});
            continue;
        }
        const std::string a = Trimmed(t.text);
        if (a.rfind("/*", 0) == 0) continue; // a comment
        if (a == "end" || a == "else" || a.rfind("else if ", 0) == 0) {
            stop = a;
            return nodes;
        }
        const bool isIf = a.rfind("if ", 0) == 0, isRange = a.rfind("range ", 0) == 0;
        if (!isIf && !isRange) {
            nodes.push_back({Template::Node::Print, {}, ParseExpr(a), {}, {}});
            continue;
        }
        if (depth >= kMaxNesting) TooDeep();
        Template::Node n{isIf ? Template::Node::If : Template::Node::Range,
                         {},
                         ParseExpr(a.substr(isIf ? 3 : 6)),
                         {},
                         {}};
        std::string end;
        int level = depth + 1; // an "else if" is an If inside the one before
        n.body = ParseNodes(tokens, i, end, level);
        Template::Node* open = &n;
        while (end.rfind("else", 0) == 0) {
            if (end == "else") {
                open->otherwise = ParseNodes(tokens, i, end, level);
                break;
            }
            if (++level > kMaxNesting) TooDeep();
            Template::Node inner{Template::Node::If, {}, ParseExpr(end.substr(8)), {}, {}};
            inner.body = ParseNodes(tokens, i, end, level);
            open->otherwise.push_back(std::move(inner));
            open = &open->otherwise.back();
        }
        if (end != "end") throw std::runtime_error("{{" + a + "}} has no {{end}}");
        nodes.push_back(std::move(n));
    }
    stop.clear();
    return nodes;
}

class Renderer {
public:
    Renderer(const TemplateValues& values, const Template::Modifier& modifier)
        : values_(values), modifier_(modifier)
    {
    }

    void Render(const std::vector<Template::Node>& nodes, std::string& out)
    {
        for (const Template::Node& n : nodes) {
            switch (n.kind) {
            case Template::Node::Text:
                out += n.text;
                break;
            case Template::Node::Print:
                out += modifier_ ? modifier_(AsText(Eval(n.expr))) : AsText(Eval(n.expr));
                break;
            case Template::Node::If:
                Render(Truthy(Eval(n.expr)) ? n.body : n.otherwise, out);
                break;
            case Template::Node::Range: {
                const Value list = Eval(n.expr);
                if (const auto* items = std::get_if<std::vector<std::string>>(&list)) {
                    for (const std::string& item : *items) {
                        dots_.push_back(item);
                        Render(n.body, out);
                        dots_.pop_back();
                    }
                }
                break;
            }
            }
        }
    }

private:
    Value Eval(const Expr& e)
    {
        switch (e.kind) {
        case Expr::Literal:
            return e.text;
        case Expr::Dot:
            return dots_.empty() ? std::string() : dots_.back();
        case Expr::Name: {
            if (const auto it = values_.lists.find(e.text); it != values_.lists.end())
                return it->second;
            const auto it = values_.text.find(e.text);
            return it == values_.text.end() ? std::string() : it->second;
        }
        case Expr::Call:
            return Call(e);
        }
        return std::string();
    }

    std::string Arg(const Expr& e, size_t i)
    {
        return i < e.args.size() ? AsText(Eval(e.args[i])) : "";
    }

    Value Call(const Expr& e)
    {
        const std::string& f = e.text;
        if (f == "and" || f == "or") {
            Value last = std::string();
            for (const Expr& a : e.args) {
                last = Eval(a);
                if (Truthy(last) != (f == "and")) return last;
            }
            return last;
        }
        if (f == "not") return e.args.empty() || !Truthy(Eval(e.args[0])) ? "true" : "";
        if (f == "eq" || f == "ne") {
            const std::string first = Arg(e, 0);
            bool equal = false;
            for (size_t i = 1; i < e.args.size(); ++i)
                equal = equal || Arg(e, i) == first;
            return equal == (f == "eq") ? "true" : "";
        }
        if (f == "len") {
            if (e.args.empty()) return std::string("0");
            const Value v = Eval(e.args[0]);
            if (const auto* l = std::get_if<std::vector<std::string>>(&v))
                return std::to_string(l->size());
            return std::to_string(QString::fromStdString(std::get<std::string>(v)).size());
        }
        if (f == "index") {
            if (e.args.size() < 2) return std::string();
            const Value v = Eval(e.args[0]);
            const auto* l = std::get_if<std::vector<std::string>>(&v);
            const int at = std::atoi(Arg(e, 1).c_str());
            return l && at >= 0 && size_t(at) < l->size() ? (*l)[size_t(at)] : std::string();
        }
        if (f == "print") {
            std::string out;
            for (size_t i = 0; i < e.args.size(); ++i)
                out += Arg(e, i);
            return out;
        }
        if (f == "join") {
            if (e.args.empty()) return std::string();
            const Value v = Eval(e.args[0]);
            const auto* l = std::get_if<std::vector<std::string>>(&v);
            if (!l) return AsText(v);
            std::string out;
            for (size_t i = 0; i < l->size(); ++i)
                out += (i ? Arg(e, 1) : std::string()) + (*l)[i];
            return out;
        }
        if (f == "urlencode")
            return QUrl::toPercentEncoding(QString::fromStdString(Arg(e, 0))).toStdString();
        // re_replace TEXT PATTERN REPLACEMENT, as .NET's Regex.Replace
        return DotNetReplace(QString::fromStdString(Arg(e, 0)),
                             e.pattern ? *e.pattern : QRegularExpression(DotNetPattern(Arg(e, 1))),
                             QString::fromStdString(Arg(e, 2)))
            .toStdString();
    }

    const TemplateValues& values_;
    const Template::Modifier& modifier_;
    std::vector<std::string> dots_;
};

} // namespace

Template::Template(const std::string& text) : source_(text)
{
    try {
        const std::vector<Token> tokens = Tokens(text);
        size_t i = 0;
        std::string stop;
        nodes_ = ParseNodes(tokens, i, stop);
        if (!stop.empty()) throw std::runtime_error("{{" + stop + "}} without {{if}}");
    } catch (const std::exception& e) {
        error_ = e.what();
        nodes_.clear();
    }
}

Template::~Template() = default;
Template::Template(Template&&) noexcept = default;
Template& Template::operator=(Template&&) noexcept = default;

std::string Template::Render(const TemplateValues& values, const Modifier& modifier) const
{
    // Definitions are checked when they are read, so this is a template the relay wrote: what
    // could not be read is left as it is, never made blank.
    if (!ok()) return source_;
    std::string out;
    Renderer(values, modifier).Render(nodes_, out);
    return out;
}
