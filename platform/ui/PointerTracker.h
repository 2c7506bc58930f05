#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QPoint>
#include <QPointer>

class QWidget;

/** Remembers where the window system last reported the pointer, and in which of this program's
 *  windows, so that asking where the pointer is need not go to the display server on every tick.
 *  It knows only while the pointer is inside one of our windows with no button held and none
 *  let go since the last move: from there the window system reports every move, and a leave
 *  whenever another window comes between. Another program's pointer grab ends that: the window
 *  system then reports moves to the grabbing program only, and tells this one no more than
 *  that the pointer left (a notice Qt drops), so every native enter or leave notice also makes
 *  the server decide again. */
class PointerTracker : public QObject, public QAbstractNativeEventFilter {
public:
    /** Watches every event of the application, which owns it. */
    explicit PointerTracker(QObject* application);
    ~PointerTracker() override;

    /** The window the pointer is in and where, when known; null when the server must be asked. */
    QWidget* window() const { return buttons_ ? nullptr : window_.data(); }
    QPoint position() const { return position_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    QPointer<QWidget> window_;
    QPoint position_;
    bool buttons_ = false; // a held button grabs the pointer: moves come from anywhere
};
