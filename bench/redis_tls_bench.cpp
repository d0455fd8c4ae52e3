// TLS beside plain TCP, in the same run: the same client code (the pool's SET and GET, and the
// Redis external cache's TryStore and TryLoad) on kept-alive connections to two private
// redis-servers, one listening on a TLS port only (certificates made for the run, the client
// verifying the server's and presenting its own) and one plain. Each "X" figure is over TLS;
// "X_Baseline" is the same code over plain TCP. The handshake is paid once per connection,
// before the measured loop: what is measured is the cost of encrypting and decrypting the
// traffic.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "caching/RedisExternalCache.h"
#include "velredis/RedisConnectionPool.h"
#include "velsupport/RedisServer.h"
#include "velsupport/TlsCertificates.h"

using namespace velmora::caching;

namespace {

// The two servers, started on first use and stopped when the program exits.
class BenchServers {
public:
    static BenchServers& Get() {
        static BenchServers s_servers;
        return s_servers;
    }
    const std::string& Error() const { return m_error; }
    std::shared_ptr<RedisConnectionPool> Pool(bool tls) const {
        return tls ? m_tlsPool : m_plainPool;
    }

private:
    BenchServers() {
        m_error = m_certificates.Make();
        if (m_error.empty()) {
            m_tls = std::make_unique<velsupport::RedisServer>(
                velsupport::ServerTlsFrom(m_certificates, /*requireClientCert=*/true));
            m_error = m_tls->Start();
        }
        if (m_error.empty()) m_error = m_plain.Start();
        if (!m_error.empty()) return;
        const auto pool = [](const velsupport::RedisServer& server) {
            RedisEndpointConfig config = server.MakeConfig();
            config.poolSize = 4;
            config.commandTimeout = std::chrono::milliseconds(2000);
            return std::make_shared<RedisConnectionPool>(config);
        };
        m_tlsPool = pool(*m_tls);
        m_plainPool = pool(m_plain);
    }

    velsupport::TlsCertificates m_certificates;
    std::unique_ptr<velsupport::RedisServer> m_tls;
    velsupport::RedisServer m_plain;
    std::shared_ptr<RedisConnectionPool> m_tlsPool, m_plainPool;
    std::string m_error;
};

bool Ready(benchmark::State& state) {
    if (BenchServers::Get().Error().empty()) return true;
    state.SkipWithError(BenchServers::Get().Error().c_str());
    return false;
}

RedisConnection::Bytes Value(std::int64_t size) {
    return std::make_shared<std::vector<unsigned char>>(std::size_t(size), 'v');
}

void PoolSet(benchmark::State& state, bool tls) {
    if (!Ready(state)) return;
    auto pool = BenchServers::Get().Pool(tls);
    const auto value = Value(state.range(0));
    const std::string key = "bench:set";
    for (auto _ : state) {
        auto guard = pool->FindAndLockConnection(key);
        benchmark::DoNotOptimize(guard->GetConnection().Set(key, value));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void PoolGet(benchmark::State& state, bool tls) {
    if (!Ready(state)) return;
    auto pool = BenchServers::Get().Pool(tls);
    const std::string key = "bench:get";
    pool->FindAndLockConnection(key)->GetConnection().Set(key, Value(state.range(0)));
    for (auto _ : state) {
        auto guard = pool->FindAndLockConnection(key);
        benchmark::DoNotOptimize(guard->GetConnection().Get(key));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void CacheTryStore(benchmark::State& state, bool tls) {
    if (!Ready(state)) return;
    RedisExternalCache cache(TString("bench"), BenchServers::Get().Pool(tls));
    const ExternalBytesPtr value =
        std::make_shared<ExternalBytes>(std::size_t(state.range(0)), 'v');
    const TString key("store");
    for (auto _ : state) benchmark::DoNotOptimize(cache.TryStore(key, value, 0, -1).Get());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void CacheTryLoad(benchmark::State& state, bool tls) {
    if (!Ready(state)) return;
    RedisExternalCache cache(TString("bench"), BenchServers::Get().Pool(tls));
    const TString key("load");
    cache.TryStore(key, std::make_shared<ExternalBytes>(std::size_t(state.range(0)), 'v'), 0, -1)
        .Get();
    for (auto _ : state) benchmark::DoNotOptimize(cache.TryLoad(key).Get());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void TlsPoolSet(benchmark::State& state) {
    PoolSet(state, true);
}
void TlsPoolSet_Baseline(benchmark::State& state) {
    PoolSet(state, false);
}
void TlsPoolGet(benchmark::State& state) {
    PoolGet(state, true);
}
void TlsPoolGet_Baseline(benchmark::State& state) {
    PoolGet(state, false);
}
void TlsCacheTryStore(benchmark::State& state) {
    CacheTryStore(state, true);
}
void TlsCacheTryStore_Baseline(benchmark::State& state) {
    CacheTryStore(state, false);
}
void TlsCacheTryLoad(benchmark::State& state) {
    CacheTryLoad(state, true);
}
void TlsCacheTryLoad_Baseline(benchmark::State& state) {
    CacheTryLoad(state, false);
}

}  // namespace

// Wall time: the server's work and the cache's task threads are outside this thread's CPU time.
#define SIZES Arg(4096)->Arg(65536)->UseRealTime()
BENCHMARK(TlsPoolSet)->SIZES;
BENCHMARK(TlsPoolSet_Baseline)->SIZES;
BENCHMARK(TlsPoolGet)->SIZES;
BENCHMARK(TlsPoolGet_Baseline)->SIZES;
BENCHMARK(TlsCacheTryStore)->SIZES;
BENCHMARK(TlsCacheTryStore_Baseline)->SIZES;
BENCHMARK(TlsCacheTryLoad)->SIZES;
BENCHMARK(TlsCacheTryLoad_Baseline)->SIZES;

BENCHMARK_MAIN();
