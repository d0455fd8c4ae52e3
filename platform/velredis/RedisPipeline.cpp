#include "velredis/RedisPipeline.h"

#include <algorithm>
#include <exception>

namespace velmora::caching::detail {

struct RedisPipeline::Request {
    std::string bytes;  // the command in the wire format
    std::condition_variable wake;
    // Guarded by the pipeline's m_mutex.
    bool done = false;       // answered or failed
    bool abandoned = false;  // its thread gave up: a reply is thrown away
    ReplyPtr reply;
    std::string error;  // not empty when it failed
    bool timedOut = false;
    bool written = false;  // some of its bytes went out
    int skip = 0;          // replies before its own that are thrown away (ASKING's)
    Clock::time_point writtenAt;
};

namespace {

std::string Format(const std::vector<std::string_view>& args) {
    std::size_t size = 16;
    for (const auto& a : args) size += a.size() + 16;
    std::string out;
    out.reserve(size);
    out += '*';
    out += std::to_string(args.size());
    out += "\r\n";
    for (const auto& a : args) {
        out += '$';
        out += std::to_string(a.size());
        out += "\r\n";
        out += a;
        out += "\r\n";
    }
    return out;
}

const char* const kReplyTimeout = "Timed out waiting for a reply from Redis.";

}  // namespace

RedisPipeline::RedisPipeline(RedisEndpointConfig config)
    : m_config(config), m_socket(std::move(config)) {}

RedisPipeline::~RedisPipeline() = default;

std::size_t RedisPipeline::Pending() const {
    TMutexLock lock(m_mutex);
    return m_queued.size() + m_written.size();
}

long long RedisPipeline::ConnectCount() const {
    TMutexLock lock(m_mutex);
    return m_connects;
}

ReplyPtr RedisPipeline::Run(const std::vector<std::string_view>& args, Clock::time_point deadline,
                            bool asking) {
    auto request = std::make_shared<Request>();
    if (asking) {
        request->bytes = Format({"ASKING"});
        request->skip = 1;
    }
    request->bytes += Format(args);
    TMutexLock lock(m_mutex);
    m_queued.push_back(request);
    while (!request->done) {
        if (Clock::now() >= deadline) {
            // Not written yet: it leaves the queue. Written: it keeps its place, and the leader
            // throws its reply away when it comes.
            const auto it = std::find(m_queued.begin(), m_queued.end(), request);
            if (it != m_queued.end()) m_queued.erase(it);
            request->abandoned = true;
            WakeNextLeader();
            throw RedisTimeoutException(kReplyTimeout);
        }
        if (!m_busy) {
            m_busy = true;
            Lead(request, deadline);
            m_busy = false;
            WakeNextLeader();
            continue;
        }
        request->wake.wait_until(lock.Native(), deadline);
    }
    if (request->timedOut) throw RedisTimeoutException(request->error);
    if (request->written && !request->error.empty())
        throw RedisLostAfterWriteException(request->error);
    if (!request->error.empty()) throw RedisException(request->error);
    return std::move(request->reply);
}

void RedisPipeline::WakeNextLeader() {
    if (m_busy) return;
    for (const auto* queue : {&m_written, &m_queued})
        for (const RequestPtr& r : *queue)
            if (!r->done && !r->abandoned) {
                r->wake.notify_one();
                return;
            }
}

void RedisPipeline::Lead(const RequestPtr& own, Clock::time_point deadline) {
    while (!own->done) {
        // Replies overdue from commands whose threads all gave up: the connection is given up
        // (unless they are there now) before anything new is written on it.
        if (!m_written.empty() &&
            Clock::now() >= m_written.front()->writtenAt + m_config.commandTimeout) {
            ReadOne(Clock::now());
            continue;
        }
        if (!m_queued.empty() && !WriteQueued()) continue;
        if (own->done || Clock::now() >= deadline || m_written.empty()) return;
        ReadOne(deadline);
    }
    // What was queued meanwhile goes out before the role passes on, so that the server works
    // on it while the next leader wakes up.
    if (!m_queued.empty() && !m_written.empty()) WriteQueued();
}

bool RedisPipeline::WriteQueued() {
    std::vector<RequestPtr> batch(m_queued.begin(), m_queued.end());
    m_queued.clear();
    std::string joined;
    if (batch.size() > 1)
        for (const RequestPtr& r : batch) joined += r->bytes;
    const std::string_view bytes = batch.size() > 1 ? joined : batch.front()->bytes;
    // With nothing outstanding, a connection the server closed while it sat idle (restart, idle
    // time-out, kill) is replaced before anything is written on it.
    const bool idle = m_written.empty();
    bool connected = false;
    int sent = 0;  // 1 once the write began
    std::string error;
    bool timedOut = false;
    m_mutex.unlock();
    try {
        if (idle && !m_socket.IsIdleHealthy()) {
            m_socket.Disconnect();
            m_socket.Connect();
            connected = true;
        }
        sent = 1;
        m_socket.SendRaw(bytes, Clock::now() + m_config.commandTimeout);
    } catch (const RedisTimeoutException& e) {
        error = e.what();
        timedOut = true;
    } catch (const std::exception& e) {
        error = e.what();
    }
    m_mutex.lock();
    m_connects += connected;
    if (!error.empty() && sent == 0) {
        // Nothing went out (no connection): the commands may be tried elsewhere.
        FailUnwritten(batch, error);
        FailWritten(error, timedOut);
        return false;
    }
    const auto now = Clock::now();
    for (const RequestPtr& r : batch) {
        r->writtenAt = now;
        r->written = true;
        m_written.push_back(r);
    }
    if (error.empty()) return true;
    m_socket.Disconnect();
    FailWritten(error, timedOut);
    return false;
}

void RedisPipeline::FailUnwritten(const std::vector<RequestPtr>& batch, const std::string& error) {
    for (const RequestPtr& r : batch) {
        r->error = error;
        r->done = true;
        r->wake.notify_one();
    }
}

void RedisPipeline::ReadOne(Clock::time_point deadline) {
    // The connection is given up when its oldest outstanding reply is overdue.
    const Clock::time_point dropAt = m_written.front()->writtenAt + m_config.commandTimeout;
    std::size_t outstanding = 0;
    for (const RequestPtr& r : m_written) outstanding += 1 + static_cast<std::size_t>(r->skip);
    std::vector<ReplyPtr> replies;
    std::vector<RequestPtr> answered;
    std::string error;
    m_mutex.unlock();
    try {
        if (ReplyPtr reply = m_socket.TryRead(std::min(deadline, dropAt))) {
            replies.push_back(std::move(reply));
            // Replies that came in the same read are handed out in the same turn.
            while (replies.size() < outstanding) {
                ReplyPtr more = m_socket.TryParse();
                if (!more) break;
                replies.push_back(std::move(more));
            }
        }
    } catch (const std::exception& e) {
        error = e.what();
    }
    m_mutex.lock();
    // Only the leader takes from m_written, so its head is still the one whose reply came first.
    for (ReplyPtr& reply : replies) {
        RequestPtr head = m_written.front();
        if (head->skip > 0) {
            --head->skip;
            continue;
        }
        m_written.pop_front();
        if (head->abandoned) continue;
        head->reply = std::move(reply);
        head->done = true;
        answered.push_back(std::move(head));
    }
    if (!answered.empty()) {
        // Woken after the lock is released, so that they do not wake only to wait for it.
        m_mutex.unlock();
        for (const RequestPtr& r : answered) r->wake.notify_one();
        m_mutex.lock();
    }
    if (!error.empty()) {
        FailWritten(error, false);
    } else if (replies.empty() && Clock::now() >= dropAt) {
        m_socket.Disconnect();
        FailWritten(kReplyTimeout, true);
    }
}

void RedisPipeline::FailWritten(const std::string& error, bool timedOut) {
    for (const RequestPtr& r : m_written) {
        if (r->abandoned) continue;
        r->error = error;
        r->timedOut = timedOut;
        r->done = true;
        r->wake.notify_one();
    }
    m_written.clear();
}

}  // namespace velmora::caching::detail
