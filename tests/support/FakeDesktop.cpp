#include "FakeDesktop.h"

const QObject* FakeDesktop::WindowFromPoint(QPoint) const
{
    return windowUnderCursor;
}

bool FakeDesktop::StartSystemMove(QWidget* window)
{
    moves.append(window);
    return true;
}

void FakeDesktop::MessageBox(QWidget*, const QString& title, const QString& text)
{
    messages.append({title, text});
}

Ticker* FakeDesktop::NewTimer(QObject* owner)
{
    auto* ticker = new ManualTicker(owner);
    timers.append(ticker);
    return ticker;
}
