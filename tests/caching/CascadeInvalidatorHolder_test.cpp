#include "caching/CascadeInvalidatorHolder.h"

#include <gtest/gtest.h>

#include <future>

#include "caching/CascadeTestSupport.h"
#include "support/TestEnvironment.h"

using namespace velmora::caching;
using veltest::LogicExpressionOf;

namespace {

class NullInvalidator : public ICascadeInvalidator {
public:
    void OnEntryUsed(unsigned, const ICoherentCache*) override {}
    void OnEvicted(const std::vector<unsigned>&, const ICoherentCache*) override {}
    void OnDirty(const std::vector<unsigned>&, const ICoherentCache*) override {}
};

constexpr CascadeInvalidatorType kKinds[] = {
    CascadeInvalidatorType::QueryJobScopes, CascadeInvalidatorType::QueryResults,
    CascadeInvalidatorType::Metadata, CascadeInvalidatorType::HostDefined};

class InvalidatorHolder : public ::testing::Test {
protected:
    void SetUp() override { m_holder.ResetForTest(); }
    void TearDown() override { m_holder.ResetForTest(); }

    veltest::HostScope m_host;
    ICascadeInvalidatorHolder& m_holder = CascadeInvalidatorHolderFactory::GetInstance();
    NullInvalidator m_a, m_b, m_c;
};

TEST_F(InvalidatorHolder, EveryCallReturnsTheSameHolder) {
    auto other = std::async(std::launch::async,
                            [] { return &CascadeInvalidatorHolderFactory::GetInstance(); });
    EXPECT_EQ(other.get(), &m_holder);
    EXPECT_EQ(&CascadeInvalidatorHolderFactory::GetInstance(), &m_holder);
}

TEST_F(InvalidatorHolder, EmptyBeforeInitialize) {
    EXPECT_TRUE(m_holder.GetInvalidators().empty());
    for (CascadeInvalidatorType kind : kKinds) EXPECT_EQ(m_holder.GetInvalidator(kind), nullptr);
    EXPECT_EQ(LogicExpressionOf([&] { m_holder.GetInvalidator(CascadeInvalidatorType::End); }),
              "invalidatorType < CascadeInvalidatorType::End");
    EXPECT_EQ(LogicExpressionOf(
                  [&] { m_holder.GetInvalidator(static_cast<CascadeInvalidatorType>(-1)); }),
              "invalidatorType < CascadeInvalidatorType::End");
}

TEST_F(InvalidatorHolder, InitializeInstallsOnePerKindAndLogsThem) {
    m_holder.Initialize({&m_a, nullptr, &m_b, &m_c});
    EXPECT_EQ(m_holder.GetInvalidators(),
              (std::vector<ICascadeInvalidator*>{&m_a, nullptr, &m_b, &m_c}));
    EXPECT_EQ(m_holder.GetInvalidator(CascadeInvalidatorType::QueryJobScopes), &m_a);
    EXPECT_EQ(m_holder.GetInvalidator(CascadeInvalidatorType::QueryResults), nullptr);
    EXPECT_EQ(m_holder.GetInvalidator(CascadeInvalidatorType::HostDefined), &m_c);

    std::vector<LogRecord> lines = m_host.Log().Records();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].message,
              TString("Initialize invalidators on holder=") + TString::pointer(&m_holder));
    EXPECT_EQ(lines[1].message, TString("    invalidator=") + TString::pointer(&m_a));
    EXPECT_EQ(lines[2].message, TString("    invalidator=") + TString::pointer(nullptr));
    for (const LogRecord& line : lines) EXPECT_EQ(line.severity, TLog::Info);
}

TEST_F(InvalidatorHolder, WrongCountIsRejectedAndLeavesTheHolderEmpty) {
    for (size_t count : {3u, 5u}) {
        std::vector<ICascadeInvalidator*> list(count, &m_a);
        EXPECT_EQ(LogicExpressionOf([&] { m_holder.Initialize(list); }),
                  "Number of invalidators does not match enum!");
        EXPECT_TRUE(m_holder.GetInvalidators().empty());
    }
    EXPECT_TRUE(m_host.Log().Records().empty());
}

TEST_F(InvalidatorHolder, SecondInitializeNeedsAReset) {
    m_holder.Initialize({&m_a, &m_a, &m_a, &m_a});
    EXPECT_EQ(LogicExpressionOf([&] {
                  m_holder.Initialize({&m_b, &m_b, &m_b, &m_b});
              }),
              "Already initialized!");
    EXPECT_EQ(m_holder.GetInvalidator(CascadeInvalidatorType::Metadata), &m_a);

    m_holder.ResetForTest();
    m_holder.Initialize({&m_b, &m_b, &m_b, &m_b});
    EXPECT_EQ(m_holder.GetInvalidator(CascadeInvalidatorType::Metadata), &m_b);
}

TEST_F(InvalidatorHolder, ResetOutsideUnitTestsFailsAndKeepsTheList) {
    m_holder.Initialize({&m_a, &m_b, &m_c, nullptr});
    AppConfig::GetInstance().SetUnitTestFlag(false);
    EXPECT_EQ(LogicExpressionOf([&] { m_holder.ResetForTest(); }),
              "AppConfig::GetInstance().GetUnitTestFlag()");
    AppConfig::GetInstance().SetUnitTestFlag(true);
    EXPECT_EQ(m_holder.GetInvalidators().size(), 4u);
}

}  // namespace
