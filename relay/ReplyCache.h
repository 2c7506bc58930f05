#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

/** Replies kept for a short while, keyed by the page they came from; the least recently used go
 *  first when it is full. Safe to use from several threads. */
class ReplyCache {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    ReplyCache(std::chrono::seconds ttl, size_t capacity,
               Clock clock = &std::chrono::steady_clock::now);
    std::optional<std::string> get(const std::string& key);
    void put(const std::string& key, std::string value);
    bool enabled() const { return ttl_.count() > 0 && capacity_ > 0; }

private:
    struct Entry {
        std::string value;
        std::chrono::steady_clock::time_point expires;
        std::list<std::string>::iterator order;
    };
    std::chrono::seconds ttl_;
    size_t capacity_;
    Clock clock_;
    std::mutex mutex_;
    std::list<std::string> order_; // most recent first
    std::unordered_map<std::string, Entry> entries_;
};
