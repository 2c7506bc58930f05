#include "relay/gateway/RequestPacer.h"

#include <thread>

bool RequestPacer::Wait(Clock::time_point deadline, const std::function<bool()>& giveUp)
{
    if (delay_.count() <= 0) return true;
    Clock::time_point turn;
    {
        std::lock_guard lock(mutex_);
        turn = std::max(Clock::now(), next_);
        if (turn > deadline) return false;
        next_ = turn + delay_;
    }
    // Short steps, so that a client that leaves or a shutdown is noticed.
    while (Clock::now() < turn) {
        if (giveUp && giveUp()) return false;
        std::this_thread::sleep_until(std::min(turn, Clock::now() + std::chrono::milliseconds(50)));
    }
    return true;
}
