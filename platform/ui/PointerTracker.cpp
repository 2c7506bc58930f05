#include "platform/ui/PointerTracker.h"

#include <QCoreApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QWidget>

namespace {

// X11 core protocol event codes (xproto.h): the tracker needs no more of X than these.
constexpr quint8 kXEnterNotify = 7;
constexpr quint8 kXLeaveNotify = 8;

} // namespace

PointerTracker::PointerTracker(QObject* application) : QObject(application)
{
    application->installEventFilter(this);
    QCoreApplication::instance()->installNativeEventFilter(this);
}

PointerTracker::~PointerTracker()
{
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool PointerTracker::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    // Every xcb event starts with its response type; the top bit marks one sent by a client.
    if (eventType == "xcb_generic_event_t") {
        const quint8 type = *static_cast<const quint8*>(message) & 0x7F;
        if (type == kXEnterNotify || type == kXLeaveNotify) window_ = nullptr;
    }
    return false;
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
