#include "DerivedResults.h"

namespace demo {

ResultPtr DerivedResults::Find(int qid) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_results.find(qid);
    return it == m_results.end() ? nullptr : it->second.result;
}

std::shared_ptr<DerivedResults::Handler> DerivedResults::NewHandler(int qid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::make_shared<Handler>(weak_from_this(), qid, ++m_nextToken);
}

bool DerivedResults::Put(const std::shared_ptr<Handler>& handler, ResultPtr result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (handler->m_fired) return false;
    m_results[handler->m_qid] = {std::move(result), handler->m_token};
    return true;
}

std::vector<ResultPtr> DerivedResults::Held() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<ResultPtr> held;
    for (const auto& [qid, h] : m_results) held.push_back(h.result);
    return held;
}

void DerivedResults::OnScopeDirty(Handler& handler) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        handler.m_fired = true;
        const auto it = m_results.find(handler.m_qid);
        if (it != m_results.end() && it->second.token == handler.m_token) m_results.erase(it);
    }
    ++m_scopesInvalidated;
}

void DerivedResults::Handler::OnScopeDirty(
    const std::shared_ptr<velmora::caching::IInvalidatorAggregatorScope>&) {
    if (auto owner = m_owner.lock()) owner->OnScopeDirty(*this);
}

}  // namespace demo
