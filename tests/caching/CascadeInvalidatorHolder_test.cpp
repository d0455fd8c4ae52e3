#include "caching/CascadeInvalidatorHolder.h"

#include <gtest/gtest.h>

#include "support/TestEnvironment.h"

using namespace velmora::caching;
using veltest::FailedExpression;

namespace {

struct NullInvalidator : ICascadeInvalidator {
    void OnEntryUsed(unsigned, const ICoherentCache*) override {}
    void OnEvicted(const std::vector<unsigned>&, const ICoherentCache*) override {}
    void OnDirty(const std::vector<unsigned>&, const ICoherentCache*) override {}
};

struct InvalidatorHolder : ::testing::Test {
    InvalidatorHolder() { holder.ResetForTest(); }
    ~InvalidatorHolder() override { holder.ResetForTest(); }

    veltest::HostScope host;
    ICascadeInvalidatorHolder& holder = CascadeInvalidatorHolderFactory::GetInstance();
    NullInvalidator a, b;
};

TEST_F(InvalidatorHolder, InitializeChecksBeforeItLogsOrInstallsAndOnlyOnce) {
    for (size_t count : {3u, 5u}) {
        EXPECT_EQ(FailedExpression(
                      [&] { holder.Initialize(std::vector<ICascadeInvalidator*>(count, &a)); }),
                  "Number of invalidators does not match enum!");
    }
    EXPECT_TRUE(holder.GetInvalidators().empty());
    EXPECT_TRUE(host.Log().Records().empty());

    holder.Initialize({&a, nullptr, &b, &a});
    EXPECT_EQ(holder.GetInvalidators(), (std::vector<ICascadeInvalidator*>{&a, nullptr, &b, &a}));
    EXPECT_EQ(holder.GetInvalidator(CascadeInvalidatorType::Metadata), &b);
    std::vector<velmora::LogRecord> lines = host.Log().Records();
    ASSERT_EQ(lines.size(), 5u);  // a header, then one indented line per invalidator
    EXPECT_EQ(lines[2].message, TString("    invalidator=") + TString::pointer(nullptr));
    EXPECT_EQ(lines[2].severity, TLog::Info);

    EXPECT_EQ(FailedExpression([&] {
                  holder.Initialize({&b, &b, &b, &b});
              }),
              "Already initialized!");
    EXPECT_EQ(holder.GetInvalidator(CascadeInvalidatorType::QueryJobScopes), &a);
}

}  // namespace
