#include "platform/ui/TextBox.h"

#include "platform/ui/DesktopCodes.h"

#include <QKeyEvent>
#include <QPointer>

void TextBox::keyPressEvent(QKeyEvent* event)
{
    QPointer<TextBox> self(this);
    Q_EMIT KeyDown(DesktopKeyCode(event->key()), DesktopShift(event->modifiers()));
    if (self) QLineEdit::keyPressEvent(event);
}
