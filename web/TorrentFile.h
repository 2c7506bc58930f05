#pragma once

#include <QByteArray>
#include <QString>

/** The file name for a torrent's display name: the nine characters \ / : * ? " < > | removed,
 *  control and format characters (bidi overrides, zero-width marks) removed, leading dots
 *  removed, and shortened on a character boundary to fit 255 bytes of UTF-8, keeping its
 *  extension. May come out empty. Linear in the name's length. */
QString CleanTorrentName(const QString& displayName);

/** True when the bytes are exactly one well-formed bencoded dictionary, as a .torrent file is. */
bool IsBencodedDictionary(QByteArrayView bytes);

/** What became of one save: the path written, or why nothing was. */
struct SaveResult {
    QString path;
    QString error;
    bool refused = false; // something that is no torrent stands there: not a fault of the folder
    explicit operator bool() const { return error.isEmpty(); }
};

/** Writes data as folder/name, mode 0644, through a temporary file and a rename, so an existing
 *  file is replaced only by a complete new one. Only a plain file that is itself a torrent is
 *  ever replaced: the program's own files, links and anything else are left alone. On failure
 *  nothing is left behind. */
SaveResult SaveWholeFile(const QString& folder, const QString& name, const QByteArray& data);

/** Saves in folder; when that cannot be written (an installed program's folder), in the
 *  user's download folder, made if missing. */
SaveResult SaveTorrentFile(const QString& folder, const QString& name, const QByteArray& data);
