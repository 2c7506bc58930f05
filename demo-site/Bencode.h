#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

/** Writes bencoded values; dictionaries must be given with their keys in byte order. */
namespace Bencode {
QByteArray Integer(qint64 value);
QByteArray String(const QByteArray& bytes);
QByteArray Dictionary(const QList<QPair<QByteArray, QByteArray>>& sortedEntries);
/** The raw bytes of the value stored under key in a top-level dictionary (empty if absent). */
QByteArray RawValue(const QByteArray& dictionary, const QByteArray& key);
} // namespace Bencode
