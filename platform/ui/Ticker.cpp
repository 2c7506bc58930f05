#include "platform/ui/Ticker.h"

namespace {
// Eight intervals that add up to 125 ms: eight ticks every 125 ms is 64 a second.
constexpr int kIntervals[8] = {16, 16, 15, 16, 16, 15, 16, 15};
} // namespace

void Ticker::SetEnabled(bool on)
{
    if (on == enabled_) return;
    enabled_ = on;
    enabledChanged(on);
}

void Ticker::fire()
{
    if (enabled_) Q_EMIT Timer();
}

DesktopTicker::DesktopTicker(QObject* parent) : Ticker(parent)
{
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &DesktopTicker::onTimeout);
}

void DesktopTicker::enabledChanged(bool on)
{
    if (on) {
        timer_.start(kIntervals[phase_]);
    } else {
        timer_.stop();
    }
}

void DesktopTicker::onTimeout()
{
    phase_ = (phase_ + 1) % 8;
    timer_.start(kIntervals[phase_]);
    fire();
}
