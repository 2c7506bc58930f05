#pragma once

#include <QByteArray>
#include <QString>

/** The file name for a torrent's display name: the nine characters \ / : * ? " < > | removed,
 *  control and format characters (bidi overrides, zero-width marks) removed, leading dots
 *  removed, ".torrent" appended unless it ends so (in any case), and shortened on a character
 *  boundary to fit 255 bytes of UTF-8, keeping its extension. Empty when nothing is left
 *  before the extension. Linear in the name's length. */
QString CleanTorrentName(const QString& displayName);

/** True when the bytes are exactly one well-formed bencoded dictionary, as a .torrent file is. */
bool IsBencodedDictionary(QByteArrayView bytes);

/** What became of one save: the path written, or why nothing was. */
struct SaveResult {
    QString path;
    QString error;
    bool refused = false; // something that is no plain file stands there: not a fault of the folder
    explicit operator bool() const { return error.isEmpty(); }
};

/** Writes data as folder/name, mode 0644, through a temporary file in the folder and a rename,
 *  so an existing file is replaced only by a complete new one. name must be a torrent's file
 *  name (ending in ".torrent", no "/", no leading dot). A plain file of that name is replaced
 *  whatever it holds; a link, folder, FIFO or device is left alone. The folder is opened once
 *  and nothing is written through a name, so a link swapped in meanwhile is replaced, never
 *  followed. On failure nothing is left behind. Errors are in the user's language. */
SaveResult SaveWholeFile(const QString& folder, const QString& name, const QByteArray& data);

/** Saves in folder; when that cannot be written (an installed program's folder), in the
 *  user's download folder, made if missing. */
SaveResult SaveTorrentFile(const QString& folder, const QString& name, const QByteArray& data);
