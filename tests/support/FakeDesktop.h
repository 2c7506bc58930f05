#pragma once

#include "platform/ui/Desktop.h"
#include "platform/ui/Ticker.h"

#include <QList>
#include <QPointer>

/** A timer that ticks only when the test says so. */
class ManualTicker : public Ticker {
    Q_OBJECT
public:
    using Ticker::Ticker;
    void step() { fire(); }
};

/** A desktop the test controls: pointer, timers, message boxes, moves and exits are recorded. */
class FakeDesktop : public Desktop {
public:
    QPoint GetCursorPos() const override { return cursor; }
    const QObject* WindowFromPoint(QPoint point) const override;
    void ReleaseCapture() override { ++captureReleases; }
    bool StartSystemMove(QWidget* window) override;
    void MessageBox(QWidget* parent, const QString& title, const QString& text) override;
    void EndProgram() override { ++exits; }
    Ticker* NewTimer(QObject* owner) override;

    QPoint cursor;
    const QObject* windowUnderCursor = nullptr; // answered for any point
    int captureReleases = 0;
    QList<QWidget*> moves;
    QList<QPair<QString, QString>> messages; // title, text
    int exits = 0;
    QList<QPointer<ManualTicker>> timers;
};
