#include "demo-site/Bencode.h"

namespace {

/** Length of the bencoded value at pos, or -1 when malformed. */
qsizetype ValueLength(const QByteArray& b, qsizetype pos)
{
    if (pos >= b.size()) return -1;
    const char c = b[pos];
    if (c == 'i') {
        const qsizetype end = b.indexOf('e', pos);
        return end < 0 ? -1 : end - pos + 1;
    }
    if (c == 'l' || c == 'd') {
        qsizetype p = pos + 1;
        while (p < b.size() && b[p] != 'e') {
            const qsizetype n = ValueLength(b, p);
            if (n < 0) return -1;
            p += n;
        }
        return p < b.size() ? p - pos + 1 : -1;
    }
    const qsizetype colon = b.indexOf(':', pos);
    if (colon < 0) return -1;
    bool ok = false;
    const qsizetype length = b.mid(pos, colon - pos).toLongLong(&ok);
    return ok && colon + 1 + length <= b.size() ? colon + 1 + length - pos : -1;
}

} // namespace

namespace Bencode {

QByteArray Integer(qint64 value)
{
    return 'i' + QByteArray::number(value) + 'e';
}

QByteArray String(const QByteArray& bytes)
{
    return QByteArray::number(bytes.size()) + ':' + bytes;
}

QByteArray Dictionary(const QList<QPair<QByteArray, QByteArray>>& sortedEntries)
{
    QByteArray out = "d";
    for (const auto& [key, value] : sortedEntries)
        out += String(key) + value;
    return out + 'e';
}

QByteArray RawValue(const QByteArray& dictionary, const QByteArray& key)
{
    if (!dictionary.startsWith('d')) return {};
    qsizetype p = 1;
    while (p < dictionary.size() && dictionary[p] != 'e') {
        const qsizetype keyLength = ValueLength(dictionary, p);
        if (keyLength < 0) return {};
        const QByteArray k = dictionary.mid(p, keyLength);
        p += keyLength;
        const qsizetype valueLength = ValueLength(dictionary, p);
        if (valueLength < 0) return {};
        if (k == String(key)) return dictionary.mid(p, valueLength);
        p += valueLength;
    }
    return {};
}

} // namespace Bencode
