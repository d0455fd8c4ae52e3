// The read-through cache's faults, each test named after the one it guards against.
#include "caching/ReadThroughCache.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "ExternalCacheTestSupport.h"

namespace veltest {
namespace {

using velmora::caching::ReadThroughCache;
using velmora::caching::ReadThroughOptions;
using velmora::caching::ReadThroughSource;

using Texts = ReadThroughCache<std::string>;

Texts::Codec TextCodec() {
    return {[](const std::string& s) { return ExternalBytes(s.begin(), s.end()); },
            [](const unsigned char* data, std::size_t size) {
                return std::make_shared<const std::string>(reinterpret_cast<const char*>(data),
                                                           size);
            }};
}

class ReadThroughFaults : public ExternalCacheTest {
protected:
    // A cache over one scripted layer, read inline, with no coherence service.
    Texts Make() {
        ReadThroughOptions options;
        options.name = "faults";
        options.layers = {m_layer};
        return Texts(options, TextCodec(), nullptr);
    }
    std::shared_ptr<ScriptedCache> m_layer = std::make_shared<ScriptedCache>();
};

// A layer read inline went through the guarded load, which answers a failure with nothing:
// the cache counted a Redis outage as misses and reported no external failure.
TEST_F(ReadThroughFaults, FailedInlineLayerReadWasCountedAsAMiss) {
    m_layer->load = [](TString, TString) -> ExternalBytesPtr {
        throw std::runtime_error("connection reset");
    };
    Texts cache = Make();
    const Texts::Result got = cache.Get("k", [] { return std::string("loaded"); });
    EXPECT_EQ(*got.value, "loaded");
    EXPECT_EQ(got.source, ReadThroughSource::Loader);
    EXPECT_EQ(cache.GetCounters().externalFailures, 1);
    EXPECT_EQ(Attr(OnlyLine("ec-load"), "outcome"), TString("fail"));

    // A plain miss is not a failure.
    m_layer->load = [](TString, TString) { return ExternalBytesPtr(); };
    cache.Get("other", [] { return std::string("loaded"); });
    EXPECT_EQ(cache.GetCounters().externalFailures, 1);
    EXPECT_EQ(cache.GetCounters().loads, 2);
}

}  // namespace
}  // namespace veltest
