#include "relay/PageReducer.h"

#include <libxml/HTMLparser.h>
#include <libxml/xpath.h>

#include <QString>
#include <QStringEncoder>

#include <algorithm>
#include <cctype>
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

namespace {

/** The value after "charset=" in text (quotes and spaces around it dropped), or empty. */
std::string CharsetIn(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    const size_t at = text.find("charset=");
    if (at == std::string::npos) return {};
    size_t begin = at + 8;
    while (begin < text.size() && (text[begin] == '"' || text[begin] == '\'' || text[begin] == ' '))
        ++begin;
    size_t end = begin;
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) ||
                                 text[end] == '-' || text[end] == '_'))
        ++end;
    return text.substr(begin, end - begin);
}

/** True when the charset writes markup as ASCII does: a page whose <meta> names one that does
 *  not (EBCDIC, say) could not have been read up to that <meta>. */
bool AsciiCompatible(const std::string& charset)
{
    QStringEncoder encoder(charset.c_str());
    if (!encoder.isValid()) return KnownCharset(charset); // let the parser judge names ICU lacks
    const QByteArray markup = "<meta charset=\"x\"> az AZ 09 /=;";
    return QByteArray(encoder.encode(QString::fromLatin1(markup))) == markup;
}

} // namespace

std::string PageCharset(const std::string& configured, const std::string& contentType,
                        const QByteArray& page)
{
    if (page.startsWith("\xEF\xBB\xBF")) return "UTF-8";
    if (page.startsWith("\xFE\xFF")) return "UTF-16BE";
    if (page.startsWith("\xFF\xFE")) return "UTF-16LE";
    if (configured != "auto") return configured;
    if (std::string fromHeader = CharsetIn(contentType); !fromHeader.empty()) return fromHeader;
    // <meta charset="x"> and <meta http-equiv="Content-Type" content="text/html; charset=x">
    const std::string head = page.left(4096).toStdString();
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    for (size_t meta = lower.find("<meta"); meta != std::string::npos;
         meta = lower.find("<meta", meta + 5)) {
        const size_t close = lower.find('>', meta);
        std::string found = CharsetIn(lower.substr(meta, close - meta));
        if (found.rfind("utf-16", 0) == 0 || found.rfind("utf-32", 0) == 0 ||
            found.rfind("ucs-", 0) == 0 || found == "unicode")
            return "UTF-8"; // a page in one of these could not have been read this far as ASCII
        if (!found.empty() && AsciiCompatible(found)) return found;
    }
    return "GB18030";
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
                       size_t maxRows, const std::string& nextXPath, size_t maxFieldBytes)
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
        std::string first = CleanField(StringOf(ctx.get(), firstXPath));
        std::string second = CleanField(StringOf(ctx.get(), secondXPath));
        const size_t bytes = first.size() + second.size();
        if (bytes > maxFieldBytes - page.fieldBytes) {
            page.truncated = true;
            break;
        }
        page.fieldBytes += bytes;
        page.rows.emplace_back(std::move(first), std::move(second));
    }
    ctx->node = reinterpret_cast<xmlNode*>(doc.get()); // the next link is sought in the whole page
    if (!nextXPath.empty()) page.next = CleanField(StringOf(ctx.get(), nextXPath));
    page.ok = true;
    return page;
}
