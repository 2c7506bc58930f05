#include "platform/ui/AutoLabel.h"

#include <QFontMetrics>

void AutoLabel::SetCaption(const QString& text)
{
    setText(text);
    const QFontMetrics fm(font());
    resize(fm.horizontalAdvance(text), fm.height());
}
