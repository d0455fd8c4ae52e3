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

constexpr auto S = CacheScope::PerSite;
constexpr auto U = CacheScope::PerUser;

// One call of the rule as the calling thread sees it, and what it must leave behind:
// "<result> <site-luid entry> <user-luid entry> <warning lines>".
struct Case {
    const char* site;  // nullptr: no actor bound at all
    const char* user;
    CacheScope scope;
    const char* want;
};

// Runs the cases in this process and describes every mismatch. The map starts with a stale
// "site-luid" so that overwriting and leaving alone can be told apart.
std::string RunCases(const std::vector<Case>& cases) {
    std::string failures;
    for (const Case& c : cases) {
        auto sink = std::make_shared<velmora::CapturingLogSink>();
        velmora::ScopedLogSink logs(sink);
        velmora::ScopedSessionActor actor(
            c.site ? std::make_shared<SessionActorInfo>(TString(c.site), TString(c.user))
                   : nullptr);
        AttributeMap map{{siteLuidAttributeName, TString("stale")}};
        std::string got =
            ConstraintEnforcementResultToString(EnforceCacheInvariantsWithUpsert(map, c.scope))
                .toStdString();
        for (const TString& name : {siteLuidAttributeName, userLuidAttributeName})
            got += " " + (map.count(name) ? map.at(name).toStdString() : "<absent>");
        int warns = 0;
        for (const auto& line : sink->Records()) warns += line.severity == TLog::Warn;
        got += " " + std::to_string(warns);
        if (got != c.want) failures += std::string("want ") + c.want + ", got " + got + "\n";
    }
    return failures;
}

// Configures a fresh process, runs the cases, then turns every switch the other way and runs
// them again: the two decisions are made once per process and must not change.
[[noreturn]] void RunInFreshProcess(void (*configure)(bool), const std::vector<Case>& cases) {
    configure(true);
    std::string failures = RunCases(cases);
    configure(false);
    failures += RunCases(cases);
    std::fputs(failures.c_str(), stderr);
    std::fflush(stderr);
    std::_Exit(failures.empty() ? 0 : 1);
}

TEST(CacheInvariants, DecisionsAreMadeOncePerProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::vector<Case> active = {
        {"s1", "u1", S, "passed s1 <absent> 0"},
        {"s1", "u1", static_cast<CacheScope>(7), "passed s1 <absent> 0"},  // site only
        {"s1", "u1", U, "passed s1 u1 0"},
        {"-", "u1", U, "missing-site-luid stale <absent> 1"},
        {"", "u1", S, "missing-site-luid stale <absent> 1"},
        {nullptr, nullptr, U, "missing-site-luid stale <absent> 1"},
        {"s1", "-", U, "missing-user-luid s1 <absent> 1"},
    };
    // Skipped enforcement keeps the site and writes the user as read.
    const std::vector<Case> skipped = {
        {"s1", "u1", S, "passed stale <absent> 0"},
        {"s1", "u1", U, "passed stale u1 0"},
        {"", "u1", U, "passed stale u1 1"},
        {"s1", "-", U, "passed stale - 1"},
        {"-", "", U, "passed stale  2"},
    };
    const std::vector<Case> quiet = {{"-", "-", U, "passed stale - 0"}};
    using Configure = void (*)(bool);
    const std::pair<Configure, const std::vector<Case>*> runs[] = {
        {[](bool first) {
             FeatureFlags::Set(kCacheInvariantEnforcementFlag, first);
             AppConfig::GetInstance().SetUnitTestFlag(!first);
             AppConfig::GetInstance().SetDesktopClient(!first);
         },
         &active},
        {[](bool first) { AppConfig::GetInstance().SetUnitTestFlag(first); }, &skipped},
        {[](bool first) {
             AppConfig::GetInstance().SetUnitTestFlag(false);
             FeatureFlags::Set(kCacheInvariantEnforcementFlag, !first);
         },
         &skipped},
        {[](bool first) { AppConfig::GetInstance().SetDesktopClient(first); }, &quiet},
        {[](bool first) { AppConfig::GetInstance().SetIsExternalProtocolServer(first); }, &quiet},
    };
    for (const auto& [configure, cases] : runs)
        EXPECT_EXIT(RunInFreshProcess(configure, *cases), ::testing::ExitedWithCode(0), "^$");
}

}  // namespace
