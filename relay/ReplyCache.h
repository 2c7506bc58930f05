#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

/** Replies kept for a short while, keyed by the page they came from, bounded in count and in
 *  bytes; the least recently used go first when it is full, and expired ones are let go by
 *  purgeExpired() without waiting to be asked for. Safe to use from several threads. */
class ReplyCache {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    ReplyCache(std::chrono::seconds ttl, size_t capacity, size_t maxBytes = 64 << 20,
               Clock clock = &std::chrono::steady_clock::now);
    std::optional<std::string> get(const std::string& key);
    void put(const std::string& key, std::string value);
    void purgeExpired();
    bool enabled() const { return ttl_.count() > 0 && capacity_ > 0 && maxBytes_ > 0; }
    size_t bytes() const;
    size_t size() const;

private:
    using Order = std::list<std::string>;
    struct Entry {
        std::string value;
        std::chrono::steady_clock::time_point expires;
        Order::iterator recent; // place in recent_
        Order::iterator age;    // place in age_
    };
    static size_t Cost(const std::string& key, const std::string& value);
    void erase(std::unordered_map<std::string, Entry>::iterator it);
    void dropExpired(std::chrono::steady_clock::time_point now);

    std::chrono::seconds ttl_;
    size_t capacity_;
    size_t maxBytes_;
    Clock clock_;
    mutable std::mutex mutex_;
    Order recent_; // most recently used first
    Order age_;    // oldest first: with one lifetime for all, also the order they expire in
    std::unordered_map<std::string, Entry> entries_;
    size_t bytes_ = 0;
};
