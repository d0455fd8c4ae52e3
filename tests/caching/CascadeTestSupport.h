// Helpers of the cascade invalidation tests: a handler and an invalidator that record what they
// are told, and the expression text of a failed assertion.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "caching/CascadeInvalidator.h"
#include "velsys/Exceptions.h"

namespace veltest {

// Counts OnScopeDirty calls; runs an optional action inside the call.
class RecordingHandler : public velmora::caching::IScopeDirtyHandler {
public:
    using Action =
        std::function<void(const std::shared_ptr<velmora::caching::IInvalidatorAggregatorScope>&)>;

    RecordingHandler() = default;
    explicit RecordingHandler(Action action) : m_action(std::move(action)) {}

    void OnScopeDirty(
        const std::shared_ptr<velmora::caching::IInvalidatorAggregatorScope>& scope) override {
        m_lastScope = scope.get();
        ++m_calls;
        if (m_action) m_action(scope);
    }

    int Calls() const { return m_calls.load(); }
    const velmora::caching::IInvalidatorAggregatorScope* LastScope() const {
        return m_lastScope.load();
    }

private:
    Action m_action;
    std::atomic<int> m_calls{0};
    std::atomic<const velmora::caching::IInvalidatorAggregatorScope*> m_lastScope{nullptr};
};

// The expression text of the LogicException `f` raises; "<none>" when it raises nothing.
template <class F>
std::string LogicExpressionOf(F&& f) {
    try {
        f();
    } catch (const LogicException& e) {
        return e.GetExpression();
    }
    return "<none>";
}

}  // namespace veltest
