// Tags of a read-through cache: the memory entries by tag, the verdicts on tagged fills, and
// what a tag invalidation heard drops (see caching/CacheTags.h).
#include "caching/CascadeInvalidatorHolder.h"
#include "caching/ReadThroughImpl.h"
#include "caching/TagScope.h"
#include "velsys/Exceptions.h"
#include "velsys/Hash.h"

namespace velmora::caching {

using namespace readthrough;

std::uint64_t TagIndex::HashOf(const std::string& tag) {
    return THash128(tag.data(), tag.size(), 0).first;
}

void TagIndex::Add(const CacheTagSet& tags, std::uint64_t slot, unsigned int guid,
                   const KeyTable* sweepBy) {
    TMutexLock lock(m_mutex);
    for (const std::string& name : tags.names) {
        const std::uint64_t hash = HashOf(name);
        m_byTag[hash].push_back({slot, guid, tags.loadedUnder});
        m_byGuid[guid].push_back(hash);
    }
    m_size += tags.names.size();
    if (!sweepBy || m_size < m_sweepAt) return;
    // Entries that went another way (replaced, evicted) leave the index here, in one pass each
    // time it doubles: O(1) a fill, amortised.
    m_size = 0;
    for (auto it = m_byTag.begin(); it != m_byTag.end();) {
        std::erase_if(it->second, [&](const Entry& e) VEL_REQUIRES(m_mutex) {
            if (sweepBy->Find(e.slot) == e.guid) return false;
            Unlink(e.guid, it->first);
            return true;
        });
        m_size += it->second.size();
        it = it->second.empty() ? m_byTag.erase(it) : std::next(it);
    }
    m_sweepAt = std::max<std::size_t>(4096, 2 * m_size);
}

void TagIndex::Unlink(unsigned int guid, std::uint64_t hash) {
    const auto it = m_byGuid.find(guid);
    if (it == m_byGuid.end()) return;
    const auto at = std::find(it->second.begin(), it->second.end(), hash);
    if (at != it->second.end()) it->second.erase(at);
    if (it->second.empty()) m_byGuid.erase(it);
}

void TagIndex::Forget(const std::vector<unsigned int>& guids) {
    TMutexLock lock(m_mutex);
    for (const unsigned int guid : guids) {
        const auto it = m_byGuid.find(guid);
        if (it == m_byGuid.end()) continue;
        for (const std::uint64_t hash : it->second) {
            const auto entries = m_byTag.find(hash);
            if (entries == m_byTag.end()) continue;
            m_size -= static_cast<std::size_t>(
                std::erase_if(entries->second, [guid](const Entry& e) { return e.guid == guid; }));
            if (entries->second.empty()) m_byTag.erase(entries);
        }
        m_byGuid.erase(it);
    }
}

std::vector<TagIndex::Entry> TagIndex::Take(const std::string& tag, TagStamp stamp) {
    std::vector<Entry> taken;
    TMutexLock lock(m_mutex);
    if (tag.empty()) {
        for (auto& [hash, entries] : m_byTag)
            taken.insert(taken.end(), entries.begin(), entries.end());
        m_byTag.clear();
        m_byGuid.clear();
        m_size = 0;
        return taken;
    }
    const std::uint64_t hash = HashOf(tag);
    const auto it = m_byTag.find(hash);
    if (it == m_byTag.end()) return taken;
    std::erase_if(it->second, [&](const Entry& e) {
        if (!(e.loadedUnder < stamp)) return false;
        taken.push_back(e);
        return true;
    });
    for (const Entry& e : taken) Unlink(e.guid, hash);
    m_size -= taken.size();
    if (it->second.empty()) m_byTag.erase(it);
    return taken;
}

void ReadThroughCore::Impl::StartTags() {
    if (!m_options.useTags) return;
    m_tags = m_options.tags ? m_options.tags : TagInvalidations::InProcess();
    if (!m_memory) return;
    m_tagIndex = std::make_shared<TagIndex>();
    // An evicted entry stays in the index while the service keeps its record (results derived
    // from it depend on it); the listener holds the index, not the engine.
    if (m_service)
        m_pruneListener = m_service->AddPruneListener(
            [index = m_tagIndex, memory = static_cast<const ICoherentCache*>(m_memory.get())](
                const std::vector<unsigned int>& guids, const ICoherentCache* cache) {
                if (cache == memory) index->Forget(guids);
            });
    // Removed (and waited for) before the engine goes: the raw pointer never dangles.
    m_tagListener =
        m_tags->AddListener([this](const std::string& scope, const std::string& tag,
                                   TagStamp stamp) { OnTagInvalidated(scope, tag, stamp); });
}

void ReadThroughCore::Impl::StopTags() {
    if (m_tagListener) m_tags->RemoveListener(m_tagListener);
    m_tagListener = 0;
    if (m_pruneListener) m_service->RemovePruneListener(m_pruneListener);
    m_pruneListener = 0;
}

void ReadThroughCore::Impl::InvalidateTag(const std::string& tag) {
    if (!m_tags)
        throw VelmoraException("ReadThroughCache \"" + m_options.name +
                               "\": InvalidateTag with tags off (ReadThroughOptions::useTags)");
    m_tags->Invalidate(tag, m_options.name);
}

void ReadThroughCore::Impl::OnTagInvalidated(const std::string& scope, const std::string& tag,
                                             TagStamp stamp) {
    if (!scope.empty() && scope != m_options.name) return;
    const std::vector<TagIndex::Entry> taken = m_tagIndex->Take(tag, stamp);
    if (taken.empty()) return;
    std::vector<unsigned int> guids, dropped;
    for (const TagIndex::Entry& entry : taken) {
        guids.push_back(entry.guid);
        for (const auto& gone : m_memory->Keys().Remove(entry.slot, entry.guid, *m_memory))
            dropped.push_back(gone.GetID());
    }
    m_counts.droppedByTag += static_cast<long long>(dropped.size());
    // As an entry dropped by an arrival: the service files the removal, and the results built
    // on the entries hear that they went stale (those of entries already evicted too: they
    // live while the service keeps the evicted record).
    if (!dropped.empty() && m_service) m_service->OnRemoved(dropped, m_memory);
    for (ICascadeInvalidator* invalidator :
         CascadeInvalidatorHolderFactory::GetInstance().GetInvalidators())
        if (invalidator) invalidator->OnDirty(guids, m_memory.get());
}

bool ReadThroughCore::Impl::TagsAllow(const std::shared_ptr<const CacheTagSet>& tags) const {
    if (!tags || !m_tags || m_tags->MayServe(m_options.name, *tags)) return true;
    ++m_counts.tagRefused;
    return false;
}

std::shared_ptr<const CacheTagSet> ReadThroughCore::Impl::TagsOf(std::vector<std::string> names,
                                                                 TagStamp under,
                                                                 const std::string& key) const {
    if (names.empty() || !m_tags) return nullptr;
    const std::string who = "ReadThroughCache \"" + m_options.name + "\", key \"" + key + "\"";
    names = CheckedTags(std::move(names), who);
    if (names.size() > m_options.maxTagsPerEntry)
        throw VelmoraException(who + ": " + std::to_string(names.size()) +
                               " tags, more than maxTagsPerEntry (" +
                               std::to_string(m_options.maxTagsPerEntry) + ")");
    auto tags = std::make_shared<CacheTagSet>();
    tags->names = std::move(names);
    tags->loadedUnder = under;
    return tags;
}

}  // namespace velmora::caching
