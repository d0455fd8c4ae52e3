// Test doubles for the coherence service: a subscription manager that loops published messages
// back to its subscribers (on the publishing thread, or on a delivery thread of its own), a cache
// and an invalidator that record what they are told.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "caching/CascadeInvalidator.h"
#include "caching/RedisPubsub.h"

namespace veltest {

// Pattern subscriptions of the form "<prefix>*". In Inline mode Publish delivers on the calling
// thread before it returns; in Threaded mode a thread of the double delivers, in publishing order.
class LoopbackManager : public velmora::caching::IRedisSubscriptionManager {
public:
    enum class Delivery { Inline, Threaded };
    explicit LoopbackManager(Delivery delivery = Delivery::Inline) : m_delivery(delivery) {
        if (m_delivery == Delivery::Threaded) m_thread = std::thread([this] { Run(); });
    }
    ~LoopbackManager() override {
        if (m_thread.joinable()) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_stop = true;
            }
            m_changed.notify_all();
            m_thread.join();
        }
    }

    void Subscribe(const TString& pattern, const Callback& callback) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_subscriptions.emplace_back(pattern, callback);
        m_patterns.push_back(pattern);
    }
    // Waits for a delivery in progress on the delivery thread, as the real manager does.
    void Unsubscribe(const TString& pattern) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_delivering; });
        std::erase_if(m_subscriptions, [&](const auto& s) { return s.first == pattern; });
        m_unsubscribed.push_back(pattern);
    }

    void Publish(const TString& channel, const TString& message) {
        Deliver(channel, message.toStdString());
    }
    // Hands raw bytes to every matching subscriber.
    void Deliver(const TString& channel, const std::string& bytes) {
        if (m_delivery == Delivery::Inline) {
            for (const auto& callback : Matching(channel))
                callback(channel, bytes.data(), static_cast<int>(bytes.size()));
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.emplace_back(channel, bytes);
        }
        m_changed.notify_all();
    }
    // Waits until every message published so far has been delivered (Threaded mode).
    bool WaitIdle(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [this] { return m_queue.empty() && !m_delivering; });
    }

    std::vector<TString> Patterns() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_patterns;
    }
    std::vector<TString> Unsubscribed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_unsubscribed;
    }

private:
    std::vector<Callback> Matching(const TString& channel) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Callback> result;
        for (const auto& [pattern, callback] : m_subscriptions) {
            const TString prefix = pattern.mid(0, pattern.length() - 1);
            if (channel.startsWith(prefix)) result.push_back(callback);
        }
        return result;
    }
    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop) return;
            auto [channel, bytes] = std::move(m_queue.front());
            m_queue.pop_front();
            m_delivering = true;
            lock.unlock();
            for (const auto& callback : Matching(channel)) {
                try {
                    callback(channel, bytes.data(), static_cast<int>(bytes.size()));
                } catch (...) {
                }
            }
            lock.lock();
            m_delivering = false;
            m_changed.notify_all();
        }
    }

    const Delivery m_delivery;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<TString, Callback>> m_subscriptions;
    std::vector<TString> m_patterns, m_unsubscribed;
    std::deque<std::pair<TString, std::string>> m_queue;
    bool m_delivering = false;
    bool m_stop = false;
    std::thread m_thread;
};

// A coherent cache that only records the guids it is told are dirty.
class RecordingCache : public velmora::caching::ICoherentCache {
public:
    void OnDirty(const std::vector<unsigned int>& guids) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dirty.insert(m_dirty.end(), guids.begin(), guids.end());
    }
    std::vector<unsigned int> Dirty() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_dirty;
    }

private:
    std::mutex m_mutex;
    std::vector<unsigned int> m_dirty;
};

// Records every OnDirty and OnEvicted call as (guids, cache).
class RecordingInvalidator : public velmora::caching::ICascadeInvalidator {
public:
    using Call = std::pair<std::vector<unsigned int>, const velmora::caching::ICoherentCache*>;
    void OnEntryUsed(unsigned, const velmora::caching::ICoherentCache*) override {}
    void OnEvicted(const std::vector<unsigned int>& guids,
                   const velmora::caching::ICoherentCache* cache) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_evicted.emplace_back(guids, cache);
    }
    void OnDirty(const std::vector<unsigned int>& guids,
                 const velmora::caching::ICoherentCache* cache) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dirty.emplace_back(guids, cache);
    }
    std::vector<Call> Evicted() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_evicted;
    }
    std::vector<Call> Dirty() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_dirty;
    }

private:
    std::mutex m_mutex;
    std::vector<Call> m_evicted, m_dirty;
};

}  // namespace veltest
