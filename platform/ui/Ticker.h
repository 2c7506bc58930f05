#pragma once

#include <QObject>
#include <QTimer>

/** A switchable timer: Timer() fires while Enabled, at whatever rate the source delivers. */
class Ticker : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool on);

Q_SIGNALS:
    void Timer();

protected:
    virtual void enabledChanged(bool on) { Q_UNUSED(on); }
    void fire();

private:
    bool enabled_ = false;
};

/** Ticks at the classic desktop timer rate, 64 a second (15.625 ms), however short the
 *  interval asked for: a fade then looks as it did there, and an idle poll costs next to nothing.
 */
class DesktopTicker : public Ticker {
    Q_OBJECT
public:
    explicit DesktopTicker(QObject* parent = nullptr);

protected:
    void enabledChanged(bool on) override;

private:
    void onTimeout();
    QTimer timer_;
    int phase_ = 0;
};
