#include "relay/ReplyCache.h"

ReplyCache::ReplyCache(std::chrono::seconds ttl, size_t capacity, Clock clock)
    : ttl_(ttl), capacity_(capacity), clock_(std::move(clock))
{
}

std::optional<std::string> ReplyCache::get(const std::string& key)
{
    if (!enabled()) return std::nullopt;
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    if (clock_() >= it->second.expires) {
        order_.erase(it->second.order);
        entries_.erase(it);
        return std::nullopt;
    }
    order_.splice(order_.begin(), order_, it->second.order);
    return it->second.value;
}

void ReplyCache::put(const std::string& key, std::string value)
{
    if (!enabled()) return;
    std::lock_guard lock(mutex_);
    const auto expires = clock_() + ttl_;
    if (const auto it = entries_.find(key); it != entries_.end()) {
        it->second.value = std::move(value);
        it->second.expires = expires;
        order_.splice(order_.begin(), order_, it->second.order);
        return;
    }
    if (entries_.size() >= capacity_) {
        entries_.erase(order_.back());
        order_.pop_back();
    }
    order_.push_front(key);
    entries_.emplace(key, Entry{std::move(value), expires, order_.begin()});
}
