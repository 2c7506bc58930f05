#include "relay/ReplyCache.h"

ReplyCache::ReplyCache(std::chrono::seconds ttl, size_t capacity, size_t maxBytes, Clock clock)
    : ttl_(ttl), capacity_(capacity), maxBytes_(maxBytes), clock_(std::move(clock))
{
}

size_t ReplyCache::Cost(const std::string& key, const std::string& value)
{
    return 2 * key.size() + value.size() + 128; // the key stands in three places, plus nodes
}

void ReplyCache::erase(std::unordered_map<std::string, Entry>::iterator it)
{
    bytes_ -= Cost(it->first, it->second.value);
    recent_.erase(it->second.recent);
    age_.erase(it->second.age);
    entries_.erase(it);
}

std::optional<std::string> ReplyCache::get(const std::string& key)
{
    if (!enabled()) return std::nullopt;
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    if (clock_() >= it->second.expires) {
        erase(it);
        return std::nullopt;
    }
    recent_.splice(recent_.begin(), recent_, it->second.recent);
    return it->second.value;
}

void ReplyCache::put(const std::string& key, std::string value)
{
    if (!enabled() || Cost(key, value) > maxBytes_) return;
    std::lock_guard lock(mutex_);
    if (const auto it = entries_.find(key); it != entries_.end()) erase(it);
    const auto now = clock_();
    dropExpired(now);
    while (!entries_.empty() &&
           (entries_.size() >= capacity_ || bytes_ + Cost(key, value) > maxBytes_))
        erase(entries_.find(recent_.back()));
    recent_.push_front(key);
    age_.push_back(key);
    bytes_ += Cost(key, value);
    entries_.emplace(key,
                     Entry{std::move(value), now + ttl_, recent_.begin(), std::prev(age_.end())});
}

void ReplyCache::dropExpired(std::chrono::steady_clock::time_point now)
{
    while (!age_.empty() && entries_.at(age_.front()).expires <= now)
        erase(entries_.find(age_.front()));
}

void ReplyCache::purgeExpired()
{
    std::lock_guard lock(mutex_);
    dropExpired(clock_());
}

size_t ReplyCache::bytes() const
{
    std::lock_guard lock(mutex_);
    return bytes_;
}

size_t ReplyCache::size() const
{
    std::lock_guard lock(mutex_);
    return entries_.size();
}
