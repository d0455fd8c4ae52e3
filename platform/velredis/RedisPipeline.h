// Internal to velredis: one connection to a Redis server shared by every thread of a pool, on
// which the commands that threads issue at the same time are written together and their replies
// read in the order written.
//
// There is no thread of its own. A thread that runs a command queues it; if no thread is doing the
// connection's I/O, it takes that role (the leader): it writes every queued command in one write,
// then reads replies and hands each to the command at the head of the written queue, writing
// commands that were queued meanwhile between replies, until its own reply is in. It then passes
// the role to a thread still waiting. A burst of N commands from N threads thus costs about one
// write and one read on each side.
//
// Time-outs: every command has its own deadline and fails alone when it passes
// (RedisTimeoutException). A command not yet written leaves the queue; one already written keeps
// its place, and its reply, when it comes, is read and thrown away, so that it can never answer
// another command. The connection itself is dropped only when its oldest outstanding reply is
// later than the connection's deadline (the endpoint's commandTimeout after it was written);
// every command written on it then fails with RedisException and none is sent again (a command
// sent twice could overwrite a newer value). The next command connects again.
// Only stateless commands belong here (no MULTI, WATCH, SELECT or blocking reads): the
// connection is everyone's.
// Thread contract: safe for concurrent use. m_mutex guards the queues; the socket is used by the
// leader alone, outside the lock.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velredis/RedisSocket.h"
#include "velsys/Locks.h"

namespace velmora::caching::detail {

// A command that was written (in part or whole) on a connection that was then lost or dropped:
// the server may have run it, so it must not be sent again.
class RedisLostAfterWriteException : public RedisException {
public:
    using RedisException::RedisException;
};

class RedisPipeline {
public:
    explicit RedisPipeline(RedisEndpointConfig config);
    ~RedisPipeline();
    RedisPipeline(const RedisPipeline&) = delete;
    RedisPipeline& operator=(const RedisPipeline&) = delete;

    // Runs one command and returns its reply (an error reply is returned, not raised). With
    // `asking`, ASKING goes right before it, in the same write, and its reply is dropped (a
    // cluster's ASK redirect). Raises RedisTimeoutException when `deadline` passes first,
    // RedisLostAfterWriteException when the connection failed or was dropped after the command
    // was written, RedisException when it could not be written (no connection).
    ReplyPtr Run(const std::vector<std::string_view>& args, Clock::time_point deadline,
                 bool asking = false);

    // Commands queued or written whose reply has not been read yet, abandoned ones included.
    std::size_t Pending() const;
    // Connections made so far.
    long long ConnectCount() const;

private:
    struct Request;
    using RequestPtr = std::shared_ptr<Request>;

    // Does the connection's I/O until `own` is answered or `deadline` passes. REQUIRES: the
    // caller set m_busy. These three release m_mutex while they write or read.
    void Lead(const RequestPtr& own, Clock::time_point deadline) VEL_REQUIRES(m_mutex);
    // Writes every queued command. False when the connection failed (every command concerned
    // has failed then).
    bool WriteQueued() VEL_REQUIRES(m_mutex);
    // Reads one reply (or none by `deadline`) and gives it to the head of the written queue;
    // drops the connection when the head is overdue.
    void ReadOne(Clock::time_point deadline) VEL_REQUIRES(m_mutex);
    // Fails every written command with `error` (the connection is gone).
    void FailWritten(const std::string& error, bool timedOut) VEL_REQUIRES(m_mutex);
    // Fails `batch`, none of which was written, with `error`.
    void FailUnwritten(const std::vector<RequestPtr>& batch, const std::string& error)
        VEL_REQUIRES(m_mutex);
    // Wakes one thread whose command still waits, to take the leader's role.
    void WakeNextLeader() VEL_REQUIRES(m_mutex);

    const RedisEndpointConfig m_config;  // Constant after construction.
    RedisSocket m_socket;                // Used by the leader only (m_busy).

    mutable TMutex m_mutex;
    bool m_busy VEL_GUARDED_BY(m_mutex) = false;
    std::deque<RequestPtr> m_queued VEL_GUARDED_BY(m_mutex);   // not yet written
    std::deque<RequestPtr> m_written VEL_GUARDED_BY(m_mutex);  // written, reply not yet read
    long long m_connects VEL_GUARDED_BY(m_mutex) = 0;
};

}  // namespace velmora::caching::detail
