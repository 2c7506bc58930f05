#include "relay/definitions/RowExtraction.h"

#include "relay/definitions/CompiledDefinition.h"

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

/** Whitespace off both ends only, as the reference readers leave a field's text for its
 *  filters: a filter may read its line breaks ("(.+?)\n"). */
std::string Trim(const std::string& s)
{
    return Q(s).trimmed().toStdString();
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

std::string ApplyFilters(std::string value, const std::vector<CompiledFilter>& filters,
                         const TemplateValues& values)
{
    using Kind = CompiledFilter::Kind;
    static const QRegularExpression kValidateSeparators(QStringLiteral("[,|/]"));
    static const QRegularExpression kNotInFileNames(QStringLiteral("[\\\\/:*?\"<>|\\x00-\\x1f]"));
    for (const CompiledFilter& f : filters) {
        if (f.kind == Kind::Ignored) continue;
        // Arguments may be templates: "{{ .Config.sitelink }}", "{{ .Result.year }}".
        const auto arg = [&](size_t i) {
            return i < f.args.size() ? Q(f.args[i].Render(values)) : QString();
        };
        const auto pattern = [&]() {
            return f.re ? *f.re : QRegularExpression(DotNetPattern(arg(0).toStdString()));
        };
        QString v = Q(value);
        switch (f.kind) {
        case Kind::Replace:
            v.replace(arg(0), arg(1));
            break;
        case Kind::ReReplace:
            v = DotNetReplace(v, pattern(), arg(1));
            break;
        case Kind::Regexp: // the first group's text; none without a group, as .NET's Groups[1]
            v = pattern().match(v).captured(1);
            break;
        case Kind::Split: {
            const QStringList parts = v.split(arg(0));
            const int at = arg(1).toInt();
            const int index = at < 0 ? int(parts.size()) + at : at;
            v = index >= 0 && index < parts.size() ? parts[index] : QString();
            break;
        }
        case Kind::Trim:
            v = f.args.empty() ? v.trimmed()
                               : v.remove(f.re ? *f.re : QRegularExpression(TrimPattern(arg(0))));
            break;
        case Kind::Append:
            v += arg(0);
            break;
        case Kind::Prepend:
            v.prepend(arg(0));
            break;
        case Kind::ToLower:
            v = v.toLower();
            break;
        case Kind::ToUpper:
            v = v.toUpper();
            break;
        case Kind::UrlDecode:
            v = QUrl::fromPercentEncoding(v.replace(u'+', u' ').toUtf8());
            break;
        case Kind::UrlEncode:
            v = QString::fromLatin1(QUrl::toPercentEncoding(v));
            break;
        case Kind::QueryString:
            v = QueryArgument(v, arg(0));
            break;
        case Kind::HtmlDecode:
            v = HtmlDecoded(v);
            break;
        case Kind::Diacritics:
            v = WithoutDiacritics(v);
            break;
        case Kind::Validate: { // only the listed words, as the list writes them
            QStringList kept;
            const QStringList valid = arg(0).split(u',', Qt::SkipEmptyParts);
            for (const QString& word : v.split(kValidateSeparators, Qt::SkipEmptyParts))
                for (const QString& allowed : valid)
                    if (allowed.trimmed().compare(word.trimmed(), Qt::CaseInsensitive) == 0)
                        kept << allowed.trimmed();
            v = kept.join(QStringLiteral(", "));
            break;
        }
        case Kind::ValidFilename:
            v.remove(kNotInFileNames);
            break;
        case Kind::Ignored:
            break;
        }
        value = v.toStdString();
    }
    return value;
}

std::string ApplyFilters(std::string value, const std::vector<DefinitionFilter>& filters,
                         const TemplateValues* values)
{
    return ApplyFilters(std::move(value), LenientFilters(filters, values != nullptr),
                        values ? *values : TemplateValues{});
}

namespace {

/** A field's raw text in one row, or nullopt when the row has none. */
using FieldLookup = std::function<std::optional<std::string>(
    const DefinitionField&, const CompiledField&, const TemplateValues&)>;

bool IsCategory(const std::string& field)
{
    return field == "category" || field == "categorydesc";
}

/** value added to the row's earlier field of the same name, where the field's modifiers say so,
 *  as the reference readers add it: a title or description with "append" is the earlier text
 *  and this one, run together; categories add up (each once), unless "noappend"; anything
 *  else replaces. */
std::string Combined(const DefinitionField& f, const std::string* earlier, std::string value)
{
    if (!earlier) return value;
    if ((f.name == "title" || f.name == "description") && f.append) return *earlier + value;
    if (IsCategory(f.name) && !f.noappend && !earlier->empty()) {
        const QStringList had = Q(*earlier).split(u',');
        return had.contains(Q(value)) || value.empty() ? *earlier : *earlier + "," + value;
    }
    return value;
}

/** One row's fields, in the definition's order, each able to use those before it; the row is
 *  a hit when every required field was found and it has a title. */
void ReadRow(const CompiledDefinition& d, const FieldLookup& lookup, const TemplateValues& values,
             const QUrl& base, ExtractedRows& out)
{
    std::map<std::string, std::string> fields;
    TemplateValues rowValues = values;
    for (size_t i = 0; i < d.fields.size(); ++i) {
        const DefinitionField& f = d.fields[i];
        const CompiledField& c = d.compiledFields[i];
        const std::optional<std::string> raw =
            c.text ? c.text->Render(rowValues) : lookup(f, c, rowValues);
        // As the reference readers: a required field that is not there costs the row (its
        // default notwithstanding); an optional one that is missing or blank takes its default.
        if (!raw && !f.optional) {
            ++out.skipped;
            return;
        }
        std::string value = raw ? ApplyFilters(*raw, c.filters, rowValues) : std::string();
        if (f.optional && IsBlank(value)) value = c.defaultValue->Render(rowValues);
        const auto earlier = fields.find(f.name);
        if (earlier != fields.end() && f.optional && IsBlank(value) &&
            (f.append || IsCategory(f.name))) {
            // Blank, and no default: the earlier value stands, and templates see none.
            rowValues.text["Result." + f.name].clear();
            continue;
        }
        if (IsLink(f.name) && !value.empty())
            value = base.resolved(QUrl(Q(value))).toString(QUrl::FullyEncoded).toStdString();
        value = Combined(f, earlier == fields.end() ? nullptr : &earlier->second, std::move(value));
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

ExtractedRows ExtractRows(const CompiledDefinition& d, const GumboNode* root,
                          const std::string& pageUrl, const TemplateValues& values)
{
    ExtractedRows out;
    CssCache selectors; // those that are templates, rendered
    const QUrl base(Q(pageUrl));
    const std::vector<const GumboNode*> selected =
        root ? selectors(d.rows, values).SelectAll(root) : std::vector<const GumboNode*>();
    // With "after", the next rows the selector found belong to this one: they are read as
    // part of it and are no rows of their own.
    const size_t step = size_t(d.rowsAfter) + 1;
    for (size_t at = 0; at < selected.size(); at += step) {
        const GumboNode* row = selected[at];
        const std::vector<const GumboNode*> scopes(
            selected.begin() + std::ptrdiff_t(at),
            selected.begin() + std::ptrdiff_t(std::min(selected.size(), at + step)));
        const auto lookup = [&](const DefinitionField& f, const CompiledField& c,
                                const TemplateValues& rowValues) -> std::optional<std::string> {
            const GumboNode* e =
                c.css.empty() ? nullptr : Find(selectors(c.css, rowValues), scopes);
            if (!c.css.empty() && !e) return std::nullopt;
            if (!c.cases.empty()) {
                // Each case is tried on what the selector found (itself, then below it), or
                // without a selector on the row.
                for (const auto& [selector, caseValue] : c.cases) {
                    const CssSelector& test = selectors(selector, rowValues);
                    if (selector.source.text == "*" ||
                        (e ? test.SelectFirst(e) != nullptr : Find(test, scopes) != nullptr))
                        return caseValue.Render(rowValues);
                }
                return std::nullopt;
            }
            if (!e) e = row; // an attribute of the row itself
            if (!f.attribute.empty()) {
                const char* a = AttributeOf(e, f.attribute);
                return a ? std::optional<std::string>(Trim(a)) : std::nullopt; // trimmed, as text
            }
            std::string text;
            TextWithout(e, c.remove.empty() ? nullptr : &selectors(c.remove, rowValues), text);
            return Trim(text);
        };
        ReadRow(d, lookup, values, base, out);
    }
    return out;
}

ExtractedRows ExtractJsonRows(const CompiledDefinition& d, const QJsonDocument& page,
                              const std::string& pageUrl, const TemplateValues& values)
{
    ExtractedRows out;
    const QUrl base(Q(pageUrl));
    const QJsonValue top = page.isArray() ? QJsonValue(page.array()) : QJsonValue(page.object());
    // Each row with its parent: with "attribute" and "multiple", the rows are the items of
    // that array in each object the selector names, and "..name" reads the object.
    std::vector<std::pair<QJsonValue, QJsonValue>> rows;
    const QJsonValue selected = AtJsonPath(top, d.jsonRows.source.Render(values));
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
                                const DefinitionField&, const CompiledField& c,
                                const TemplateValues& rowValues) -> std::optional<std::string> {
            bool up = false;
            const std::optional<JsonSelector> parsed = c.json.Get(rowValues, up);
            if (!parsed) return std::nullopt;
            std::optional<std::string> value = JsonText(SelectJson(up ? parent : row, *parsed));
            if (!value || c.cases.empty()) return value;
            for (const auto& [match, caseValue] : c.cases) // a JSON field's cases name values
                if (match.source.text == "*" || match.source.text == *value)
                    return caseValue.Render(rowValues);
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

bool ExtractJsonAnswer(const CompiledDefinition& d, const Definition::Path& path,
                       const QByteArray& body, const std::string& pageUrl,
                       const TemplateValues& values, ExtractedRows& rows, std::string& why)
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
        bool up = false;
        const std::optional<JsonSelector> count = d.jsonCount.Get(values, up);
        const std::optional<std::string> text =
            count ? JsonText(SelectJson(top, *count)) : std::nullopt;
        bool number = false;
        const long long n =
            text ? Q(ApplyFilters(*text, d.countFilters, values)).trimmed().toLongLong(&number) : 0;
        if (number && n < 1) return true;
    }
    const QJsonValue selected = AtJsonPath(top, d.jsonRows.source.Render(values));
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
