#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

/** A number of bytes shared by threads: each takes what its work will need and waits while
 *  others hold too much. A claim larger than the whole budget waits until it is all free, so a
 *  large page is still served, alone. */
class ByteBudget {
public:
    explicit ByteBudget(size_t total) : total_(total) {}
    size_t total() const { return total_; }

    /** Holds part of a budget for as long as it lives; empty when the wait ran out. */
    class Hold {
    public:
        Hold(ByteBudget& budget, size_t bytes, std::chrono::steady_clock::time_point deadline,
             const std::function<bool()>& giveUp);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        explicit operator bool() const { return held_; }
        size_t bytes() const { return held_ ? bytes_ : 0; }
        /** Takes more bytes at once if the budget has them free now, else false: waiting with
         *  part held could leave two holders each waiting for the other's part. */
        bool Grow(size_t more);

    private:
        ByteBudget& budget_;
        size_t bytes_;
        bool held_ = false;
    };

private:
    size_t total_;
    size_t used_ = 0;
    std::mutex mutex_;
    std::condition_variable freed_;
};
