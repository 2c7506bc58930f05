#include "relay/definitions/DotNetRegex.h"

#include <QStringList>

QString DotNetPattern(const std::string& pattern)
{
    // .NET names Unicode blocks "IsCyrillic"; PCRE knows the script as "Cyrillic".
    QString text = QString::fromStdString(pattern);
    for (const char* category : {"\\p{Is", "\\P{Is"})
        text.replace(QLatin1String(category), QLatin1String(category).chopped(2));
    // .NET's "\uXXXX" (four hex digits) is PCRE's "\x{XXXX}"; an escaped backslash stays one.
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        bool hex = text[i + 1] == u'u' && i + 5 < text.size();
        for (qsizetype k = i + 2; hex && k < i + 6; ++k)
            hex = (text[k] >= u'0' && text[k] <= u'9') ||
                  (text[k].toLower() >= u'a' && text[k].toLower() <= u'f');
        if (hex) {
            out += QStringLiteral("\\x{") + text.mid(i + 2, 4) + u'}';
            i += 5;
        } else {
            out += text[i];
            out += text[++i];
        }
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
