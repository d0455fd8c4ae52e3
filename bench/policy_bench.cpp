// The cost of one access under the memory policies, beside textbook LRU on the same stream:
//  - Policy_Frequency/N: FrequencyPolicy of N entries (a hit moves a key in its list; a miss may
//    evict and updates the sketch), over a skewed stream of keys (a Zipf-like draw over 10 N
//    keys), beside Policy_Frequency_Baseline/N: a list-and-hash-map LRU of N entries over the
//    same stream. Both report their hit ratio as a counter.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <list>
#include <random>
#include <unordered_map>
#include <vector>

#include "caching/FrequencyPolicy.h"

namespace {

// A stream of keys drawn with probability falling as 1/rank^0.9 over `distinct` keys.
std::vector<std::uint64_t> SkewedStream(std::size_t distinct, std::size_t length) {
    std::vector<double> cumulative(distinct);
    double total = 0;
    for (std::size_t rank = 0; rank < distinct; ++rank)
        cumulative[rank] = total += 1.0 / std::pow(static_cast<double>(rank + 1), 0.9);
    std::mt19937_64 random(42);
    std::uniform_real_distribution<double> draw(0, total);
    std::vector<std::uint64_t> stream(length);
    for (auto& key : stream)
        key = static_cast<std::uint64_t>(
            std::lower_bound(cumulative.begin(), cumulative.end(), draw(random)) -
            cumulative.begin());
    return stream;
}

void Policy_Frequency(benchmark::State& state) {
    const auto capacity = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint64_t> stream = SkewedStream(10 * capacity, 1 << 20);
    velmora::caching::FrequencyPolicy policy(capacity);
    std::vector<std::uint64_t> evicted;
    std::size_t i = 0;
    long long hits = 0;
    for (auto _ : state) {
        const std::uint64_t key = stream[i++ & (stream.size() - 1)];
        if (policy.Holds(key)) {
            policy.OnHit(key);
            ++hits;
        } else {
            evicted.clear();
            policy.OnMiss(key, 1, evicted);
        }
    }
    state.counters["hit%"] = 100.0 * static_cast<double>(hits) /
                             static_cast<double>(std::max<std::int64_t>(1, state.iterations()));
}

void Policy_Frequency_Baseline(benchmark::State& state) {
    const auto capacity = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint64_t> stream = SkewedStream(10 * capacity, 1 << 20);
    std::list<std::uint64_t> order;
    std::unordered_map<std::uint64_t, std::list<std::uint64_t>::iterator> where;
    std::size_t i = 0;
    long long hits = 0;
    for (auto _ : state) {
        const std::uint64_t key = stream[i++ & (stream.size() - 1)];
        if (const auto it = where.find(key); it != where.end()) {
            order.splice(order.begin(), order, it->second);
            ++hits;
            continue;
        }
        order.push_front(key);
        where[key] = order.begin();
        if (order.size() > capacity) {
            where.erase(order.back());
            order.pop_back();
        }
    }
    state.counters["hit%"] = 100.0 * static_cast<double>(hits) /
                             static_cast<double>(std::max<std::int64_t>(1, state.iterations()));
}

}  // namespace

BENCHMARK(Policy_Frequency)->Arg(1000)->Arg(100000);
BENCHMARK(Policy_Frequency_Baseline)->Arg(1000)->Arg(100000);

BENCHMARK_MAIN();
