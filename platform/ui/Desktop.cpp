#include "platform/ui/Desktop.h"

#include "platform/ui/Ticker.h"

#include <QApplication>
#include <QCursor>
#include <QMessageBox>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <unistd.h>

QPoint Desktop::GetCursorPos() const
{
    return QCursor::pos();
}

const QObject* Desktop::WindowFromPoint(QPoint point) const
{
    return QApplication::widgetAt(point);
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
    QMessageBox::information(parent, title, text, QMessageBox::Ok);
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
    return desktop;
}
