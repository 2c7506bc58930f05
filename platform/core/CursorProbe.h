#pragma once

#include <QPoint>

class QObject;

/** Answers where the pointer is and which window lies topmost under a point of the screen. */
class CursorProbe {
public:
    virtual ~CursorProbe() = default;
    /** The pointer position in screen coordinates. */
    virtual QPoint GetCursorPos() const = 0;
    /** The topmost window (control) of this program under a screen point, or null. */
    virtual const QObject* WindowFromPoint(QPoint point) const = 0;
};
