#include "relay/gateway/SiteQueue.h"

#include <algorithm>

struct SiteQueue::Job {
    const std::function<void()>* run;
    Clock::time_point deadline;
    bool urgent;
    enum { Waiting, Running, Finished, Dropped } state = Waiting;
};

SiteQueue::SiteQueue(std::chrono::milliseconds delay, int maxWorkers)
    : delay_(delay), maxWorkers_(delay.count() > 0 ? 1 : std::max(1, maxWorkers))
{
}

SiteQueue::~SiteQueue()
{
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        for (const auto& job : waiting_)
            job->state = Job::Dropped;
        waiting_.clear();
    }
    changed_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
}

SiteQueue::Outcome SiteQueue::Run(const std::function<void()>& job, Clock::time_point deadline,
                                  const std::function<bool()>& giveUp, bool urgent)
{
    auto entry = std::make_shared<Job>(Job{&job, deadline, urgent});
    std::unique_lock lock(mutex_);
    // Behind the urgent jobs already waiting, and, when urgent, before all others.
    const auto place = urgent ? std::find_if(waiting_.begin(), waiting_.end(),
                                             [](const auto& j) { return !j->urgent; })
                              : waiting_.end();
    // The turn it would get if every job ahead keeps its own.
    const auto turn =
        std::max(Clock::now(), nextTurn_) + delay_ * static_cast<int>(place - waiting_.begin());
    if (closing_ || turn > deadline) return Outcome::NoTurn;
    waiting_.insert(place, entry);
    // One worker more than usual jobs may have: the urgent ones' own (or the usual jobs' when
    // an urgent one runs on one of theirs).
    const int workers = static_cast<int>(workers_.size());
    if (idle_ == 0 && workers <= maxWorkers_ &&
        (urgent || workers < maxWorkers_ || running_ > runningUsual_))
        workers_.emplace_back(&SiteQueue::Work, this);
    changed_.notify_all();
    // Short waits, so that a client that leaves is noticed while its job still waits.
    while (entry->state != Job::Finished && entry->state != Job::Dropped) {
        changed_.wait_for(lock, std::chrono::milliseconds(50));
        if (entry->state != Job::Waiting) continue;
        const bool late = Clock::now() > deadline;
        if (late || (giveUp && giveUp())) {
            std::erase(waiting_, entry);
            return late ? Outcome::NoTurn : Outcome::GaveUp;
        }
    }
    return entry->state == Job::Finished ? Outcome::Done : Outcome::NoTurn;
}

int SiteQueue::Pending() const
{
    std::lock_guard lock(mutex_);
    return running_ + static_cast<int>(waiting_.size());
}

void SiteQueue::Work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        changed_.wait(lock, [this] {
            return closing_ ||
                   (!waiting_.empty() && (waiting_.front()->urgent || runningUsual_ < maxWorkers_));
        });
        --idle_;
        if (closing_) return;
        // The turn is taken when the job at the front may start, not when it came.
        if (delay_.count() > 0 && Clock::now() < nextTurn_) {
            changed_.wait_until(lock, nextTurn_, [this] { return closing_; });
            continue; // the front may have left meanwhile
        }
        const std::shared_ptr<Job> job = waiting_.front();
        waiting_.pop_front();
        if (Clock::now() > job->deadline) {
            job->state = Job::Dropped; // its client has stopped waiting for the answer
            changed_.notify_all();
            continue;
        }
        job->state = Job::Running;
        nextTurn_ = Clock::now() + delay_;
        ++running_;
        runningUsual_ += job->urgent ? 0 : 1;
        lock.unlock();
        (*job->run)();
        lock.lock();
        --running_;
        runningUsual_ -= job->urgent ? 0 : 1;
        job->state = Job::Finished;
        changed_.notify_all();
    }
}
