#include "relay/ByteBudget.h"

#include <algorithm>

using namespace std::chrono_literals;

ByteBudget::Hold::Hold(ByteBudget& budget, size_t bytes,
                       std::chrono::steady_clock::time_point deadline,
                       const std::function<bool()>& giveUp)
    : budget_(budget), bytes_(std::min(bytes, budget.total_))
{
    std::unique_lock lock(budget_.mutex_);
    // Short waits, so that a caller that gives up does not keep its place in the queue.
    while (budget_.used_ + bytes_ > budget_.total_) {
        if (std::chrono::steady_clock::now() >= deadline || giveUp()) return;
        budget_.freed_.wait_for(lock, 100ms);
    }
    budget_.used_ += bytes_;
    held_ = true;
}

ByteBudget::Hold::~Hold()
{
    if (!held_) return;
    {
        std::lock_guard lock(budget_.mutex_);
        budget_.used_ -= bytes_;
    }
    budget_.freed_.notify_all();
}

bool ByteBudget::Hold::Grow(size_t more)
{
    if (!held_) return false;
    const std::lock_guard lock(budget_.mutex_);
    if (more > budget_.total_ - budget_.used_) return false;
    budget_.used_ += more;
    bytes_ += more;
    return true;
}
