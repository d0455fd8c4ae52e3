// A private redis-server for one test (or benchmark): started on a free loopback port without
// persistence, stopped when the object goes. It can be stopped and started again on the same
// port, and frozen (SIGSTOP) and thawed, to stage server faults.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

#include "velredis/RedisConfig.h"

namespace veltest {

// Spawns redis-server with `args` (argv[0] included) into *pid, its standard streams on
// /dev/null (a server outliving a crashed test holds no pipe of the test runner) and default
// signal handling whatever the test process ignores. Returns "" or what went wrong.
std::string SpawnRedisServer(const std::vector<std::string>& args, pid_t* pid);

class RedisServer {
public:
    RedisServer();
    ~RedisServer();
    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;

    // Whether a redis-server executable is on PATH.
    static bool IsInstalled();

    // Starts the server (on the port of the previous start, if any) and waits until it answers
    // PING. Returns an empty string on success, else what went wrong.
    std::string Start();
    // Stops the server (SIGTERM, then SIGKILL) and waits for it to exit.
    void Stop();
    void Freeze();
    void Thaw();

    int Port() const { return m_port; }
    // An endpoint configuration for this server with short time-outs suited to tests.
    velmora::caching::RedisEndpointConfig MakeConfig() const;
    // Sends one inline command (for example "CONFIG SET ...") on a fresh connection and returns
    // the first line of the reply; empty on failure.
    std::string Command(const std::string& inlineCommand) const;

private:
    bool Ping() const;

    int m_port = 0;
    pid_t m_pid = -1;
    bool m_frozen = false;
    std::string m_dir;
};

}  // namespace veltest
