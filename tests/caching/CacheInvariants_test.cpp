#include "caching/CacheInvariants.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "velcore/AppConfig.h"
#include "velcore/SessionActorInfo.h"
#include "velcoredata/FeatureFlags.h"
#include "velcoreplatform/TLog.h"

using namespace velmora::caching;

namespace {

using R = ConstraintEnforcementResult;

// One call of the rule as the calling thread sees it, and what it must leave behind.
struct Case {
    const char* name;
    const char* site;  // nullptr: no actor bound at all
    const char* user;
    CacheScope scope;
    R result;
    const char* siteAfter;  // nullptr: entry absent
    const char* userAfter;
    int warnLines;
};

// Runs the cases in this process and returns a description of every mismatch. The map starts
// with a stale "site-luid" so that overwriting and leaving alone can be told apart.
std::string RunCases(const std::vector<Case>& cases) {
    std::string failures;
    for (const Case& c : cases) {
        auto sink = std::make_shared<CapturingLogSink>();
        ScopedLogSink logs(sink);
        ScopedSessionActor actor(
            c.site ? std::make_shared<SessionActorInfo>(TString(c.site), TString(c.user))
                   : nullptr);
        AttributeMap map{{siteLuidAttributeName, TString("stale")}};
        const R result = EnforceCacheInvariantsWithUpsert(map, c.scope);
        const auto entry = [&](const TString& name) -> std::string {
            const auto it = map.find(name);
            return it == map.end() ? "<absent>" : it->second.toStdString();
        };
        int warns = 0;
        for (const auto& line : sink->Records()) warns += line.severity == TLog::Warn;
        const std::string want =
            std::string(ConstraintEnforcementResultToString(c.result).toStdString()) +
            " site=" + (c.siteAfter ? c.siteAfter : "<absent>") +
            " user=" + (c.userAfter ? c.userAfter : "<absent>") +
            " warns=" + std::to_string(c.warnLines);
        const std::string got = ConstraintEnforcementResultToString(result).toStdString() +
                                " site=" + entry(siteLuidAttributeName) +
                                " user=" + entry(userLuidAttributeName) +
                                " warns=" + std::to_string(warns);
        if (want != got) failures += std::string(c.name) + ": want " + want + ", got " + got + "\n";
    }
    return failures;
}

// Configures the process, runs the cases, then turns every switch the other way and runs them
// again: the two decisions are made once per process and must not change.
[[noreturn]] void RunInFreshProcess(void (*configure)(bool), const std::vector<Case>& cases) {
    configure(true);
    std::string failures = RunCases(cases);
    configure(false);
    failures += RunCases(cases);
    std::fputs(failures.c_str(), stderr);
    std::fflush(stderr);
    std::_Exit(failures.empty() ? 0 : 1);
}

constexpr auto S = CacheScope::PerSite;
constexpr auto U = CacheScope::PerUser;
const auto kOtherScope = static_cast<CacheScope>(7);

class CacheInvariantsProcess : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(CacheInvariantsProcess, ActiveEnforcementWritesSiteAndReportsMissingIdentities) {
    const std::vector<Case> cases = {
        {"site overwritten", "s1", "u1", S, R::Passed, "s1", nullptr, 0},
        {"scope 7 is site only", "s1", "u1", kOtherScope, R::Passed, "s1", nullptr, 0},
        {"user written", "s1", "u1", U, R::Passed, "s1", "u1", 0},
        {"dash site is missing", "-", "u1", U, R::MissingSiteLuid, "stale", nullptr, 1},
        {"empty site is missing", "", "u1", S, R::MissingSiteLuid, "stale", nullptr, 1},
        {"no actor", nullptr, nullptr, U, R::MissingSiteLuid, "stale", nullptr, 1},
        {"missing user", "s1", "-", U, R::MissingUserLuid, "s1", nullptr, 1},
    };
    EXPECT_EXIT(RunInFreshProcess(
                    [](bool first) {
                        FeatureFlags::Set(kCacheInvariantEnforcementFlag, first);
                        AppConfig::GetInstance().SetUnitTestFlag(!first);
                        AppConfig::GetInstance().SetDesktopClient(!first);
                    },
                    cases),
                ::testing::ExitedWithCode(0), "^$");
}

TEST_F(CacheInvariantsProcess, SkippedEnforcementKeepsSiteAndWritesUserAsRead) {
    const std::vector<Case> cases = {
        {"site left alone", "s1", "u1", S, R::Passed, "stale", nullptr, 0},
        {"user written", "s1", "u1", U, R::Passed, "stale", "u1", 0},
        {"missing site passes", "", "u1", U, R::Passed, "stale", "u1", 1},
        {"missing user written as read", "s1", "-", U, R::Passed, "stale", "-", 1},
        {"both missing", "-", "", U, R::Passed, "stale", "", 2},
    };
    // The unit-test flag alone skips enforcement; so does the feature flag off.
    using Configure = void (*)(bool);
    for (Configure configure : std::initializer_list<Configure>{
             [](bool first) { AppConfig::GetInstance().SetUnitTestFlag(first); },
             [](bool first) {
                 AppConfig::GetInstance().SetUnitTestFlag(false);
                 FeatureFlags::Set(kCacheInvariantEnforcementFlag, !first);
             }}) {
        EXPECT_EXIT(RunInFreshProcess(configure, cases), ::testing::ExitedWithCode(0), "^$");
    }
}

TEST_F(CacheInvariantsProcess, QuietHostsLogNothing) {
    const std::vector<Case> cases = {
        {"missing site, quiet", "-", "-", U, R::Passed, "stale", "-", 0},
    };
    using Configure = void (*)(bool);
    for (Configure configure : std::initializer_list<Configure>{
             [](bool first) { AppConfig::GetInstance().SetDesktopClient(first); },
             [](bool first) { AppConfig::GetInstance().SetIsExternalProtocolServer(first); }}) {
        EXPECT_EXIT(RunInFreshProcess(configure, cases), ::testing::ExitedWithCode(0), "^$");
    }
}

TEST(CacheInvariants, ResultWordsAndAttributeNames) {
    const std::pair<int, const char*> words[] = {
        {0, "none"},   {1, "missing-site-luid"}, {2, "missing-user-luid"},
        {3, "passed"}, {4, "unknown"},           {-1, "unknown"}};
    for (auto [value, word] : words)
        EXPECT_EQ(ConstraintEnforcementResultToString(static_cast<R>(value)), TString(word));
    EXPECT_EQ(siteLuidAttributeName, TString("site-luid"));
    EXPECT_EQ(userLuidAttributeName, TString("user-luid"));
}

}  // namespace
