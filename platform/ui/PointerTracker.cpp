#include "platform/ui/PointerTracker.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QWidget>

PointerTracker::PointerTracker(QObject* application) : QObject(application)
{
    application->installEventFilter(this);
}

bool PointerTracker::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Enter:
    case QEvent::MouseMove:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        if (watched->isWidgetType()) {
            const auto* where = static_cast<QSinglePointEvent*>(event);
            window_ = static_cast<QWidget*>(watched)->window();
            position_ = where->globalPosition().toPoint();
            buttons_ = event->type() != QEvent::Enter && where->buttons() != Qt::NoButton;
        }
        break;
    case QEvent::MouseButtonRelease: // the grab may have let go over anything
    case QEvent::Leave:
    case QEvent::Hide:
    case QEvent::Move: // moved by the window manager, which may have held the pointer meanwhile
        // Somewhere else now, or not known where: the server decides until the next report.
        if (watched == window_ || event->type() == QEvent::MouseButtonRelease) window_ = nullptr;
        break;
    default:
        break;
    }
    return false;
}
