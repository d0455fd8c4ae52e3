#include "DerivedResults.h"

namespace demo {

ResultPtr DerivedResults::Find(int qid) const {
    TMutexLock lock(m_mutex);
    const auto it = m_results.find(qid);
    return it == m_results.end() ? nullptr : it->second.result;
}

std::shared_ptr<DerivedResults::Handler> DerivedResults::NewHandler(int qid) {
    TMutexLock lock(m_mutex);
    return std::make_shared<Handler>(weak_from_this(), qid, ++m_nextToken);
}

bool DerivedResults::Put(const std::shared_ptr<Handler>& handler, ResultPtr result,
                         std::vector<unsigned int> guids) {
    TMutexLock lock(m_mutex);
    if (handler->m_fired) return false;
    const auto old = m_results.find(handler->m_qid);
    if (old != m_results.end()) EraseLocked(old);
    for (unsigned int guid : guids) m_byGuid.emplace(guid, handler->m_qid);
    m_results[handler->m_qid] = {std::move(result), handler->m_token, std::move(guids)};
    return true;
}

void DerivedResults::EraseLocked(std::map<int, Kept>::iterator it) {
    for (unsigned int guid : it->second.guids) {
        auto [first, last] = m_byGuid.equal_range(guid);
        while (first != last) first = first->second == it->first ? m_byGuid.erase(first) : ++first;
    }
    m_results.erase(it);
}

void DerivedResults::OnEntriesEvicted(const std::vector<unsigned int>& guids) {
    TMutexLock lock(m_mutex);
    for (unsigned int guid : guids) {
        std::vector<int> qids;
        auto [first, last] = m_byGuid.equal_range(guid);
        for (; first != last; ++first) qids.push_back(first->second);
        for (int qid : qids) {
            const auto it = m_results.find(qid);
            if (it == m_results.end()) continue;
            EraseLocked(it);
            ++m_droppedOnEviction;
        }
    }
}

std::vector<ResultPtr> DerivedResults::Held() const {
    TMutexLock lock(m_mutex);
    std::vector<ResultPtr> held;
    for (const auto& [qid, h] : m_results) held.push_back(h.result);
    return held;
}

void DerivedResults::OnScopeDirty(Handler& handler) {
    {
        TMutexLock lock(m_mutex);
        handler.m_fired = true;
        const auto it = m_results.find(handler.m_qid);
        if (it != m_results.end() && it->second.token == handler.m_token) EraseLocked(it);
    }
    ++m_scopesInvalidated;
}

void DerivedResults::Handler::OnScopeDirty(
    const std::shared_ptr<velmora::caching::IInvalidatorAggregatorScope>&) {
    if (auto owner = m_owner.lock()) owner->OnScopeDirty(*this);
}

}  // namespace demo
