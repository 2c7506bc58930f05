// The gradient button on the offscreen platform with the real timers: CPU time per second of wall
// time while the pointer rests on it (fade done), and the wall time of one full fade-in.
// Run: build/bin/bench_pbutton

#include "controls/pbutton/PButton.h"
#include "platform/ui/Desktop.h"
#include "platform/ui/Ticker.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMouseEvent>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

/** The real desktop, but with the pointer held over one widget. */
class PointerOver : public Desktop {
public:
    QWidget* target = nullptr;
    QPoint GetCursorPos() const override
    {
        return target ? target->mapToGlobal(target->rect().center()) : QPoint();
    }
};

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void RunFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    PointerOver desktop;
    PButton button(nullptr, desktop);
    desktop.target = &button;
    button.resize(305, 49);
    button.show();
    RunFor(200);

    double fadeTotal = 0;
    const int fades = 10;
    for (int i = 0; i < fades; ++i) {
        button.SetColor_Back(0x00F2AF00); // back at rest, fill reset
        QElapsedTimer clock;
        clock.start();
        QMouseEvent move(QEvent::MouseMove, QPointF(10, 10), button.mapToGlobal(QPointF(10, 10)),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QEventLoop loop;
        const auto done = QObject::connect(&button, &PButton::FaceRedrawn, &loop, [&] {
            if (!button.Timer2()->Enabled()) loop.quit();
        });
        QApplication::sendEvent(&button, &move);
        loop.exec();
        QObject::disconnect(done);
        fadeTotal += double(clock.nsecsElapsed()) / 1e6;
    }

    RunFor(300);
    const double cpu0 = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    RunFor(5000);
    const double cpuShare = (CpuSeconds() - cpu0) / (double(wall.nsecsElapsed()) / 1e9);

    std::printf("fade-in (12 steps), mean of %d: %.1f ms\n", fades, fadeTotal / fades);
    std::printf("hovered and idle: %.3f%% of a core (leave poll %s)\n", cpuShare * 100.0,
                button.Timer1()->Enabled() ? "running" : "stopped");
    return 0;
}
