#include "platform/ui/TextBox.h"

#include <QKeyEvent>
#include <QPointer>

short DesktopKeyCode(int qtKey)
{
    switch (qtKey) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return 13;
    case Qt::Key_Space:
        return 32;
    case Qt::Key_Escape:
        return 27;
    case Qt::Key_Tab:
        return 9;
    case Qt::Key_Backspace:
        return 8;
    case Qt::Key_Delete:
        return 46;
    case Qt::Key_Left:
        return 37;
    case Qt::Key_Up:
        return 38;
    case Qt::Key_Right:
        return 39;
    case Qt::Key_Down:
        return 40;
    default:
        break;
    }
    if ((qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) || (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z))
        return short(qtKey);
    return short(qtKey & 0x7FFF);
}

short DesktopShift(Qt::KeyboardModifiers modifiers)
{
    short shift = 0;
    if (modifiers & Qt::ShiftModifier) shift |= 1;
    if (modifiers & Qt::ControlModifier) shift |= 2;
    if (modifiers & Qt::AltModifier) shift |= 4;
    return shift;
}

void TextBox::keyPressEvent(QKeyEvent* event)
{
    QPointer<TextBox> self(this);
    Q_EMIT KeyDown(DesktopKeyCode(event->key()), DesktopShift(event->modifiers()));
    if (self) QLineEdit::keyPressEvent(event);
}
