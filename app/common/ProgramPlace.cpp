#include "app/common/ProgramPlace.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>

namespace {

QString Resolved(const QString& folder)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QFileInfo(folder).absoluteFilePath()) : canonical;
}

constexpr char kUsage[] = "Usage: reelmate [--help | --version] [Qt options]\n";

} // namespace

QString TorrentFolder(const QString& programFolder, const QString& buildFolder)
{
    if (!buildFolder.isEmpty() && Resolved(programFolder) == Resolved(buildFolder))
        return programFolder;
    return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
}

std::optional<int> AnswerCommandLine(const QStringList& arguments)
{
    // Qt's own options (-platform, -display, -style, ...) are Qt's to read; every other word is
    // ignored, as in any desktop program started from a menu with a file or a URL it ignores.
    const QStringList words = arguments.mid(1);
    if (words.contains(u"--help") || words.contains(u"-h")) {
        std::printf("%sFinds a film on a torrent movie site and saves its .torrent file.\n"
                    "Type a film's name and press Enter; pick a hit and press \"下载\" to list "
                    "its torrents; press a torrent's \"下载\" to save it.\n"
                    "  -h, --help     Show this help and exit.\n"
                    "  --version      Show the version and exit.\n"
                    "Qt's own options (-platform, -display, -style, ...) are understood; other "
                    "arguments are ignored.\n",
                    kUsage);
        return 0;
    }
    if (words.contains(u"--version")) {
        std::printf("reelmate %s\n", REELMATE_VERSION);
        return 0;
    }
    return std::nullopt;
}
