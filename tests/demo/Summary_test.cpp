// What the end of a run tells a script: the exit code and the JSON's verdicts.
#include "workload/Summary.h"

#include <gtest/gtest.h>

namespace demo {
namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(SummaryVerdict, FailuresInAnyProcessMakeACorrectRunUnclean) {
    RunFacts facts;
    facts.durationSec = 1;
    const Summary clean(facts, Stats{}, Stats{});
    EXPECT_EQ(clean.ExitCode(), 0);
    EXPECT_TRUE(Has(clean.Json(), "\"correct\": true, \"clean\": true"));

    Stats refused, timedOut, warned, ok;
    refused.Count("ec.load.redis.jam");
    timedOut.Count("ec.store.redis.fail", 2);
    warned.Count("log.warnings");
    ok.Count("ec.load.disk.hit");
    for (const auto& [workers, writer] :
         {std::pair{refused, ok}, std::pair{ok, timedOut}, std::pair{warned, ok}}) {
        const Summary summary(facts, workers, writer);
        EXPECT_EQ(summary.ExitCode(), 3);
        EXPECT_TRUE(Has(summary.Json(), "\"correct\": true, \"clean\": false"));
        EXPECT_TRUE(Has(summary.Table(), "NOT CLEAN"));
    }
    // Stale answers outweigh failures.
    warned.Count("settle.stale");
    EXPECT_EQ(Summary(facts, warned, ok).ExitCode(), 1);
}

// A run of a few minutes has a timeline of a few hundred seconds; the JSON line that carries it
// was cut at 512 bytes, and the JSON could not be read.
TEST(SummaryJson, LongTimelineIsWrittenWhole) {
    RunFacts facts;
    facts.durationSec = 300;
    facts.answersPerSecond.assign(300, 123456);
    facts.answersPerSecond.back() = 654321;
    const std::string json = Summary(facts, Stats{}, Stats{}).Json();
    EXPECT_TRUE(Has(json, ", 654321]},\n  \"checks\""));
}

}  // namespace
}  // namespace demo
