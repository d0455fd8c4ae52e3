// velcache in one process: a read-through cache in front of a slow function.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "caching/Host.h"

using namespace velmora::caching;

// The source of truth: a database, a service, a computation. Here, a slow square.
std::string SlowSquare(const std::string& key) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return std::to_string(std::stol(key) * std::stol(key));
}

int main() {
    // One process, memory only. Name a Redis server to share with other processes
    // (.redis = "127.0.0.1:6379") and a directory to keep values on disk (.diskDirectory).
    Host& host = Host::Start({});
    auto squares = host.ReadThrough<std::string>("squares");
    for (int i = 0; i < 3; ++i) {
        const auto answer = squares->Get("12", SlowSquare);  // loads once, then from memory
        std::printf("12 squared is %s (%s)\n", answer.value->c_str(),
                    answer.source == ReadThroughSource::Loader ? "loaded" : "from memory");
    }
    return squares->GetCounters().loads == 1 ? 0 : 1;
}
