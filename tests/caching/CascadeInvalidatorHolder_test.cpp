#include "caching/CascadeInvalidatorHolder.h"

#include <gtest/gtest.h>

#include <future>

#include "support/TestEnvironment.h"

using namespace velmora::caching;

namespace {

class NullInvalidator : public ICascadeInvalidator {
public:
    void OnEntryUsed(unsigned, const ICoherentCache*) override {}
    void OnEvicted(const std::vector<unsigned>&, const ICoherentCache*) override {}
    void OnDirty(const std::vector<unsigned>&, const ICoherentCache*) override {}
};

std::string FailedExpression(const std::function<void()>& f) {
    try {
        f();
    } catch (const LogicException& e) {
        return e.GetExpression();
    }
    return "<none>";
}

class InvalidatorHolder : public ::testing::Test {
protected:
    void SetUp() override { m_holder.ResetForTest(); }
    void TearDown() override { m_holder.ResetForTest(); }

    veltest::HostScope m_host;
    ICascadeInvalidatorHolder& m_holder = CascadeInvalidatorHolderFactory::GetInstance();
    NullInvalidator m_a, m_b;
};

TEST_F(InvalidatorHolder, OneEmptyHolderBeforeInitialize) {
    auto other = std::async(std::launch::async,
                            [] { return &CascadeInvalidatorHolderFactory::GetInstance(); });
    EXPECT_EQ(other.get(), &m_holder);
    EXPECT_TRUE(m_holder.GetInvalidators().empty());
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(m_holder.GetInvalidator(static_cast<CascadeInvalidatorType>(k)), nullptr);
    for (int bad : {4, -1}) {
        EXPECT_EQ(FailedExpression(
                      [&] { m_holder.GetInvalidator(static_cast<CascadeInvalidatorType>(bad)); }),
                  "invalidatorType < CascadeInvalidatorType::End");
    }
}

TEST_F(InvalidatorHolder, InitializeChecksBeforeItLogsOrInstalls) {
    for (size_t count : {3u, 5u}) {
        EXPECT_EQ(FailedExpression(
                      [&] { m_holder.Initialize(std::vector<ICascadeInvalidator*>(count, &m_a)); }),
                  "Number of invalidators does not match enum!");
    }
    EXPECT_TRUE(m_holder.GetInvalidators().empty());
    EXPECT_TRUE(m_host.Log().Records().empty());

    m_holder.Initialize({&m_a, nullptr, &m_b, &m_a});
    EXPECT_EQ(m_holder.GetInvalidators(),
              (std::vector<ICascadeInvalidator*>{&m_a, nullptr, &m_b, &m_a}));
    EXPECT_EQ(m_holder.GetInvalidator(CascadeInvalidatorType::QueryResults), nullptr);
    EXPECT_EQ(m_holder.GetInvalidator(CascadeInvalidatorType::Metadata), &m_b);
    std::vector<LogRecord> lines = m_host.Log().Records();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].message,
              TString("Initialize invalidators on holder=") + TString::pointer(&m_holder));
    EXPECT_EQ(lines[2].message, TString("    invalidator=") + TString::pointer(nullptr));
    EXPECT_EQ(lines[4].severity, TLog::Info);

    EXPECT_EQ(FailedExpression([&] {
                  m_holder.Initialize({&m_b, &m_b, &m_b, &m_b});
              }),
              "Already initialized!");
    EXPECT_EQ(m_holder.GetInvalidator(CascadeInvalidatorType::QueryJobScopes), &m_a);
    m_holder.ResetForTest();
    m_holder.Initialize({&m_b, &m_b, &m_b, &m_b});
    EXPECT_EQ(m_holder.GetInvalidator(CascadeInvalidatorType::QueryJobScopes), &m_b);
}

TEST_F(InvalidatorHolder, ResetOutsideUnitTestsFailsAndKeepsTheList) {
    m_holder.Initialize({&m_a, &m_b, nullptr, nullptr});
    AppConfig::GetInstance().SetUnitTestFlag(false);
    EXPECT_EQ(FailedExpression([&] { m_holder.ResetForTest(); }),
              "AppConfig::GetInstance().GetUnitTestFlag()");
    AppConfig::GetInstance().SetUnitTestFlag(true);
    EXPECT_EQ(m_holder.GetInvalidators().size(), 4u);
}

}  // namespace
