#include "caching/CascadeInvalidatorHolder.h"

#include "velcore/AppConfig.h"
#include "velsys/InitOnce.h"

namespace velmora::caching {

ICascadeInvalidatorHolder::~ICascadeInvalidatorHolder() = default;

namespace {

constexpr size_t kInvalidatorCount = static_cast<size_t>(CascadeInvalidatorType::End);

// Takes no lock: the list is written only at start-up (and between test cases) and read-only
// afterwards.
class CascadeInvalidatorHolder : public ICascadeInvalidatorHolder {
public:
    void Initialize(const std::vector<ICascadeInvalidator*>& invalidators) override {
        VEL_ASSERT_MSG(m_invalidators.empty(), "Already initialized!");
        VEL_ASSERT_MSG(invalidators.size() == kInvalidatorCount,
                       "Number of invalidators does not match enum!");
        TLog::LogMessage(TLog::Info, TFormatString(TString("Initialize invalidators on holder=%1"),
                                                   TString::pointer(this)));
        for (ICascadeInvalidator* invalidator : invalidators) {
            TLog::LogMessage(TLog::Info, TFormatString(TString("    invalidator=%1"),
                                                       TString::pointer(invalidator)));
        }
        m_invalidators = invalidators;
    }

    void ResetForTest() override {
        VEL_ASSERT(AppConfig::GetInstance().GetUnitTestFlag());
        m_invalidators.clear();
    }

    ICascadeInvalidator* GetInvalidator(CascadeInvalidatorType invalidatorType) const override {
        const int index = static_cast<int>(invalidatorType);
        VEL_ASSERT_MSG(index >= 0 && invalidatorType < CascadeInvalidatorType::End,
                       "invalidatorType < CascadeInvalidatorType::End");
        if (m_invalidators.empty()) return nullptr;
        return m_invalidators[static_cast<size_t>(index)];
    }

    const std::vector<ICascadeInvalidator*>& GetInvalidators() const override {
        return m_invalidators;
    }

private:
    // Empty, or exactly kInvalidatorCount borrowed pointers (null for a kind without one).
    std::vector<ICascadeInvalidator*> m_invalidators;
};

}  // namespace

ICascadeInvalidatorHolder& CascadeInvalidatorHolderFactory::GetInstance() {
    // Never freed: the holder lives until the process ends.
    static InitOnce* s_once = new InitOnce();
    return *s_once->GetShared<CascadeInvalidatorHolder>(
        [] { return new CascadeInvalidatorHolder(); });
}

}  // namespace velmora::caching
