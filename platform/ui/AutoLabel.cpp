#include "platform/ui/AutoLabel.h"

#include "platform/ui/Announce.h"

#include <QFontMetrics>

void AutoLabel::SetCaption(const QString& text)
{
    setText(text);
    AnnounceNameChange(this);
    const QFontMetrics fm(font());
    resize(fm.horizontalAdvance(text), fm.height());
}
