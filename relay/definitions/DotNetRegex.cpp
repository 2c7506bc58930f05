#include "relay/definitions/DotNetRegex.h"

#include <QStringList>

namespace {

/** .NET's Unicode blocks that PCRE has no script for, by their .NET name. */
struct Block {
    const char* name;
    char32_t first, last;
};
constexpr Block kBlocks[] = {{"CJKUnifiedIdeographs", 0x4E00, 0x9FFF},
                             {"Hiragana", 0x3040, 0x309F},
                             {"Katakana", 0x30A0, 0x30FF},
                             {"HangulSyllables", 0xAC00, 0xD7AF},
                             {"BasicLatin", 0x0000, 0x007F}};

QString CodePoint(char32_t c)
{
    return QStringLiteral("\\x{%1}").arg(uint(c), 0, 16);
}

bool IsHex(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c.toLower() >= u'a' && c.toLower() <= u'f');
}

/** The escape at text[i] (a backslash) as PCRE writes it, appended to out; returns the index of
 *  its last character. */
qsizetype Escape(const QString& text, qsizetype i, bool inClass, QString& out)
{
    const QChar kind = text[i + 1];
    if (kind == u'u' && i + 5 < text.size() && IsHex(text[i + 2]) && IsHex(text[i + 3]) &&
        IsHex(text[i + 4]) && IsHex(text[i + 5])) { // "\uXXXX": a code point
        out += QStringLiteral("\\x{") + text.mid(i + 2, 4) + u'}';
        return i + 5;
    }
    if ((kind == u'p' || kind == u'P') && text.mid(i + 2, 3) == u"{Is") {
        const qsizetype close = text.indexOf(u'}', i + 5);
        const QString name = close < 0 ? QString() : text.mid(i + 5, close - i - 5);
        for (const Block& b : kBlocks) {
            if (name != QLatin1String(b.name) || (inClass && kind == u'P')) continue;
            const QString range = CodePoint(b.first) + u'-' + CodePoint(b.last);
            out += inClass ? range
                           : QString(kind == u'P' ? QStringLiteral("[^") : QStringLiteral("[")) +
                                 range + u']';
            return close;
        }
        // Other blocks: PCRE knows the script of that name ("IsCyrillic": "Cyrillic").
        if (close >= 0) {
            out += u'\\' + QString(kind) + u'{' + name + u'}';
            return close;
        }
    }
    out += text[i];
    out += kind;
    return i + 1;
}

} // namespace

QString DotNetPattern(const std::string& pattern)
{
    const QString text = QString::fromStdString(pattern);
    QString out;
    out.reserve(text.size());
    bool inClass = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\\' && i + 1 < text.size()) {
            i = Escape(text, i, inClass, out);
            continue;
        }
        if (c == u'[' && !inClass) {
            inClass = true;
            out += c;
            // A "]" first in a class (after any "^") is one of its characters.
            if (i + 1 < text.size() && text[i + 1] == u'^') out += text[++i];
            if (i + 1 < text.size() && text[i + 1] == u']') out += text[++i];
            continue;
        }
        if (c == u']') inClass = false;
        out += c;
    }
    return out;
}

namespace {

/** The substitution that starts at replacement[at] (a "$"), appended to out; returns where the
 *  text after it starts, or at + 1 when it is no substitution (the "$" then stands as written). */
qsizetype Substitute(const QString& replacement, qsizetype at, const QRegularExpressionMatch& m,
                     const QString& input, const QStringList& names, QString& out)
{
    const qsizetype n = replacement.size();
    if (at + 1 >= n) return at + 1;
    const QChar c = replacement[at + 1];
    const int groups = m.regularExpression().captureCount();
    if (c == u'$') {
        out += u'$';
        return at + 2;
    }
    if (c == u'&') {
        out += m.captured(0);
        return at + 2;
    }
    if (c == u'`') {
        out += input.left(m.capturedStart(0));
        return at + 2;
    }
    if (c == u'\'') {
        out += input.mid(m.capturedEnd(0));
        return at + 2;
    }
    if (c == u'_') {
        out += input;
        return at + 2;
    }
    if (c == u'+') {
        out += groups > 0 ? m.captured(groups) : QString();
        return at + 2;
    }
    if (c.isDigit()) {
        // The longest run of digits that still names a group.
        qsizetype end = at + 1;
        int number = -1, best = -1;
        qsizetype bestEnd = at + 1;
        while (end < n && replacement[end].isDigit() && number < 100000) {
            number = (number < 0 ? 0 : number * 10) + replacement[end].digitValue();
            ++end;
            if (number <= groups) {
                best = number;
                bestEnd = end;
            }
        }
        if (best < 0) return at + 1;
        out += m.captured(best);
        return bestEnd;
    }
    if (c == u'{') {
        const qsizetype close = replacement.indexOf(u'}', at + 2);
        if (close < 0) return at + 1;
        const QString name = replacement.mid(at + 2, close - at - 2);
        bool numeric = false;
        const int number = name.toInt(&numeric);
        if (numeric && number >= 0 && number <= groups && !name.startsWith(u'+')) {
            out += m.captured(number);
            return close + 1;
        }
        if (!numeric && names.contains(name)) {
            out += m.captured(name);
            return close + 1;
        }
        return at + 1;
    }
    return at + 1;
}

} // namespace

QString DotNetReplace(const QString& input, const QRegularExpression& re,
                      const QString& replacement)
{
    if (!re.isValid()) return input;
    const QStringList names = re.namedCaptureGroups();
    QString out;
    qsizetype last = 0;
    QRegularExpressionMatchIterator it = re.globalMatch(input);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        out += QStringView(input).mid(last, m.capturedStart(0) - last);
        for (qsizetype i = 0; i < replacement.size();) {
            if (replacement[i] != u'$') {
                out += replacement[i++];
                continue;
            }
            const qsizetype next = Substitute(replacement, i, m, input, names, out);
            if (next == i + 1) out += u'$';
            i = next;
        }
        last = m.capturedEnd(0);
    }
    out += QStringView(input).mid(last);
    return out;
}
