#include "relay/definitions/RowExtraction.h"

#include "relay/definitions/CssSelector.h"
#include "relay/definitions/JsonSelector.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QString>
#include <QStringDecoder>
#include <QUrl>

#include <algorithm>
#include <functional>
#include <iterator>
#include <optional>

namespace {

QString Q(const std::string& s)
{
    return QString::fromStdString(s);
}

std::string Trim(const std::string& s)
{
    return Q(s).simplified().toStdString();
}

std::string Arg(const DefinitionFilter& f, size_t i)
{
    return i < f.args.size() ? f.args[i] : std::string();
}

/** The element's text, leaving out the subtrees that match remove; a walk, whatever the
 *  depth. */
void TextWithout(const GumboNode* node, const CssSelector* remove, std::string& out)
{
    for (const GumboNode* n = node; n;) {
        if (n->type == GUMBO_NODE_TEXT || n->type == GUMBO_NODE_WHITESPACE ||
            n->type == GUMBO_NODE_CDATA)
            out += n->v.text.text;
        const bool skip = n->type != GUMBO_NODE_ELEMENT || (remove && remove->Matches(n));
        n = NextNode(n, node, skip);
    }
}

/** The first element among the scopes (the row, then the rows after it) that matches. */
const GumboNode* Find(const CssSelector& selector, const std::vector<const GumboNode*>& scopes)
{
    for (const GumboNode* scope : scopes)
        if (const GumboNode* found = selector.SelectFirst(scope)) return found;
    return nullptr;
}

struct NamedReference {
    const char* name;
    const char* text; // UTF-8
};

/** HTML's named character references (the WHATWG list), sorted by name. */
constexpr NamedReference kNamedReferences[] = {
#include "relay/definitions/HtmlEntities.inc"
};

/** The text a named reference stands for, or nullptr for a name HTML does not have. */
const char* NamedReferenceText(const QString& name)
{
    const std::string key = name.toStdString();
    const auto* const end = std::end(kNamedReferences);
    const auto* const it = std::lower_bound(
        std::begin(kNamedReferences), end, key,
        [](const NamedReference& r, const std::string& k) { return k.compare(r.name) > 0; });
    return it != end && key == it->name ? it->text : nullptr;
}

/** Character references decoded, as the reference reader's HTML decoding does: every named one
 *  of HTML and the numeric ones, each with its ";"; anything else left as it is. */
QString HtmlDecoded(const QString& text)
{
    static const QRegularExpression reference(
        QStringLiteral("&(#[0-9]+|#[xX][0-9a-fA-F]+|[A-Za-z][A-Za-z0-9]*);"));
    QString out;
    qsizetype last = 0;
    for (auto it = reference.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const QString name = m.captured(1);
        QString decoded = m.captured(0);
        if (name.startsWith(u'#')) {
            const bool hex = name.size() > 1 && (name[1] == u'x' || name[1] == u'X');
            bool number = false;
            const uint c = name.mid(hex ? 2 : 1).toUInt(&number, hex ? 16 : 10);
            // Beyond Unicode, or a surrogate: left as it is.
            if (number && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF)) {
                const auto code = char32_t(c);
                decoded = QString::fromUcs4(&code, 1);
            }
        } else if (const char* named = NamedReferenceText(name)) {
            decoded = QString::fromUtf8(named);
        }
        out += text.mid(last, m.capturedStart() - last) + decoded;
        last = m.capturedEnd();
    }
    return out + text.mid(last);
}

/** The value of argument in the query of url (after its "?", before any "#"), decoded as a
 *  form is ("+" a space), as the reference reader reads it: the first of that name, the name in
 *  any case; empty when there is none. */
QString QueryArgument(const QString& url, const QString& argument)
{
    const qsizetype question = url.indexOf(u'?');
    if (question < 0) return {};
    QString query = url.mid(question + 1);
    query.truncate(query.indexOf(u'#') < 0 ? query.size() : query.indexOf(u'#'));
    const auto decoded = [](QString part) {
        return QUrl::fromPercentEncoding(part.replace(u'+', u' ').toUtf8());
    };
    for (const QString& pair : query.split(u'&', Qt::SkipEmptyParts)) {
        const qsizetype equals = pair.indexOf(u'=');
        const QString name = decoded(equals < 0 ? pair : pair.left(equals));
        if (name.compare(argument, Qt::CaseInsensitive) == 0)
            return equals < 0 ? QString() : decoded(pair.mid(equals + 1));
    }
    return {};
}

/** Letters without their accents ("Amélie": "Amelie"), as the reference reader takes them off:
 *  decomposed, non-spacing marks left out, composed again. Letters that are not a base and a
 *  mark ("đ", "ø") stay. */
QString WithoutDiacritics(const QString& text)
{
    const QString decomposed = text.normalized(QString::NormalizationForm_D);
    QString out;
    out.reserve(decomposed.size());
    // By UTF-16 unit, as the reader goes: a surrogate is no mark.
    for (const QChar c : decomposed)
        if (c.category() != QChar::Mark_NonSpacing) out += c;
    return out.normalized(QString::NormalizationForm_C);
}

/** A selector that is a template ("tr{{ if .Config.x }}:has(b){{ end }}"), filled in. */
std::string Rendered(const std::string& text, const TemplateValues& values)
{
    return text.find("{{") == std::string::npos ? text : Template(text).Render(values);
}

/** Selectors compiled once per page, whatever number of rows use them: by their text as
 *  rendered, since a selector may be a template of the row's earlier fields. */
class Selectors {
public:
    const CssSelector& operator()(const std::string& text)
    {
        auto it = compiled_.find(text);
        if (it == compiled_.end()) it = compiled_.emplace(text, CssSelector(text)).first;
        return it->second;
    }

private:
    std::map<std::string, CssSelector> compiled_;
};

bool IsBlank(const std::string& text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
}

} // namespace

bool HasEveryWord(const std::string& title, const std::string& keywords, int characterLimit)
{
    // The keywords' words: split at anything but letters, digits and "_", words of one
    // character and "and", "the", "an" left out; the first characterLimit characters only.
    QString query = Q(keywords);
    if (characterLimit > 0) query.truncate(characterLimit);
    static const QRegularExpression kNotWord(QStringLiteral("[^\\w]+"),
                                             QRegularExpression::UseUnicodePropertiesOption);
    const QString text = Q(title);
    const QStringList words = query.split(kNotWord, Qt::SkipEmptyParts);
    return std::all_of(words.begin(), words.end(), [&text](const QString& word) {
        if (word.size() <= 1 || word.compare(u"and", Qt::CaseInsensitive) == 0 ||
            word.compare(u"the", Qt::CaseInsensitive) == 0 ||
            word.compare(u"an", Qt::CaseInsensitive) == 0)
            return true;
        return text.contains(word, Qt::CaseInsensitive);
    });
}

namespace {

bool IsLink(const std::string& field)
{
    return field == "details" || field == "download" || field == "comments";
}

} // namespace

std::string ApplyFilters(std::string value, const std::vector<DefinitionFilter>& filters,
                         const TemplateValues* values)
{
    for (DefinitionFilter f : filters) {
        if (values) // arguments may be templates: "{{ .Config.sitelink }}", "{{ .Result.year }}"
            for (std::string& arg : f.args)
                arg = Rendered(arg, *values);
        const std::string& n = f.name;
        QString v = Q(value);
        if (n == "replace") {
            v.replace(Q(Arg(f, 0)), Q(Arg(f, 1)));
        } else if (n == "re_replace") {
            v = DotNetReplace(v, QRegularExpression(DotNetPattern(Arg(f, 0))), Q(Arg(f, 1)));
        } else if (n == "regexp") {
            const QRegularExpressionMatch m = QRegularExpression(DotNetPattern(Arg(f, 0))).match(v);
            v = m.captured(1); // the first group's text; none without a group, as .NET's Groups[1]
        } else if (n == "split") {
            const QStringList parts = v.split(Q(Arg(f, 0)));
            const int at = std::atoi(Arg(f, 1).c_str());
            const int index = at < 0 ? int(parts.size()) + at : at;
            v = index >= 0 && index < parts.size() ? parts[index] : QString();
        } else if (n == "trim") {
            v = f.args.empty() ? v.trimmed()
                               : v.remove(QRegularExpression(
                                     QStringLiteral("^[%1]+|[%1]+$")
                                         .arg(QRegularExpression::escape(Q(Arg(f, 0))))));
        } else if (n == "append") {
            v += Q(Arg(f, 0));
        } else if (n == "prepend") {
            v.prepend(Q(Arg(f, 0)));
        } else if (n == "tolower") {
            v = v.toLower();
        } else if (n == "toupper") {
            v = v.toUpper();
        } else if (n == "urldecode") {
            v = QUrl::fromPercentEncoding(v.replace(u'+', u' ').toUtf8());
        } else if (n == "urlencode") {
            v = QString::fromLatin1(QUrl::toPercentEncoding(v));
        } else if (n == "querystring") {
            v = QueryArgument(v, Q(Arg(f, 0)));
        } else if (n == "htmldecode") {
            v = HtmlDecoded(v);
        } else if (n == "diacritics") {
            v = WithoutDiacritics(v);
        } else if (n == "validate") { // only the listed words, as the list writes them
            QStringList kept;
            const QStringList valid = Q(Arg(f, 0)).split(u',', Qt::SkipEmptyParts);
            for (const QString& word :
                 v.split(QRegularExpression(QStringLiteral("[,|/]")), Qt::SkipEmptyParts))
                for (const QString& allowed : valid)
                    if (allowed.trimmed().compare(word.trimmed(), Qt::CaseInsensitive) == 0)
                        kept << allowed.trimmed();
            v = kept.join(QStringLiteral(", "));
        } else if (n == "validfilename") {
            v.remove(QRegularExpression(QStringLiteral("[\\\\/:*?\"<>|\\x00-\\x1f]")));
        }
        value = v.toStdString();
    }
    return value;
}

namespace {

/** A field's raw text in one row, or nullopt when the row has none. */
using FieldLookup =
    std::function<std::optional<std::string>(const DefinitionField&, const TemplateValues&)>;

/** One row's fields, in the definition's order, each able to use those before it; the row is
 *  a hit when every required field was found and it has a title. */
void ReadRow(const Definition& d, const FieldLookup& lookup, const TemplateValues& values,
             const QUrl& base, ExtractedRows& out)
{
    std::map<std::string, std::string> fields;
    TemplateValues rowValues = values;
    for (const DefinitionField& f : d.fields) {
        const std::optional<std::string> raw =
            f.hasText ? Template(f.text).Render(rowValues) : lookup(f, rowValues);
        // As the reference readers: a required field that is not there costs the row (its
        // default notwithstanding); an optional one that is missing or blank takes its default.
        if (!raw && !f.optional) {
            ++out.skipped;
            return;
        }
        std::string value = raw ? ApplyFilters(*raw, f.filters, &rowValues) : std::string();
        if (f.optional && IsBlank(value)) value = Rendered(f.defaultValue, rowValues);
        if (IsLink(f.name) && !value.empty())
            value = base.resolved(QUrl(Q(value))).toString(QUrl::FullyEncoded).toStdString();
        fields[f.name] = value;
        rowValues.text["Result." + f.name] = value;
    }
    const auto keywords = values.text.find("Keywords");
    if (!fields["title"].empty() &&
        (!d.rowsAndMatch || keywords == values.text.end() ||
         HasEveryWord(fields["title"], keywords->second, d.rowsAndMatchLimit)))
        out.rows.push_back(std::move(fields));
    else
        ++out.skipped;
}

} // namespace

ExtractedRows ExtractRows(const Definition& d, const GumboNode* root, const std::string& pageUrl,
                          const TemplateValues& values)
{
    ExtractedRows out;
    Selectors compiled;
    const CssSelector rows(Rendered(d.rowsSelector, values));
    const QUrl base(Q(pageUrl));
    const std::vector<const GumboNode*> selected =
        root ? rows.SelectAll(root) : std::vector<const GumboNode*>();
    // With "after", the next rows the selector found belong to this one: they are read as
    // part of it and are no rows of their own.
    const size_t step = size_t(d.rowsAfter) + 1;
    for (size_t at = 0; at < selected.size(); at += step) {
        const GumboNode* row = selected[at];
        const std::vector<const GumboNode*> scopes(
            selected.begin() + std::ptrdiff_t(at),
            selected.begin() + std::ptrdiff_t(std::min(selected.size(), at + step)));
        const auto lookup = [&](const DefinitionField& f,
                                const TemplateValues& rowValues) -> std::optional<std::string> {
            if (!f.cases.empty() && f.selector.empty()) {
                for (const auto& [selector, caseValue] : f.cases)
                    if (selector == "*" || Find(compiled(Rendered(selector, rowValues)), scopes))
                        return caseValue;
                return std::nullopt;
            }
            const GumboNode* e = f.selector.empty()
                                     ? row // an attribute of the row itself
                                     : Find(compiled(Rendered(f.selector, rowValues)), scopes);
            if (!e) return std::nullopt;
            if (!f.attribute.empty()) {
                const char* a = AttributeOf(e, f.attribute);
                return a ? std::optional<std::string>(Trim(a)) : std::nullopt; // trimmed, as text
            }
            std::string text;
            TextWithout(e, f.remove.empty() ? nullptr : &compiled(Rendered(f.remove, rowValues)),
                        text);
            return Trim(text);
        };
        ReadRow(d, lookup, values, base, out);
    }
    return out;
}

ExtractedRows ExtractJsonRows(const Definition& d, const QJsonDocument& page,
                              const std::string& pageUrl, const TemplateValues& values)
{
    ExtractedRows out;
    const QUrl base(Q(pageUrl));
    const QJsonValue top = page.isArray() ? QJsonValue(page.array()) : QJsonValue(page.object());
    // Each row with its parent: with "attribute" and "multiple", the rows are the items of
    // that array in each object the selector names, and "..name" reads the object.
    std::vector<std::pair<QJsonValue, QJsonValue>> rows;
    const QJsonValue selected = AtJsonPath(top, Rendered(d.rowsSelector, values));
    for (const QJsonValue item : selected.isArray() ? selected.toArray() : QJsonArray{selected}) {
        if (item.isUndefined() || item.isNull()) continue;
        if (d.rowsAttribute.empty()) {
            rows.emplace_back(item, top);
            continue;
        }
        const QJsonValue inner = item.toObject().value(Q(d.rowsAttribute));
        for (const QJsonValue each : inner.isArray() ? inner.toArray() : QJsonArray{inner})
            if (each.isObject()) rows.emplace_back(each, item);
    }
    for (const auto& [row, parent] : rows) {
        const auto lookup = [&, &row = row, &parent = parent](
                                const DefinitionField& f,
                                const TemplateValues& rowValues) -> std::optional<std::string> {
            std::string selector = Rendered(f.selector, rowValues);
            const bool up = selector.rfind("..", 0) == 0;
            if (up) selector.erase(0, 2);
            const std::optional<JsonSelector> parsed = ParseJsonSelector(selector);
            if (!parsed) return std::nullopt;
            std::optional<std::string> value = JsonText(SelectJson(up ? parent : row, *parsed));
            if (!value || f.cases.empty()) return value;
            for (const auto& [match, caseValue] : f.cases) // a JSON field's cases name values
                if (match == "*" || match == *value) return caseValue;
            return std::nullopt;
        };
        ReadRow(d, lookup, values, base, out);
    }
    return out;
}

bool IsNoResultsAnswer(const Definition& d, const Definition::Path& path, const QByteArray& body)
{
    if (!d.json || !path.hasNoResultsMessage) return false;
    if (path.noResultsMessage.empty()) return body.isEmpty();
    QStringDecoder decoder(d.encoding.c_str());
    const QString text =
        decoder.isValid() ? QString(decoder.decode(body)) : QString::fromUtf8(body);
    return text.contains(Q(path.noResultsMessage));
}

bool ExtractJsonAnswer(const Definition& d, const Definition::Path& path, const QByteArray& body,
                       const std::string& pageUrl, const TemplateValues& values,
                       ExtractedRows& rows, std::string& why)
{
    rows = {};
    if (IsNoResultsAnswer(d, path, body)) return true;
    QJsonParseError error{};
    const QJsonDocument json = QJsonDocument::fromJson(body, &error);
    if (json.isNull()) {
        why = "not JSON (" + error.errorString().toStdString() + ")";
        return false;
    }
    const QJsonValue top = json.isArray() ? QJsonValue(json.array()) : QJsonValue(json.object());
    if (!d.rowsCount.empty()) { // an answer that counts no rows has none, whatever else it holds
        const std::optional<JsonSelector> count = ParseJsonSelector(Rendered(d.rowsCount, values));
        const std::optional<std::string> text =
            count ? JsonText(SelectJson(top, *count)) : std::nullopt;
        bool number = false;
        const long long n =
            text ? Q(ApplyFilters(*text, d.rowsCountFilters, &values)).trimmed().toLongLong(&number)
                 : 0;
        if (number && n < 1) return true;
    }
    const QJsonValue selected = AtJsonPath(top, Rendered(d.rowsSelector, values));
    if (selected.isUndefined() || selected.isNull()) {
        // The reference readers call that a broken answer, unless the definition says that
        // this is how the site says "nothing found".
        if (d.rowsMissingMeansNone) return true;
        why = "no rows at " + d.rowsSelector;
        return false;
    }
    rows = ExtractJsonRows(d, json, pageUrl, values);
    return true;
}
