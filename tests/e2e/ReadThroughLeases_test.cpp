// One load per key across processes: real lease_peer processes on a real redis-server.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "support/PeerProcess.h"
#include "support/RedisServerFixture.h"

namespace {

// A lease_peer process; `pid` from the line it starts with.
struct LeasePeer : veltest::PeerProcess {
    explicit LeasePeer(const std::string& args) : PeerProcess(args, "", "lease_peer") {
        const std::string ready = ReadLine();
        if (ready.rfind("ready ", 0) == 0) pid = std::stoi(ready.substr(6));
    }
    int pid = -1;
};

// The number after "<name>=" in `line`; -1 when absent.
long long Field(const std::string& line, const std::string& name) {
    const auto at = line.find(" " + name + "=");
    return at == std::string::npos ? -1 : std::stoll(line.substr(at + name.size() + 2));
}

class ReadThroughLeases : public veltest::RedisServerTest {
protected:
    std::string Port() { return std::to_string(Server().Port()); }
    // Loads of each of `keys` keys, counted by the loaders themselves in Redis.
    std::vector<long long> LoadsPerKey(int keys) {
        std::vector<long long> loads;
        for (int k = 0; k < keys; ++k) {
            const auto reply = Server().Command({"GET", "herd:loads:" + std::to_string(k)});
            loads.push_back(reply.text.empty() ? 0 : std::stoll(reply.text));
        }
        return loads;
    }
    // 3 processes x 16 threads ask for the same cold keys at once; returns the loads per key.
    std::vector<long long> Herd(const std::string& mode, int keys) {
        Server().Command({"FLUSHALL"});
        std::vector<std::unique_ptr<LeasePeer>> peers;
        for (int p = 0; p < 3; ++p)
            peers.push_back(std::make_unique<LeasePeer>(Port() + " " + mode + " 16 " +
                                                        std::to_string(keys) + " 20"));
        Server().Command({"SET", "herd:go", "1"});
        for (auto& peer : peers) {
            const std::string done = peer->ReadLine();
            EXPECT_EQ(Field(done, "wrong"), 0) << done;
            // It ends with stores still under way (nothing waits for them): the process must
            // end cleanly all the same (the sanitizers make a touch of a freed static fail it).
            EXPECT_EQ(peer->Close(), 0) << "a process ending while its stores ran";
        }
        return LoadsPerKey(keys);
    }
};

TEST_F(ReadThroughLeases, HerdOfThreeProcessesLoadsEachColdKeyOnce) {
    constexpr int kKeys = 100;
    EXPECT_EQ(Herd("lease", kKeys), std::vector<long long>(kKeys, 1));
    // The baseline beside it: single flight in each process, no leases. (Without memory, a
    // thread that comes after its process's flight ended may miss the value whose store is
    // still under way, so the baseline can exceed one load per process.)
    const std::vector<long long> flight = Herd("flight", kKeys);
    std::cout << "herd of 3 processes x 16 threads, " << kKeys << " keys: loads without leases "
              << std::accumulate(flight.begin(), flight.end(), 0LL) << " (max "
              << *std::max_element(flight.begin(), flight.end()) << " per key)\n";
}

TEST_F(ReadThroughLeases, HolderKilledMidLoadLeavesALeaseThatLapses) {
    LeasePeer holder(Port() + " lease 1 1 0 hang");
    Server().Command({"SET", "herd:go", "1"});
    ASSERT_EQ(holder.ReadLine(), "loading");
    ASSERT_GT(holder.pid, 0);
    ::kill(holder.pid, SIGKILL);
    // The next process finds the lease held, waits for it to lapse (1 s, well within its
    // 10 s load wait), then takes it and loads.
    LeasePeer next(Port() + " lease 1 1 0");
    const std::string done = next.ReadLine();
    EXPECT_EQ(Field(done, "loads"), 1) << done;
    EXPECT_EQ(Field(done, "taken"), 1) << done;
    EXPECT_EQ(Field(done, "wrong"), 0) << done;
    EXPECT_EQ(LoadsPerKey(1)[0], 1);
}

}  // namespace
