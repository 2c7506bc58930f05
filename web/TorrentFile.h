#pragma once

#include <QByteArray>
#include <QString>

/** The file name for a torrent's display name: the nine characters \ / : * ? " < > | removed,
 *  control characters and leading dots removed, and shortened on a character boundary to fit
 *  255 bytes of UTF-8, keeping its extension. May come out empty. */
QString CleanTorrentName(const QString& displayName);

/** True when the bytes are exactly one well-formed bencoded dictionary, as a .torrent file is. */
bool IsBencodedDictionary(QByteArrayView bytes);

/** Writes data as folder/name through a temporary file and a rename, so an existing file of
 *  that name is replaced only by a complete new one. False (and nothing left behind) on failure. */
bool SaveWholeFile(const QString& folder, const QString& name, const QByteArray& data);
