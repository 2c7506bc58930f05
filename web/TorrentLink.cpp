#include "web/TorrentLink.h"

namespace {

/** 1-based position of the first occurrence, 0 when absent. */
qsizetype InStr(const QString& s, const QString& what)
{
    return s.indexOf(what) + 1;
}

} // namespace

bool CutIdAndHash(const QString& link, QString& id, QString& hash)
{
    // Positions are counted from 1 and a missing "&id=" counts as position 0, as the site's
    // link format was first read; a link without "&id=" still gives what stands before "&uhash=".
    const qsizetype start = InStr(link, QStringLiteral("&id=")) + 4;
    const qsizetype uhash = InStr(link, QStringLiteral("&uhash="));
    const qsizetype length = uhash - start;
    if (length < 0) return false;
    id = link.mid(start - 1, length);
    hash = link.mid(uhash + 7 - 1);
    return true;
}
