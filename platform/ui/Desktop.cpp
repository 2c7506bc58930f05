#include "platform/ui/Desktop.h"

#include "platform/ui/KeyRepeat.h"
#include "platform/ui/PointerTracker.h"
#include "platform/ui/Ticker.h"

#include <QApplication>
#include <QCursor>
#include <QMessageBox>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <unistd.h>

// Both answer from the pointer reports the program already has while the pointer is inside one of
// its windows; only otherwise do they ask the display server, which costs it a round trip each.
QPoint Desktop::GetCursorPos() const
{
    const PointerTracker* pointer = tracker();
    return pointer && pointer->window() ? pointer->position() : QCursor::pos();
}

const QObject* Desktop::WindowFromPoint(QPoint point) const
{
    const PointerTracker* pointer = tracker();
    QWidget* window = pointer && point == pointer->position() ? pointer->window() : nullptr;
    if (const QPoint local = window ? window->mapFromGlobal(point) : QPoint();
        window && window->rect().contains(local)) {
        // That window is topmost there, or the server would have reported a leave.
        QWidget* child = window->childAt(local);
        return child ? child : window;
    }
    return QApplication::widgetAt(point);
}

PointerTracker* Desktop::tracker() const
{
    if (!tracker_ && qApp) tracker_ = new PointerTracker(qApp);
    return tracker_;
}

void Desktop::ReleaseCapture()
{
    if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
}

bool Desktop::StartSystemMove(QWidget* window)
{
    QWindow* handle = window ? window->window()->windowHandle() : nullptr;
    return handle && handle->startSystemMove();
}

void Desktop::MessageBox(QWidget* parent, const QString& title, const QString& text)
{
    // No icon: the text says what happened, in the program's own words.
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

void Desktop::EndProgram()
{
    std::fflush(nullptr);
    _exit(0);
}

Ticker* Desktop::NewTimer(QObject* owner)
{
    return new DesktopTicker(owner);
}

Desktop& Desktop::System()
{
    static Desktop desktop;
    desktop.tracker(); // from the start, so that it has seen the pointer come in
    // A held Enter or Space must reach a button as one press and one release.
    if (!desktop.keyRepeatAsked_ && qApp) {
        AskForDetectableAutoRepeat();
        desktop.keyRepeatAsked_ = true;
    }
    return desktop;
}
