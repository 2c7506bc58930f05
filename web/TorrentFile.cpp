#include "web/TorrentFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr qsizetype kMaxNameBytes = 255;
constexpr int kMaxDepth = 256;

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

/** A descriptor closed when it goes out of scope. */
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    /** Closes now, for the error of close itself (a full disk may only show there). */
    bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

/** Why a file operation failed, in the user's words. */
QString Errno()
{
    switch (errno) {
    case EACCES:
    case EPERM:
        return QStringLiteral("没有写入权限");
    case ENOSPC:
        return QStringLiteral("磁盘空间不足");
    case EDQUOT:
        return QStringLiteral("超出磁盘配额");
    case EROFS:
        return QStringLiteral("只读文件系统");
    case ENOENT:
    case ENOTDIR:
        return QStringLiteral("文件夹不存在");
    case ENAMETOOLONG:
        return QStringLiteral("文件名太长");
    case EISDIR:
        return QStringLiteral("同名文件夹已存在");
    case EIO:
        return QStringLiteral("读写错误");
    default:
        return QStringLiteral("系统错误 %1").arg(errno);
    }
}

bool WriteAll(int fd, const QByteArray& data)
{
    const char* p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= n;
    }
    return true;
}

/** What stands at name in the folder, looked at without following a link or opening it: a
 *  FIFO does not block, a device is not opened. */
enum class Existing { Nothing, PlainFile, Other };

Existing LookAt(int dir, const QByteArray& name)
{
    struct stat st {};
    if (::fstatat(dir, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Existing::Nothing : Existing::Other;
    return S_ISREG(st.st_mode) ? Existing::PlainFile : Existing::Other;
}

/** A new, empty, private file in the folder whose name nobody else had. */
int CreateTemporary(int dir, QByteArray& name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = ".reelmate-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36) +
               ".part";
        const int fd = ::openat(dir, name.constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
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
    if (name.isEmpty()) return name;
    // Only ever a torrent's name: never one that the program, Qt or the loader reads from
    // the folder (qt.conf, a library, a plugin).
    const QString extension = QStringLiteral(".torrent");
    if (!name.endsWith(extension, Qt::CaseInsensitive)) {
        name += extension;
        bytes += extension.size();
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
        none.error = QStringLiteral("%1 和下载文件夹都无法写入").arg(folder);
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
    // Only ever a torrent's own name: replacing a file can then never reach anything else.
    if (name.contains(u'/') || name.startsWith(u'.') ||
        !name.endsWith(QStringLiteral(".torrent"), Qt::CaseInsensitive)) {
        result.error = QStringLiteral("种子没有可用的文件名");
        return result;
    }
    result.path = QDir(folder).filePath(name);
    const auto fail = [&result](const QString& what) {
        result.error = QStringLiteral("无法写入 %1：%2").arg(result.path, what);
        return result;
    };
    // The folder is opened once; every step after this works relative to this descriptor, so
    // another process swapping a name for a link in the meantime can redirect nothing.
    const Fd dir(::open(QFile::encodeName(folder).constData(),
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) return fail(Errno());
    const QByteArray target = QFile::encodeName(name);
    // A plain file of that name is replaced whatever it holds (a damaged earlier download must
    // not block a good one); the name always ends in ".torrent", so that is never the
    // program's own file. A link, folder, FIFO or device is left alone.
    if (LookAt(dir.get(), target) == Existing::Other) {
        result.error = QStringLiteral("%1 已存在，且不是普通文件").arg(result.path);
        result.refused = true;
        return result;
    }
    QByteArray temporary;
    Fd file(CreateTemporary(dir.get(), temporary));
    if (!file) return fail(Errno());
    // A plain file, never executable, whatever the umask or the old file's mode.
    const bool written = ::fchmod(file.get(), 0644) == 0 && WriteAll(file.get(), data) &&
                         ::fsync(file.get()) == 0 && file.close();
    const QString why = Errno();
    // A rename replaces whatever the name is by now, a link included; it never writes through one.
    if (!written || ::renameat(dir.get(), temporary.constData(), dir.get(), target.constData())) {
        const QString renameWhy = written ? Errno() : why;
        ::unlinkat(dir.get(), temporary.constData(), 0);
        return fail(renameWhy);
    }
    return result;
}
