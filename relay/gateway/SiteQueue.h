#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

/** One site's requests, made by the site's own worker threads in the order they came: apart by
 *  the delay its definition asks for (requestDelay, then one worker), else several at once. The
 *  workers keep their connections to the site open between requests, whichever client asked.
 *  Urgent jobs (downloads) go before every job that is not, and have a worker of their own
 *  besides: a site's slow searches never hold them up. */
class SiteQueue {
public:
    using Clock = std::chrono::steady_clock;
    SiteQueue(std::chrono::milliseconds delay, int maxWorkers);
    ~SiteQueue(); // runs no job still waiting; waits for those running
    SiteQueue(const SiteQueue&) = delete;
    SiteQueue& operator=(const SiteQueue&) = delete;

    enum class Outcome { Done, NoTurn, GaveUp };
    /** Runs job on a worker and waits for it. NoTurn, without running it, when its turn would
     *  come after deadline or the queue is closing; GaveUp when giveUp said so before its turn
     *  (which then goes to the next job). A job that has started is always waited for. */
    Outcome Run(const std::function<void()>& job, Clock::time_point deadline,
                const std::function<bool()>& giveUp, bool urgent = false);
    /** Jobs running or waiting their turn. */
    int Pending() const;

private:
    struct Job;
    void Work();

    const std::chrono::milliseconds delay_;
    const int maxWorkers_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Job>> waiting_;
    std::vector<std::thread> workers_;
    int idle_ = 0;
    int running_ = 0, runningUsual_ = 0; // all, and those not urgent (at most maxWorkers_)
    Clock::time_point nextTurn_{};
    bool closing_ = false;
};
