#include "web/Functions.h"

// Apart from the rest of Functions, so that controls that only ask where the pointer is do not
// bring in the HTTP client.
bool IsCursorOverWindow(const QObject* window, const CursorProbe& desktop)
{
    QPoint point(0, 0);
    point = desktop.GetCursorPos();
    return desktop.WindowFromPoint(point) == window;
}
