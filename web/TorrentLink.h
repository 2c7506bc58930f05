#pragma once

#include <QString>

/** The id and the hash a torrent's link text carries: the id between the first "&id=" and the
 *  first "&uhash=", the hash everything after that "&uhash=" (what stands before "&id=" is not
 *  looked at). False, and nothing cut, when the link has no "&uhash=" or has it before the end
 *  of the first "&id=": such a link cannot be downloaded. */
bool CutIdAndHash(const QString& link, QString& id, QString& hash);
