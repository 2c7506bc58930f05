#include "relay/definitions/JsonSelector.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

/** A path as the definitions write them: names joined by dots, each name with array indexes
 *  if it likes ("files[0].name"), from the root ("$", "$[0].id", "$.data") or, with "..",
 *  from the row's parent. */
bool IsDottedPath(const std::string& path)
{
    static const QRegularExpression dotted(
        QStringLiteral("^(\\$(\\[\\d{1,6}\\])*(\\.NAME)*|(\\.\\.)?NAME(\\.NAME)*)$")
            .replace(QStringLiteral("NAME"), QStringLiteral("[^\\s:()\\[\\],.]+"
                                                            "(\\[\\d{1,6}\\])*")));
    return dotted.match(QString::fromStdString(path)).hasMatch();
}

/** The item at index of an array, Undefined past its end or when value is no array. */
QJsonValue Item(const QJsonValue& value, int index)
{
    const QJsonArray array = value.toArray();
    return value.isArray() && index < array.size() ? array.at(index) : QJsonValue::Undefined;
}

/** The argument of the test that opens at text[open] ('('), to its matching ')'. */
std::optional<std::string> Argument(const std::string& text, size_t open, size_t& close)
{
    int depth = 0;
    for (size_t i = open; i < text.size(); ++i) {
        depth += text[i] == '(' ? 1 : text[i] == ')' ? -1 : 0;
        if (depth == 0) {
            close = i;
            return text.substr(open + 1, i - open - 1);
        }
    }
    return std::nullopt;
}

std::string Unquoted(std::string text)
{
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front())
        text = text.substr(1, text.size() - 2);
    return text;
}

/** Tests nested in tests deeper than this are refused: each level is read by recursion, on a
 *  copy of the text inside it. */
constexpr int kMaxNesting = 32;

std::optional<JsonSelector> ParseNested(const std::string& text, std::string* why, int depth);

} // namespace

std::optional<JsonSelector> ParseJsonSelector(const std::string& text, std::string* why)
{
    return ParseNested(text, why, 0);
}

namespace {

std::optional<JsonSelector> ParseNested(const std::string& text, std::string* why, int depth)
{
    const auto fail = [why](const std::string& reason) -> std::optional<JsonSelector> {
        if (why) *why = reason;
        return std::nullopt;
    };
    JsonSelector s;
    size_t at = text.find(':');
    s.path = text.substr(0, at);
    if (!s.path.empty() && !IsDottedPath(s.path)) return fail("only dotted paths");
    while (at != std::string::npos && at < text.size()) {
        const size_t open = text.find('(', at);
        size_t close = 0;
        if (open == std::string::npos) return fail("a test without its argument");
        const std::optional<std::string> argument = Argument(text, open, close);
        const std::string kind = text.substr(at + 1, open - at - 1);
        if (!argument || argument->empty()) return fail("an unclosed :" + kind + "()");
        if (kind == "contains") {
            s.tests.push_back({kind, Unquoted(*argument)});
        } else if (kind == "has" || kind == "not") {
            if (depth >= kMaxNesting) return fail("nested too deeply");
            std::string inner;
            if (!ParseNested(*argument, &inner, depth + 1)) return fail(inner);
            s.tests.push_back({kind, *argument});
        } else {
            return fail("no test :" + kind + " on JSON");
        }
        at = close + 1;
        if (at < text.size() && text[at] != ':') return fail("text after :" + kind + "()");
    }
    if (s.path.empty() && s.tests.empty()) return fail("an empty selector");
    return s;
}

} // namespace

QJsonValue AtJsonPath(QJsonValue value, const std::string& path)
{
    const QString text = QString::fromStdString(path);
    QStringView rest(text);
    if (rest.startsWith(u'$')) rest = rest.mid(1); // the root: where we are
    while (!rest.isEmpty()) {
        if (rest.front() == u'.') rest = rest.mid(1);
        qsizetype end = 0;
        while (end < rest.size() && rest[end] != u'.' && rest[end] != u'[')
            ++end;
        if (end > 0) value = value.toObject().value(rest.left(end));
        rest = rest.mid(end);
        while (rest.startsWith(u'[')) { // "[n]": the array's item n
            const qsizetype close = rest.indexOf(u']');
            bool number = false;
            const int index = close > 1 ? rest.mid(1, close - 1).toInt(&number) : -1;
            if (!number || index < 0) return QJsonValue::Undefined;
            value = Item(value, index);
            rest = rest.mid(close + 1);
        }
    }
    return value;
}

QJsonValue SelectJson(const QJsonValue& value, const JsonSelector& selector)
{
    QJsonValue found = AtJsonPath(value, selector.path);
    if (found.isUndefined() || found.isNull()) return QJsonValue::Undefined;
    for (const JsonSelector::Test& test : selector.tests) {
        bool holds = false;
        if (test.kind == "contains") {
            holds = JsonText(found).value_or("").find(test.argument) != std::string::npos;
        } else {
            const QJsonValue below = SelectJson(found, *ParseJsonSelector(test.argument));
            holds = below.isUndefined() == (test.kind == "not");
        }
        if (!holds) return QJsonValue::Undefined;
    }
    return found;
}

std::optional<std::string> JsonText(const QJsonValue& v)
{
    switch (v.type()) {
    case QJsonValue::String:
        return v.toString().toStdString();
    case QJsonValue::Double: {
        const double d = v.toDouble();
        return d == double(qint64(d)) ? std::to_string(qint64(d))
                                      : QString::number(d, 'g', 15).toStdString();
    }
    case QJsonValue::Bool:
        return std::string(v.toBool() ? "True" : "False");
    case QJsonValue::Array:
        return QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact).toStdString();
    case QJsonValue::Object:
        return QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact).toStdString();
    default:
        return std::nullopt;
    }
}
