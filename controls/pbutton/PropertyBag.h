#pragma once

#include <QList>
#include <QString>
#include <QVariant>

#include <utility>

/** A control's stored property values: ordered entries, keys compared without regard to case,
 *  values equal to their defaults left out. */
class PropertyBag {
public:
    using Entry = std::pair<QString, QVariant>;

    PropertyBag() = default;
    PropertyBag(std::initializer_list<Entry> entries);

    /** The stored value, or defaultValue when the key is absent. */
    QVariant ReadProperty(const QString& name, const QVariant& defaultValue) const;
    /** Stores the value; a value equal to its default is left out (and an old entry removed). */
    void WriteProperty(const QString& name, const QVariant& value, const QVariant& defaultValue);

    qint32 ReadInt32(const QString& name, qint32 defaultValue) const;
    qint16 ReadInt16(const QString& name, qint16 defaultValue) const;
    bool ReadBool(const QString& name, bool defaultValue) const;
    QString ReadText(const QString& name, const QString& defaultValue) const;

    const QList<Entry>& entries() const { return entries_; }
    bool isEmpty() const { return entries_.isEmpty(); }
    bool contains(const QString& name) const { return find(name) >= 0; }

private:
    qsizetype find(const QString& name) const;
    QList<Entry> entries_;
};
