#include "web/TorrentFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

constexpr qsizetype kMaxNameBytes = 255;
constexpr int kMaxDepth = 256;
constexpr qint64 kMaxTorrentBytes = 64 * 1024 * 1024; // as much as a download may bring

int Utf8Size(char32_t c)
{
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

/** Characters that must not reach a file name: the nine the file system or a shell treats
 *  specially, controls, and format characters that make a name show as something it is not. */
bool Dropped(char32_t c)
{
    switch (c) {
    case u'\\':
    case u'/':
    case u':':
    case u'*':
    case u'?':
    case u'"':
    case u'<':
    case u'>':
    case u'|':
        return true;
    default:
        break;
    }
    if (QChar::isSurrogate(c)) return true; // a lone half: no file system can store it
    const auto category = QChar::category(c);
    return category == QChar::Other_Control || category == QChar::Other_Format;
}

/** Keeps whole characters of stem while they fit budget bytes of UTF-8. */
QString FitBytes(QStringView stem, qsizetype budget)
{
    qsizetype bytes = 0, end = 0;
    for (qsizetype i = 0; i < stem.size();) {
        const bool pair = stem[i].isHighSurrogate() && i + 1 < stem.size();
        const char32_t c = pair ? QChar::surrogateToUcs4(stem[i], stem[i + 1]) : stem[i].unicode();
        bytes += Utf8Size(c);
        if (bytes > budget) break;
        i += pair ? 2 : 1;
        end = i;
    }
    return stem.left(end).toString();
}

/** Shortens the stem so that stem + extension fits the file system's 255 bytes. */
QString Shorten(const QString& name, qsizetype nameBytes)
{
    if (nameBytes <= kMaxNameBytes) return name;
    const qsizetype dot = name.lastIndexOf(u'.');
    QString ext = dot > 0 ? name.mid(dot) : QString();
    if (ext.toUtf8().size() > kMaxNameBytes / 2) ext.clear();
    const QStringView stem = QStringView(name).left(name.size() - ext.size());
    return FitBytes(stem, kMaxNameBytes - ext.toUtf8().size()) + ext;
}

bool HoldsTorrent(const QString& path)
{
    QFile file(path);
    if (file.size() > kMaxTorrentBytes || !file.open(QIODevice::ReadOnly)) return false;
    return IsBencodedDictionary(file.readAll());
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
    QString name;
    name.reserve(displayName.size());
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < displayName.size(); ++i) {
        const QChar unit = displayName[i];
        char32_t c = unit.unicode();
        qsizetype units = 1;
        if (unit.isHighSurrogate() && i + 1 < displayName.size() &&
            displayName[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(unit, displayName[i + 1]);
            units = 2;
        }
        if (!Dropped(c) && !(c == u'.' && name.isEmpty())) { // no leading dots: hidden or ".."
            name.append(displayName.constData() + i, units);
            bytes += Utf8Size(c);
        }
        i += units - 1;
    }
    return Shorten(name, bytes);
}

SaveResult SaveTorrentFile(const QString& folder, const QString& name, const QByteArray& data)
{
    if (QFileInfo(folder).isWritable()) {
        SaveResult here = SaveWholeFile(folder, name, data);
        if (here || here.refused) return here;
    }
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (downloads.isEmpty() || !QDir().mkpath(downloads)) {
        SaveResult none;
        none.error = QStringLiteral("neither %1 nor a download folder can be written").arg(folder);
        return none;
    }
    return SaveWholeFile(downloads, name, data);
}

bool IsBencodedDictionary(QByteArrayView bytes)
{
    if (bytes.isEmpty() || bytes.front() != 'd') return false;
    qsizetype pos = 0;
    return SkipValue(bytes, pos, 0) && pos == bytes.size();
}

SaveResult SaveWholeFile(const QString& folder, const QString& name, const QByteArray& data)
{
    SaveResult result;
    if (name.isEmpty() || name.contains(u'/')) {
        result.error = QStringLiteral("the torrent has no usable file name");
        return result;
    }
    result.path = QDir(folder).filePath(name);
    const QFileInfo existing(result.path);
    if (existing.isSymLink() ||
        (existing.exists() && !(existing.isFile() && HoldsTorrent(result.path)))) {
        result.error = QStringLiteral("%1 exists and is not a torrent").arg(result.path);
        result.refused = true;
        return result;
    }
    QSaveFile file(result.path);
    // A plain file, never executable, whatever stood there before.
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                             QFileDevice::ReadGroup | QFileDevice::ReadOther) ||
        file.write(data) != data.size()) {
        result.error = QStringLiteral("cannot write %1: %2").arg(result.path, file.errorString());
        file.cancelWriting();
        return result;
    }
    if (!file.commit())
        result.error = QStringLiteral("cannot write %1: %2").arg(result.path, file.errorString());
    return result;
}
