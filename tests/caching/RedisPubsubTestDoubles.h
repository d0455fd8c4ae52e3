// Test doubles for the coherence service: a subscription manager that loops published messages
// back to its "<prefix>*" subscribers on the publishing thread, and a cache and an invalidator
// that record what they are told.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "caching/CascadeInvalidator.h"
#include "caching/RedisPubsub.h"

namespace veltest {

class LoopbackManager : public velmora::caching::IRedisSubscriptionManager {
public:
    void Subscribe(const TString& pattern, const Callback& callback) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        subscriptions.emplace_back(pattern, callback);
    }
    void Unsubscribe(const TString& pattern) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::erase_if(subscriptions, [&](const auto& s) { return s.first == pattern; });
        unsubscribed.push_back(pattern);
    }
    void Publish(const TString& channel, const TString& message) {
        Deliver(channel, message.toStdString());
    }
    // Hands raw bytes to every matching subscriber on the calling thread.
    void Deliver(const TString& channel, const std::string& bytes) {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto matching = subscriptions;
        lock.unlock();
        for (const auto& [pattern, callback] : matching)
            if (channel.startsWith(pattern.mid(0, pattern.length() - 1)))
                callback(channel, bytes.data(), static_cast<int>(bytes.size()));
    }

    // Guarded by m_mutex while services run.
    std::vector<std::pair<TString, Callback>> subscriptions;
    std::vector<TString> unsubscribed;

private:
    std::mutex m_mutex;
};

using Guids = std::vector<unsigned int>;
// (guids, cache) of one call.
using Call = std::pair<Guids, const velmora::caching::ICoherentCache*>;

// A list that several threads append to.
template <class T>
class Recorded {
public:
    void Add(T value) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values.push_back(std::move(value));
    }
    std::vector<T> Get() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_values;
    }

private:
    std::mutex m_mutex;
    std::vector<T> m_values;
};

class RecordingCache : public velmora::caching::ICoherentCache {
public:
    void OnDirty(const Guids& guids) override {
        for (unsigned guid : guids) dirty.Add(guid);
    }
    Recorded<unsigned> dirty;
};

class RecordingInvalidator : public velmora::caching::ICascadeInvalidator {
public:
    void OnEntryUsed(unsigned, const velmora::caching::ICoherentCache*) override {}
    void OnEvicted(const Guids& guids, const velmora::caching::ICoherentCache* cache) override {
        evicted.Add({guids, cache});
    }
    void OnDirty(const Guids& guids, const velmora::caching::ICoherentCache* cache) override {
        dirty.Add({guids, cache});
    }
    Recorded<Call> evicted, dirty;
};

}  // namespace veltest
