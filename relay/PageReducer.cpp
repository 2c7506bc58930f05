#include "relay/PageReducer.h"

#include <libxml/HTMLparser.h>
#include <libxml/xpath.h>

#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

void Quiet(void*, const char*, ...) {}

void InitOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetGenericErrorFunc(nullptr, &Quiet);
    });
}

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct CtxFree {
    void operator()(xmlXPathContext* c) const { xmlXPathFreeContext(c); }
};
struct ObjFree {
    void operator()(xmlXPathObject* o) const { xmlXPathFreeObject(o); }
};

/** Expressions compiled once per thread: compiling costs more than evaluating on a small page. */
xmlXPathCompExpr* Compiled(const std::string& expr)
{
    struct Cache {
        std::unordered_map<std::string, xmlXPathCompExpr*> map;
        ~Cache()
        {
            for (auto& [text, comp] : map)
                xmlXPathFreeCompExpr(comp);
        }
    };
    thread_local Cache cache;
    auto it = cache.map.find(expr);
    if (it == cache.map.end())
        it = cache.map.emplace(expr, xmlXPathCompile(BAD_CAST expr.c_str())).first;
    return it->second;
}

xmlXPathObject* Evaluate(const std::string& expr, xmlXPathContext* ctx)
{
    xmlXPathCompExpr* comp = Compiled(expr);
    return comp ? xmlXPathCompiledEval(comp, ctx) : nullptr;
}

std::string StringOf(xmlXPathContext* ctx, const std::string& expr)
{
    std::unique_ptr<xmlXPathObject, ObjFree> r(Evaluate("string(" + expr + ")", ctx));
    if (!r || r->type != XPATH_STRING || !r->stringval) return {};
    return reinterpret_cast<const char*>(r->stringval);
}

} // namespace

std::string CheckExpressions(const std::string& rowsXPath, const std::string& firstXPath,
                             const std::string& secondXPath)
{
    InitOnce();
    std::unique_ptr<xmlDoc, DocFree> doc(
        htmlReadMemory("<html><body></body></html>", 26, "check.html", "UTF-8", HTML_PARSE_NONET));
    std::unique_ptr<xmlXPathContext, CtxFree> ctx(xmlXPathNewContext(doc.get()));
    if (!Compiled(rowsXPath)) return "rows expression does not compile: " + rowsXPath;
    std::unique_ptr<xmlXPathObject, ObjFree> rows(Evaluate(rowsXPath, ctx.get()));
    if (!rows || rows->type != XPATH_NODESET)
        return "rows expression does not give a node set: " + rowsXPath;
    for (const std::string& field : {firstXPath, secondXPath})
        if (!Compiled("string(" + field + ")"))
            return "field expression does not compile: " + field;
    return {};
}

bool KnownCharset(const std::string& charset)
{
    InitOnce();
    xmlCharEncodingHandler* handler = xmlFindCharEncodingHandler(charset.c_str());
    if (!handler) return false;
    xmlCharEncCloseFunc(handler);
    return true;
}

std::string CleanField(const std::string& utf8)
{
    std::string out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '|')
            out += "\xEF\xBD\x9C"; // U+FF5C FULLWIDTH VERTICAL LINE
        else if (b >= 0x20 && b != 0x7F)
            out += c;
    }
    const size_t first = out.find_first_not_of(' ');
    const size_t last = out.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : out.substr(first, last - first + 1);
}

ReducedPage ReducePage(QByteArray html, const std::string& charset, const std::string& rowsXPath,
                       const std::string& firstXPath, const std::string& secondXPath,
                       size_t maxRows)
{
    InitOnce();
    ReducedPage page;
    if (html.isEmpty()) {
        page.ok = true; // nothing on it, nothing to list
        return page;
    }
    std::unique_ptr<xmlDoc, DocFree> doc(
        htmlReadMemory(html.constData(), int(html.size()), "page.html",
                       charset.empty() ? nullptr : charset.c_str(),
                       HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                           HTML_PARSE_NONET | HTML_PARSE_COMPACT));
    html = QByteArray(); // the tree holds all that is needed now
    if (!doc) {
        page.error = "page could not be parsed";
        return page;
    }
    std::unique_ptr<xmlXPathContext, CtxFree> ctx(xmlXPathNewContext(doc.get()));
    std::unique_ptr<xmlXPathObject, ObjFree> rows(Evaluate(rowsXPath, ctx.get()));
    if (!rows || rows->type != XPATH_NODESET) {
        page.error = "rows expression is not a node set";
        return page;
    }
    size_t count = rows->nodesetval ? size_t(rows->nodesetval->nodeNr) : 0;
    if (count > maxRows) {
        count = maxRows;
        page.truncated = true;
    }
    page.rows.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        ctx->node = rows->nodesetval->nodeTab[i];
        page.rows.emplace_back(CleanField(StringOf(ctx.get(), firstXPath)),
                               CleanField(StringOf(ctx.get(), secondXPath)));
    }
    page.ok = true;
    return page;
}
