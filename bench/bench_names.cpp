// Cleaning torrent names of growing length: the time should grow in step with the length.
// Run: build/bin/bench_names

#include "web/TorrentFile.h"

#include <QElapsedTimer>

#include <cstdio>

int main()
{
    // Chinese text with a bidi override, a zero-width joiner and a removed character mixed in.
    const QString unit = QStringLiteral("无间道\u202E\u200D/");
    for (qsizetype length : {10'000, 100'000, 1'000'000}) {
        const QString name = unit.repeated(length / unit.size()) + QStringLiteral(".torrent");
        QElapsedTimer clock;
        clock.start();
        const QString cleaned = CleanTorrentName(name);
        std::printf("%9lld characters: %8.2f ms (%lld bytes kept)\n", (long long)name.size(),
                    clock.nsecsElapsed() / 1e6, (long long)cleaned.toUtf8().size());
    }
}
