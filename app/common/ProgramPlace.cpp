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

constexpr char kUsage[] = "Usage: reelmate [--help | --version]\n";

} // namespace

QString TorrentFolder(const QString& programFolder, const QString& buildFolder)
{
    if (!buildFolder.isEmpty() && Resolved(programFolder) == Resolved(buildFolder))
        return programFolder;
    return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
}

std::optional<int> AnswerCommandLine(const QStringList& arguments)
{
    if (arguments.size() <= 1) return std::nullopt;
    const QString& first = arguments.at(1);
    if (arguments.size() == 2 && (first == u"--help" || first == u"-h")) {
        std::printf("%sFinds a film on a torrent movie site and saves its .torrent file.\n"
                    "Type a film's name and press Enter; pick a hit and press \"下载\" to list "
                    "its torrents; press a torrent's \"下载\" to save it.\n"
                    "  -h, --help     Show this help and exit.\n"
                    "  --version      Show the version and exit.\n",
                    kUsage);
        return 0;
    }
    if (arguments.size() == 2 && first == u"--version") {
        std::printf("reelmate %s\n", REELMATE_VERSION);
        return 0;
    }
    std::fprintf(stderr, "reelmate: unexpected argument %s\n%s", qPrintable(first), kUsage);
    return 2;
}
