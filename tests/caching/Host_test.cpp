// The host in one call: every wrong field is refused by name before anything is set; a started
// host answers through the singletons a host would have set up itself; a second start, or a
// start against a server that cannot be reached, says so. A host lives until its process ends,
// so every test that starts one runs in a process of its own.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <cstdio>

#include <filesystem>
#include <functional>
#include <string>

#include "caching/ExternalCacheFactory.h"
#include "caching/Host.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velcore/AppConfig.h"
#include "velcore/AppOptions.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisProbe.h"
#include "velsupport/RedisServer.h"

namespace {

using namespace velmora::caching;

ReadThroughCache<std::string>::Codec TextCodec() {
    return {[](const std::string& v) { return ExternalBytes(v.begin(), v.end()); },
            [](const unsigned char* data, std::size_t size) {
                return std::make_shared<const std::string>(reinterpret_cast<const char*>(data),
                                                           size);
            }};
}

// What Start raised ("" when nothing).
std::string StartRaises(const HostOptions& options) {
    try {
        Host::Start(options);
    } catch (const VelmoraException& e) {
        return e.what();
    }
    return "";
}

// Runs `body` in a child process; the test passes when it returns true there.
#define EXPECT_IN_OWN_PROCESS(body)                                                 \
    do {                                                                            \
        GTEST_FLAG_SET(death_test_style, "threadsafe");                             \
        EXPECT_EXIT(std::exit((body)() ? 0 : 1), ::testing::ExitedWithCode(0), ""); \
    } while (0)

TEST(HostStart, EachWrongFieldIsRefusedByName) {
    veltest::HostScope host;
    const RedisEndpointConfig before = GetRedisConfiguration();
    struct Case {
        const char* field;
        std::function<void(HostOptions&)> spoil;
    };
    const Case cases[] = {
        {"redis", [](HostOptions& o) { o.redis = "localhost"; }},
        {"redis", [](HostOptions& o) { o.redis = "localhost:70000"; }},
        {"redis",
         [](HostOptions& o) {
             o.redis = "h:1";
             o.redisCluster = {"h:2"};
         }},
        {"redisCluster",
         [](HostOptions& o) {
             o.redisCluster = {"h:1", "h"};
         }},
        {"redisDatabase", [](HostOptions& o) { o.redisDatabase = -1; }},
        {"tlsKeyFile",
         [](HostOptions& o) {
             o.redisTls = true;
             o.tlsCertFile = "c.pem";
         }},
        {"redisTls", [](HostOptions& o) { o.tlsCaFile = "ca.pem"; }},
        {"connectTimeout", [](HostOptions& o) { o.connectTimeout = {}; }},
        {"coherenceNamespace", [](HostOptions& o) { o.coherenceNamespace = ""; }},
        {"coherenceNamespace", [](HostOptions& o) { o.coherenceNamespace = "default"; }},
        {"coherenceNamespace", [](HostOptions& o) { o.coherenceNamespace = "velcache."; }},
        {"maxDeafMs", [](HostOptions& o) { o.maxDeafMs = -1; }},
        {"diskDirectory", [](HostOptions& o) { o.diskDirectory = "relative/dir"; }},
        {"diskBudgetMb",
         [](HostOptions& o) {
             o.diskDirectory = "/tmp/x";
             o.diskBudgetMb = 0;
         }},
        {"externalConcurrencyLimit", [](HostOptions& o) { o.externalConcurrencyLimit = 0; }},
    };
    for (const Case& c : cases) {
        HostOptions options;
        c.spoil(options);
        const std::string what = StartRaises(options);
        EXPECT_NE(what.find(std::string("HostOptions::") + c.field), std::string::npos)
            << c.field << ": " << what;
    }
    // Nothing was set on the way.
    EXPECT_EQ(DescribeRedisEndpoint(GetRedisConfiguration()), DescribeRedisEndpoint(before));
    EXPECT_THROW(Host::Get(), VelmoraException);
}

TEST(HostStart, UnreachableServerIsNamedAndNothingIsSet) {
    veltest::HostScope host;
    HostOptions options;
    options.redis = "127.0.0.1:" + std::to_string(velsupport::FreeLoopbackPort());
    options.connectTimeout = std::chrono::milliseconds(300);
    const std::string what = StartRaises(options);
    EXPECT_NE(what.find("cannot reach Redis at " + options.redis + ": Connection refused"),
              std::string::npos)
        << what;
    EXPECT_NE(DescribeRedisEndpoint(GetRedisConfiguration()), options.redis);
    EXPECT_THROW(Host::Get(), VelmoraException);
}

// Without Redis: one process, memory and disk, no coherence service.
TEST(HostStart, SingleProcessHostCachesInMemoryAndOnDisk) {
    EXPECT_IN_OWN_PROCESS([] {
        const std::string dir = ::testing::TempDir() + "host-disk-" + std::to_string(::getpid());
        HostOptions options;
        options.diskDirectory = dir;
        Host& host = Host::Start(options);
        bool ok = host.Service() == nullptr && host.DiskLayer() && !host.RedisLayer();
        ok = ok && AppConfig::GetInstance().GetExternalCacheDir().toStdString() == dir;
        auto cache = host.ReadThrough<std::string>("answers", {}, TextCodec());
        int loads = 0;
        const auto load = [&] {
            ++loads;
            return std::string("42");
        };
        ok = ok && *cache->Get("q", load).value == "42" && *cache->Get("q", load).value == "42";
        ok = ok && loads == 1 && cache->Core().Options().layers.size() == 1;
        // Every field reaches the cache's options; the defaults are the cache's own.
        const ReadThroughOptions& made = cache->Core().Options();
        const ReadThroughOptions plain;
        ok = ok && made.audit == plain.audit && made.auditSampleRate == plain.auditSampleRate &&
             made.auditWindowMs == plain.auditWindowMs && made.loadWaitMs == plain.loadWaitMs &&
             made.auditMaxReloadsPerSec == plain.auditMaxReloadsPerSec &&
             made.externalWaitMs == plain.externalWaitMs && made.leaseMs == plain.leaseMs &&
             made.hardTimeoutMs == plain.hardTimeoutMs &&
             made.failSafeMaxAgeSec == plain.failSafeMaxAgeSec &&
             made.failSafeAfterChange == plain.failSafeAfterChange &&
             made.eagerRefreshFraction == plain.eagerRefreshFraction && made.signingKeys.empty();
        HostCacheOptions audited;
        audited.audit = true;
        audited.auditSampleRate = 1;
        audited.auditWindowMs = 50;
        audited.signingKeys = {"key-1"};
        auto checked = host.ReadThrough<std::string>("checked", audited, TextCodec());
        for (int i = 0; i < 5; ++i) checked->Get("q", load);
        ok = ok && checked->Core().Options().signingKeys.size() == 1 &&
             checked->Core().Options().auditWindowMs == 50 &&
             checked->GetCounters().audit.samples == 5;
        audited.auditSampleRate = 2;
        try {
            host.ReadThrough<std::string>("refused", audited, TextCodec());
            ok = false;
        } catch (const VelmoraException& e) {
            ok = ok && std::string(e.what()).find(
                           "HostCacheOptions::auditSampleRate of "
                           "\"refused\" must be between 0 and 1") != std::string::npos;
        }
        // A second start is refused, whatever its options.
        ok = ok && StartRaises(HostOptions{}).find("started in this process already") !=
                       std::string::npos;
        // The host's sweeper may be removing the same files meanwhile.
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        return ok && &Host::Get() == &host;
    });
}

class HostOnRedis : public veltest::RedisServerTest {};

// With Redis: the singletons a host would set up answer as if it had, the subscription is
// confirmed when Start returns, and caches get the Redis layer (and leases when asked).
TEST_F(HostOnRedis, StartedHostAnswersThroughTheSingletons) {
    const int port = Server().Port();
    EXPECT_IN_OWN_PROCESS([port] {
        HostOptions options;
        options.redis = "127.0.0.1:" + std::to_string(port);
        // Not the default, so that the option is seen to pass; long enough that a loaded
        // machine (sanitizers, tests in parallel) still hears within it right after Start.
        options.maxDeafMs = 4000;
        Host& host = Host::Start(options);
        // Says which check failed (the death test shows what the child wrote).
        const auto holds = [](bool good, const char* what) {
            if (!good) std::fprintf(stderr, "failed: %s\n", what);
            return good;
        };
        bool ok = holds(host.Service() && host.Service()->Hears(), "the service hears") &&
                  holds(host.RedisLayer() != nullptr, "a Redis layer");
        ok = ok && holds(GetRedisConfiguration().port == port, "the endpoint's port");
        ok = ok && holds(velmora::appoptions::CacheSynchronizationMaxDeafMs() == 4000, "maxDeafMs");
        ok = ok && holds(velmora::appoptions::SyncCaches(), "SyncCaches");
        HostCacheOptions leased;
        leased.leases = true;
        auto cache = host.ReadThrough<std::string>("rows", leased, TextCodec());
        ok = ok &&
             holds(cache->Core().Options().leases && cache->Core().Options().layers.size() == 1,
                   "leases over the Redis layer");
        ok = ok && holds(*cache->Get("r", [] { return std::string("v"); }).value == "v", "a Get");
        // Another Redis endpoint set up by hand afterwards does not slip into a second host.
        ok = ok && holds(StartRaises(options).find("already") != std::string::npos,
                         "a second Start raises");
        // Stopping the default host stops its caches; the singletons stay.
        host.Stop();
        bool raised = false;
        try {
            cache->Get("r", [] { return std::string("v"); });
        } catch (const VelmoraException& e) {
            raised = std::string(e.what()).find("its host was stopped") != std::string::npos;
        }
        return ok && holds(raised, "a stopped host's cache raises") &&
               holds(&Host::Get() == &host && host.Stopped(), "the stopped host stays") &&
               holds(GetRedisConfiguration().port == port, "the endpoint stays");
    });
}

TEST_F(HostOnRedis, ProcessThatConfiguredAnotherServerIsTold) {
    const int port = Server().Port();
    EXPECT_IN_OWN_PROCESS([port] {
        RedisEndpointConfig other;
        other.port = velsupport::FreeLoopbackPort();
        ConfigureRedis(other);
        HostOptions options;
        options.redis = "127.0.0.1:" + std::to_string(port);
        const std::string what = StartRaises(options);
        return what.find("configured Redis at 127.0.0.1:" + std::to_string(other.port) +
                         " already") != std::string::npos;
    });
}

}  // namespace
