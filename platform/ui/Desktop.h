#pragma once

#include "platform/core/CursorProbe.h"

#include <QPointer>
#include <QString>

class PointerTracker;
class QWidget;
class Ticker;

/** The window system as the program uses it. Windows and controls take it by injection, so that
 *  tests can answer message boxes, place the pointer, step timers and watch moves and exits. */
class Desktop : public CursorProbe {
public:
    QPoint GetCursorPos() const override;
    const QObject* WindowFromPoint(QPoint point) const override;

    /** Releases any mouse grab this program holds. */
    virtual void ReleaseCapture();
    /** Hands the window to the window system's own move loop; false where it cannot. */
    virtual bool StartSystemMove(QWidget* window);
    /** A modal message box with an OK button only; returns when the user closes it. */
    virtual void MessageBox(QWidget* parent, const QString& title, const QString& text);
    /** Ends the process at once: no window is asked, nothing is saved. */
    virtual void EndProgram();
    /** A new 1 ms timer for a control; it ticks as often as the desktop delivers ticks. */
    virtual Ticker* NewTimer(QObject* owner);

    /** The real desktop of this process. */
    static Desktop& System();

private:
    /** What the window system last reported of the pointer; made once the application exists. */
    PointerTracker* tracker() const;

    mutable QPointer<PointerTracker> tracker_;
    bool keyRepeatAsked_ = false;
};
