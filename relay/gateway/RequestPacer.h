#pragma once

#include <chrono>
#include <functional>
#include <mutex>

/** Keeps a site's own requests apart by the delay its definition asks for (requestDelay),
 *  whichever thread makes them: each takes the next free turn and waits for it. */
class RequestPacer {
public:
    using Clock = std::chrono::steady_clock;
    explicit RequestPacer(std::chrono::milliseconds delay) : delay_(delay) {}

    /** Waits for this request's turn; false, without waiting, when the turn would come after
     *  deadline, or when giveUp says so meanwhile (the turn is then lost, not handed back). */
    bool Wait(Clock::time_point deadline, const std::function<bool()>& giveUp);

private:
    std::chrono::milliseconds delay_;
    std::mutex mutex_;
    Clock::time_point next_{};
};
