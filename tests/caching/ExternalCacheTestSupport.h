// Helpers shared by the external-cache tests: a backend whose functions a test supplies, a
// private cache directory, and readers of the one log line / metrics record of an operation.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "caching/ExternalCache.h"
#include "metrics2/Metrics.h"
#include "support/TestEnvironment.h"

namespace veltest {

using velmora::caching::ExternalBytes;
using velmora::caching::ExternalBytesPtr;

inline ExternalBytesPtr Bytes(const std::string& text) {
    return std::make_shared<ExternalBytes>(text.begin(), text.end());
}
inline std::string Text(const ExternalBytesPtr& bytes) {
    return bytes ? std::string(bytes->begin(), bytes->end()) : "<null>";
}
// The value of `key` in a log line's attributes, or "<absent>".
inline TString Attr(const velmora::StringLookupTable& info, const TString& key) {
    const auto it = info.find(key);
    return it == info.end() ? TString("<absent>") : it->second;
}
// The attributes of the only log line `op` wrote since the last Clear (fails otherwise).
inline velmora::StringLookupTable OnlyLine(HostScope& host, const char* op) {
    const auto lines = host.Log().Find(TString(op));
    EXPECT_EQ(lines.size(), 1u) << op;
    return lines.empty() ? velmora::StringLookupTable() : lines.back().attributes;
}

// A backend whose store, load and drop functions are whatever the test installs before use.
class ScriptedCache : public velmora::caching::ExternalCache<TString, ExternalBytes> {
public:
    explicit ScriptedCache(unsigned int lowerBoundMs = 0, bool async = true)
        : ExternalCache(TString("scripted"), lowerBoundMs, async) {}
    StoreFunc store = [](TString, TString, ExternalBytesPtr, long long) {};
    LoadFunc load = [](TString, TString) { return ExternalBytesPtr(); };
    DropFunc drop = [](TString, TString) {};

protected:
    StoreFunc GetStoreFunc() const override { return store; }
    LoadFunc GetLoadFunc() const override { return load; }
    DropFunc GetDropFunc() const override { return drop; }
};

// A cache directory of the test's own, made the host's external cache directory with external
// caching on; it does not exist until the cache makes it (inside a TempDir, removed at the end).
class ScratchDir {
public:
    ScratchDir() : m_path(m_parent.Path() / "cache") {
        AppConfig::GetInstance().SetExternalCacheDir(TString::fromStdString(m_path.string()));
        AppConfig::GetInstance().SetExternalCacheEnabled(true);
    }
    ~ScratchDir() {
        AppConfig::GetInstance().SetExternalCacheEnabled(false);
        AppConfig::GetInstance().SetExternalCacheDir(TString());
    }
    const std::filesystem::path& Path() const { return m_path; }

private:
    TempDir m_parent{"velcache-ext"};
    std::filesystem::path m_path;
};

// Host configuration, captured log lines and captured metrics for one test.
class ExternalCacheTest : public ::testing::Test {
protected:
    velmora::StringLookupTable OnlyLine(const char* op) { return veltest::OnlyLine(m_host, op); }
    // The outcome tag of the only metrics record named `op`.
    TString OnlyOutcome(const char* op) {
        const auto records = m_host.Metrics().Find(TString(op));
        EXPECT_EQ(records.size(), 1u) << op;
        if (records.empty()) return TString("<none>");
        for (const auto& [name, value] : records.back().tags)
            if (name == TString("outcome")) return std::get<TString>(value);
        return TString("<absent>");
    }
    void Clear() {
        m_host.Log().Clear();
        m_host.Metrics().Clear();
    }

    HostScope m_host;
};

}  // namespace veltest
