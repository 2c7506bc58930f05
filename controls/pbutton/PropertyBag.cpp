#include "controls/pbutton/PropertyBag.h"

PropertyBag::PropertyBag(std::initializer_list<Entry> entries) : entries_(entries) {}

qsizetype PropertyBag::find(const QString& name) const
{
    for (qsizetype i = 0; i < entries_.size(); ++i)
        if (entries_.at(i).first.compare(name, Qt::CaseInsensitive) == 0) return i;
    return -1;
}

QVariant PropertyBag::ReadProperty(const QString& name, const QVariant& defaultValue) const
{
    const qsizetype i = find(name);
    return i >= 0 ? entries_.at(i).second : defaultValue;
}

void PropertyBag::WriteProperty(const QString& name, const QVariant& value,
                                const QVariant& defaultValue)
{
    const qsizetype i = find(name);
    if (value == defaultValue) {
        if (i >= 0) entries_.removeAt(i);
        return;
    }
    if (i >= 0)
        entries_[i].second = value;
    else
        entries_.append({name, value});
}

qint32 PropertyBag::ReadInt32(const QString& name, qint32 defaultValue) const
{
    bool ok = false;
    const qint64 v = ReadProperty(name, defaultValue).toLongLong(&ok);
    return ok ? qint32(v) : defaultValue;
}

qint16 PropertyBag::ReadInt16(const QString& name, qint16 defaultValue) const
{
    bool ok = false;
    const int v = ReadProperty(name, defaultValue).toInt(&ok);
    return ok ? qint16(v) : defaultValue;
}

bool PropertyBag::ReadBool(const QString& name, bool defaultValue) const
{
    return ReadProperty(name, defaultValue).toBool();
}

QString PropertyBag::ReadText(const QString& name, const QString& defaultValue) const
{
    return ReadProperty(name, defaultValue).toString();
}
