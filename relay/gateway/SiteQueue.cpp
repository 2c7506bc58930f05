#include "relay/gateway/SiteQueue.h"

struct SiteQueue::Job {
    const std::function<void()>* run;
    Clock::time_point deadline;
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
                                  const std::function<bool()>& giveUp)
{
    auto entry = std::make_shared<Job>(Job{&job, deadline});
    std::unique_lock lock(mutex_);
    // The turn it would get if every job ahead keeps its own.
    const auto turn =
        std::max(Clock::now(), nextTurn_) + delay_ * static_cast<int>(waiting_.size());
    if (closing_ || turn > deadline) return Outcome::NoTurn;
    waiting_.push_back(entry);
    if (idle_ == 0 && static_cast<int>(workers_.size()) < maxWorkers_)
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

void SiteQueue::Work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        changed_.wait(lock, [this] { return closing_ || !waiting_.empty(); });
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
        lock.unlock();
        (*job->run)();
        lock.lock();
        job->state = Job::Finished;
        changed_.notify_all();
    }
}
