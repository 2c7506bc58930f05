#include "web/TorrentFile.h"

#include <QDir>
#include <QSaveFile>

namespace {

constexpr qsizetype kMaxNameBytes = 255;
constexpr int kMaxDepth = 256;

qsizetype Utf8Size(QStringView s)
{
    return s.toUtf8().size();
}

/** Drops whole characters from the end of stem until stem + ext fits. */
QString Shorten(const QString& name)
{
    if (Utf8Size(name) <= kMaxNameBytes) return name;
    const qsizetype dot = name.lastIndexOf(u'.');
    QString ext = dot > 0 ? name.mid(dot) : QString();
    if (Utf8Size(ext) > kMaxNameBytes / 2) ext.clear();
    QString stem = name.left(name.size() - ext.size());
    const qsizetype budget = kMaxNameBytes - Utf8Size(ext);
    while (!stem.isEmpty() && Utf8Size(stem) > budget) {
        stem.chop(1);
        if (!stem.isEmpty() && stem.back().isHighSurrogate()) stem.chop(1);
    }
    return stem + ext;
}

/** Recursive-descent check of one bencoded value starting at pos. */
bool SkipValue(QByteArrayView b, qsizetype& pos, int depth)
{
    if (pos >= b.size() || depth > kMaxDepth) return false;
    const char c = b[pos];
    if (c == 'i') {
        qsizetype p = pos + 1;
        if (p < b.size() && b[p] == '-') ++p;
        const qsizetype digits = p;
        while (p < b.size() && b[p] >= '0' && b[p] <= '9')
            ++p;
        if (p == digits || p >= b.size() || b[p] != 'e') return false;
        pos = p + 1;
        return true;
    }
    if (c == 'l' || c == 'd') {
        ++pos;
        while (pos < b.size() && b[pos] != 'e') {
            if (c == 'd' && !(b[pos] >= '0' && b[pos] <= '9'))
                return false; // dictionary keys are strings
            if (!SkipValue(b, pos, depth + 1)) return false;
            if (c == 'd' && !SkipValue(b, pos, depth + 1)) return false;
        }
        if (pos >= b.size()) return false;
        ++pos;
        return true;
    }
    if (c >= '0' && c <= '9') {
        qsizetype p = pos;
        qint64 length = 0;
        while (p < b.size() && b[p] >= '0' && b[p] <= '9') {
            length = length * 10 + (b[p] - '0');
            if (length > b.size()) return false;
            ++p;
        }
        if (p >= b.size() || b[p] != ':' || p + 1 + length > b.size()) return false;
        pos = p + 1 + length;
        return true;
    }
    return false;
}

} // namespace

QString CleanTorrentName(const QString& displayName)
{
    QString name = displayName;
    for (QChar c : {u'\\', u'/', u':', u'*', u'?', u'"', u'<', u'>', u'|'})
        name.remove(c);
    name.removeIf([](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
    qsizetype dots = 0;
    while (dots < name.size() && name.at(dots) == u'.')
        ++dots;
    name.remove(0, dots);
    return Shorten(name);
}

bool IsBencodedDictionary(QByteArrayView bytes)
{
    if (bytes.isEmpty() || bytes.front() != 'd') return false;
    qsizetype pos = 0;
    return SkipValue(bytes, pos, 0) && pos == bytes.size();
}

bool SaveWholeFile(const QString& folder, const QString& name, const QByteArray& data)
{
    if (name.isEmpty() || name.contains(u'/')) return false;
    QSaveFile file(QDir(folder).filePath(name));
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
